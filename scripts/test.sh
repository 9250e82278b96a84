#!/usr/bin/env bash
# Installs everything the tests need (scripts/install-deps.sh test), then builds
# the core and runs every test in each configuration, in build/<configuration>:
#   x86-64      the native build
#   asan-ubsan  the same tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan        the threaded and process tests under ThreadSanitizer, the core's processes included
#   armhf       the 32-bit ARM target, tests run under qemu-arm
#   fuzz        the libFuzzer targets for a bounded time (about a minute), see scripts/fuzz.sh
# Usage: scripts/test.sh [configuration...]   (default: all of them)
# A configuration passes when its build succeeds and ctest (or fuzz.sh) exits 0.
# Ends with one summary line per configuration; exits non-zero if any failed.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/configurations.sh"
usage() { sed -n '2,/^set /{/^set /d;s/^# \{0,1\}//;p}' "$0"; }

configurations=("$@")
[ ${#configurations[@]} -gt 0 ] || configurations=("${tested_configurations[@]}" fuzz)
for name in "${configurations[@]}"; do
  if [ "$name" = -h ] || [ "$name" = --help ]; then
    usage
    exit 0
  fi
  if [[ " ${tested_configurations[*]} fuzz " != *" $name "* ]]; then
    usage >&2
    echo "test: unknown configuration '$name' (expected: ${tested_configurations[*]} fuzz)" >&2
    exit 2
  fi
done

"$root/scripts/install-deps.sh" test || exit 1
# The test set covers fuzz.sh's.
export TRV_DEPS_INSTALLED=1

# junit_count <attribute> <file>: a count of the test suite in ctest's JUnit
# report, whose <testsuite> element has its attributes one a line.
junit_count() {
  tr '\n' ' ' <"$2" | grep -o '<testsuite [^>]*>' | sed -E "s/.*[[:space:]]$1=\"([0-9]+)\".*/\\1/"
}

summaries=()
total_passed=0
total_failed=0

for name in "${configurations[@]}"; do
  echo "=== $name ==="
  if [ "$name" = fuzz ]; then
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
  report="$dir/ctest-junit.xml"
  if ! configure_and_build "$root" "$name"; then
    summaries+=("$name: build failed")
    total_failed=$((total_failed + 1))
    continue
  fi
  rm -f "$report"
  ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$(nproc)" \
    -L "$(configuration_labels "$name")" --output-junit "$report"
  status=$?
  # The verdict is ctest's status; its report only gives the counts.
  count=0 failed=0
  if [ -f "$report" ]; then
    count=$(junit_count tests "$report")
    failed=$(junit_count failures "$report")
  fi
  if [ "$status" -eq 0 ]; then
    summaries+=("$name: $count passed, 0 failed")
    total_passed=$((total_passed + count))
  elif [ "$failed" -gt 0 ]; then
    summaries+=("$name: $((count - failed)) passed, $failed failed")
    total_passed=$((total_passed + count - failed))
    total_failed=$((total_failed + failed))
  else
    summaries+=("$name: ctest failed with status $status (no tests ran?); its output is above")
    total_failed=$((total_failed + 1))
  fi
done

echo
printf '%s\n' "${summaries[@]}"
echo "total: $total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ]
