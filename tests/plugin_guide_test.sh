#!/bin/sh
# The plugin guide shows only real code: every ```cpp block of the guide must
# appear, line for line, in a C++ source file under the given directories
# (examples/ and plugins/, whose code is built and tested), and every ```cmake
# block in a CMake file there. Leading and trailing blanks of each line do not
# count. A guide without any cpp block fails too. Before the guide itself, the
# checker proves on made-up guides that it does catch a changed line.
# Usage: plugin_guide_test.sh <guide> <source dir>...
set -eu

# check_guide <guide> <source dir>...: one line per snippet that is not real
# code; status 1 when there is any.
check_guide() {
  checked=$1
  shift
  sources=$(mktemp)
  find "$@" -type f \( -name '*.cpp' -o -name '*.cc' -o -name '*.h' -o -name '*.hpp' \
    -o -name 'CMakeLists.txt' -o -name '*.cmake' \) | sort >"$sources"
  status=0
  awk -v guide="$checked" -v sources="$sources" '
    function trim(text) {
      sub(/^[ \t\r]+/, "", text)
      sub(/[ \t\r]+$/, "", text)
      return text
    }
    function kindOfLanguage(language) {
      language = tolower(language)
      if (language == "cpp" || language == "c++" || language == "cxx" || language == "cc" ||
          language == "h" || language == "hpp") return "cpp"
      if (language == "cmake") return "cmake"
      return ""
    }
    function kindOfFile(path) {
      if (path ~ /CMakeLists\.txt$/ || path ~ /\.cmake$/) return "cmake"
      return "cpp"
    }
    BEGIN { blocks = 0; inside = 0; cppBlocks = 0 }
    {
      line = $0
      if (!inside && line ~ /^[ \t]*```/) {
        language = trim(line)
        sub(/^```/, "", language)
        language = trim(language)
        inside = 1
        kind = kindOfLanguage(language)
        if (kind != "") {
          blocks++
          blockKind[blocks] = kind
          blockLine[blocks] = NR
          blockLength[blocks] = 0
          if (kind == "cpp") cppBlocks++
        }
        next
      }
      if (inside && line ~ /^[ \t]*```[ \t\r]*$/) {
        inside = 0
        kind = ""
        next
      }
      if (inside && kind != "") blockText[blocks, ++blockLength[blocks]] = trim(line)
    }
    END {
      failures = 0
      if (inside) {
        printf "%s: a code block is not closed\n", guide
        failures++
      }
      if (cppBlocks == 0) {
        printf "%s: no ```cpp block: the guide shows no code from examples/ or plugins/\n", guide
        failures++
      }
      files = 0
      while ((getline path < sources) > 0) {
        files++
        filePath[files] = path
        fileKind[files] = kindOfFile(path)
        count = 0
        while ((getline text < path) > 0) fileText[files, ++count] = trim(text)
        close(path)
        fileLength[files] = count
      }
      close(sources)
      for (b = 1; b <= blocks; b++) {
        m = blockLength[b]
        name = sprintf("snippet %d (%s line %d, %s)", b, guide, blockLine[b], blockKind[b])
        substance = 0
        for (j = 1; j <= m; j++) if (blockText[b, j] != "") substance = 1
        if (!substance) {
          printf "%s is empty\n", name
          failures++
          continue
        }
        found = 0
        best = -1
        bestWhere = ""
        for (f = 1; f <= files && !found; f++) {
          if (fileKind[f] != blockKind[b]) continue
          for (i = 1; i + m - 1 <= fileLength[f] && !found; i++) {
            if (fileText[f, i] != blockText[b, 1]) continue
            for (j = 1; j <= m && fileText[f, i + j - 1] == blockText[b, j]; j++) {}
            if (j > m) found = 1
            else if (j - 1 > best) {
              best = j - 1
              bestWhere = filePath[f] ":" i
            }
          }
        }
        if (found) continue
        failures++
        printf "%s does not appear as consecutive lines of any %s file under the source directories\n",
               name, blockKind[b]
        if (best > 0) {
          printf "  closest: %s agrees for %d of %d lines; the snippet then has: %s\n",
                 bestWhere, best, m, blockText[b, best + 1]
        } else {
          printf "  its first line is in no such file: %s\n", blockText[b, 1]
        }
      }
      exit failures > 0 ? 1 : 0
    }
  ' "$checked" || status=1
  rm -f "$sources"
  return "$status"
}

# expect_failure <what> <text the report must hold> <guide> <source dir>...
expect_failure() {
  what=$1 needle=$2
  shift 2
  if report=$(check_guide "$@"); then
    echo "self-test failed: $what was accepted"
    exit 1
  fi
  case $report in
    *"$needle"*) ;;
    *)
      echo "self-test failed: $what was refused without naming \"$needle\":"
      echo "$report"
      exit 1
      ;;
  esac
}

[ $# -ge 2 ] || { echo "usage: $0 <guide> <source dir>..."; exit 2; }
guide=$1
shift
[ -f "$guide" ] || { echo "no guide at $guide"; exit 1; }

# Self-test, on a source tree of one file and made-up guides.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src"
cat >"$work/src/sample.cpp" <<'EOF'
int Load(const LoadArgs* args, PluginInfo* info) {
  post = args->postEvent;
  info->alarmCaps = WantsLive;
  return 0;
}
EOF
fence='```'
printf 'Some text.\n\n%scpp\n    int Load(const LoadArgs* args, PluginInfo* info) {\npost = args->postEvent;\n%s\n' \
  "$fence" "$fence" >"$work/good.md"
check_guide "$work/good.md" "$work/src" >/dev/null ||
  { echo "self-test failed: a snippet copied with other indentation was refused"; exit 1; }
printf 'Text.\n\n%scpp\npost = args->postEvent;\n%s\n\n%scpp\npost = args->postEvent;\n  info->alarmCaps = WantsLive | ServesStored;\n%s\n' \
  "$fence" "$fence" "$fence" "$fence" >"$work/changed.md"
expect_failure "a snippet with a changed line" "snippet 2 ($work/changed.md line 7, cpp)" \
  "$work/changed.md" "$work/src"
printf '%scpp\nreturn 0;\n}\nint Load(const LoadArgs* args, PluginInfo* info) {\n%s\n' \
  "$fence" "$fence" >"$work/reordered.md"
expect_failure "lines that are not consecutive in the file" "snippet 1" "$work/reordered.md" "$work/src"
printf 'Prose only.\n\n%ssh\ncmake --build build\n%s\n' "$fence" "$fence" >"$work/no-code.md"
expect_failure "a guide without a cpp block" "no \`\`\`cpp block" "$work/no-code.md" "$work/src"
printf '%scmake\nreturn 0;\n%s\n%scpp\nreturn 0;\n%s\n' "$fence" "$fence" "$fence" "$fence" >"$work/cmake.md"
expect_failure "C++ lines shown as a cmake block" "snippet 1" "$work/cmake.md" "$work/src"
printf '%scpp\n\n%s\n' "$fence" "$fence" >"$work/empty.md"
expect_failure "an empty cpp block" "is empty" "$work/empty.md" "$work/src"

# The guide itself.
if ! report=$(check_guide "$guide" "$@"); then
  echo "$report"
  exit 1
fi
blocks=$(grep -c '^[[:space:]]*```\(cpp\|cmake\)[[:space:]]*$' "$guide" || true)
echo "$guide: all $blocks cpp and cmake snippets are code from $*"
