#!/bin/sh
# The plugin guide shows only real code: each ```cpp (```cmake) block is consecutive lines, blanks
# around them aside, of a C++ (CMake) file under the source dirs, which are built and tested.
# Usage: plugin_guide_test.sh <guide> <source dir>...
set -eu
guide=$1
shift

# check_guide <guide> <source dir>...: names each snippet that is not real code, fails if any (or none).
check_guide() {
  checked=$1
  shift
  find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name 'CMakeLists.txt' -o -name '*.cmake' \) |
    sort | awk -v guide="$checked" '
    function trim(text) { gsub(/^[ \t\r]+|[ \t\r]+$/, "", text); return text }
    { kind = $0 ~ /(CMakeLists\.txt|\.cmake)$/ ? "cmake" : "cpp"
      while ((getline line < $0) > 0) code[kind] = code[kind] "\n" trim(line)
      close($0); code[kind] = code[kind] "\n\001" }
    END {
      kind = ""
      while ((getline line < guide) > 0) {
        number++
        if (kind == "" && line ~ /^[ \t]*```(cpp|cmake)[ \t\r]*$/) {
          kind = trim(line); sub(/^```/, "", kind); start = number; block = ""; continue
        }
        if (kind == "") continue
        if (line !~ /^[ \t]*```/) { block = block "\n" trim(line); continue }
        snippets++
        if (block ~ /^\n*$/ || index(code[kind], block "\n") == 0) {
          printf "%s:%d: this %s snippet is not code from the source directories\n", guide, start, kind
          failures++
        }
        kind = ""
      }
      if (snippets == 0) { printf "%s: no cpp or cmake snippet\n", guide; failures++ }
      exit failures > 0
    }'
}

# The check itself must refuse the guide with a line of its snippets changed.
changed=$(mktemp)
trap 'rm -f "$changed"' EXIT
sed '/^[[:space:]]*```cpp/{n;s/$/ changed/;}' "$guide" >"$changed"
! check_guide "$changed" "$@" >/dev/null || { echo "self-test failed: a changed snippet passed"; exit 1; }
check_guide "$guide" "$@"
echo "$guide: every cpp and cmake snippet is code from $*"
