#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang in build/fuzz and runs each
# one for its share of the time, starting from its seeds in fuzz/corpus/<name>/
# and its dictionary fuzz/<name>.dict when there are any.
# Usage: scripts/fuzz.sh [seconds]   (default 60, split evenly across the targets)
# A new target is fuzz/<name>.cpp with its name in the list in fuzz/CMakeLists.txt.
# Exits non-zero when a target fails; its input is kept in build/fuzz/artifacts/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build="$root/build/fuzz"

"$root/scripts/install-deps.sh"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -G Ninja -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 "${launcher[@]}" >/dev/null
cmake --build "$build"

mapfile -t targets < <(grep -v '^$' "$build/fuzz_targets.txt")
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
  echo "failed: ${failed[*]}"
  exit 1
fi
echo "all ${#targets[@]} fuzz targets ran ${share} s each without a failure"
