#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang in build/fuzz and runs each
# one for its share of the time, starting from its seeds in fuzz/corpus/<name>/
# and its dictionary fuzz/<name>.dict when there are any. Installs what it
# needs first (scripts/install-deps.sh fuzz).
# Usage: scripts/fuzz.sh [seconds]   (default 60, split evenly across the targets)
#   TRV_FUZZ_CXX=<clang++>  the compiler, one with libFuzzer (default clang++-14)
#   TRV_DEPS_INSTALLED=1    skips the installation; scripts/test.sh sets it,
#                           having installed its own set, which covers this one
# A new target is fuzz/<name>.cpp with its name in the list in fuzz/CMakeLists.txt.
# Exits non-zero when a target fails (its input is kept in build/fuzz/artifacts/)
# and when there is no target: a list emptied by mistake must not pass unfuzzed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
usage() { sed -n '2,/^set /{/^set /d;s/^# \{0,1\}//;p}' "$0"; }
fail() {
  echo "fuzz: $*" >&2
  exit 1
}
case "${1:-60}" in
  -h | --help)
    usage
    exit 0
    ;;
  *[!0-9]* | 0*)
    usage >&2
    fail "expected a number of seconds greater than 0, got '$1'"
    ;;
esac
seconds=${1:-60}
cxx=${TRV_FUZZ_CXX:-clang++-14}
build="$root/build/fuzz"

[ -n "${TRV_DEPS_INSTALLED:-}" ] || "$root/scripts/install-deps.sh" fuzz
command -v "$cxx" >/dev/null || fail "no compiler '$cxx'; set TRV_FUZZ_CXX to a clang++ with libFuzzer"
source "$root/scripts/configurations.sh"
configure_tree "$root/fuzz" "$build" "-DCMAKE_CXX_COMPILER=$cxx" || exit 1
cmake --build "$build" || fail "the fuzz targets did not build with $cxx; the errors are above"

mapfile -t targets < <(grep -v '^$' "$build/fuzz_targets.txt")
[ ${#targets[@]} -gt 0 ] || fail "no targets in the list of fuzz/CMakeLists.txt; nothing was fuzzed"
share=$((seconds / ${#targets[@]}))
[ "$share" -ge 1 ] || share=1

failed=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus" "$build/artifacts"
  options=(-max_total_time="$share" -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-")
  [ ! -f "$root/fuzz/$target.dict" ] || options+=(-dict="$root/fuzz/$target.dict")
  seeds=()
  [ ! -d "$root/fuzz/corpus/$target" ] || seeds=("$root/fuzz/corpus/$target")
  echo "=== $target: $share s ==="
  "$build/$target" "${options[@]}" "$corpus" "${seeds[@]}" || failed+=("$target")
done

if [ ${#failed[@]} -gt 0 ]; then
  fail "failed: ${failed[*]}; their inputs are in $build/artifacts/"
fi
echo "all ${#targets[@]} fuzz targets ran ${share} s each without a failure"
