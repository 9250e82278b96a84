#!/usr/bin/env bash
# Builds the core and runs every test in each configuration:
#   x86-64      the native build
#   asan-ubsan  the same tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan        the threaded and process tests under ThreadSanitizer, the core's processes included
#   armhf       the 32-bit ARM target, tests run under qemu-arm
#   fuzz        the libFuzzer targets for a bounded time (about a minute)
# Usage: scripts/test.sh [configuration...]   (default: all of them)
# Ends with one summary line per configuration; exits non-zero if any failed.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" || exit 1
source "$root/scripts/configurations.sh"

configurations=("$@")
[ ${#configurations[@]} -gt 0 ] || configurations=("${all_configurations[@]}" fuzz)

summaries=()
total_passed=0
total_failed=0

for name in "${configurations[@]}"; do
  if [ "$name" = fuzz ]; then
    echo "=== fuzz ==="
    if "$root/scripts/fuzz.sh" 60; then
      summaries+=("fuzz: 1 passed, 0 failed")
      total_passed=$((total_passed + 1))
    else
      summaries+=("fuzz: 0 passed, 1 failed")
      total_failed=$((total_failed + 1))
    fi
    continue
  fi
  dir="$root/build/$name"
  log="$dir/ctest.log"
  echo "=== $name ==="
  if ! configure_and_build "$name"; then
    summaries+=("$name: build failed")
    total_failed=$((total_failed + 1))
    continue
  fi
  ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" -L "$(configuration_labels "$name")" 2>&1 | tee "$log"
  # "100% tests passed, 0 tests failed out of 12"
  result=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$result" ]; then
    summaries+=("$name: no tests ran")
    total_failed=$((total_failed + 1))
    continue
  fi
  failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$result")
  count=$(sed -E 's/.* tests failed out of ([0-9]+).*/\1/' <<<"$result")
  passed=$((count - failed))
  summaries+=("$name: $passed passed, $failed failed")
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
done

echo
printf '%s\n' "${summaries[@]}"
echo "total: $total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ]
