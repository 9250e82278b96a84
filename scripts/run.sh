#!/usr/bin/env bash
# Installs the host packages the demo needs (scripts/install-deps.sh run),
# builds the core, trovis-parent and the shipped plugins in build/run (tests
# and benchmarks off), then runs the demo: the core with its plugins under
# trovis-parent --demo, in the working directory build/run/run, until Ctrl-C.
# Usage: scripts/run.sh [trovis-parent option...]
# The options are passed on to trovis-parent; build/run/bin/trovis-parent --help
# lists them once the tree is built.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
case "${1:-}" in
  -h | --help)
    sed -n '2,/^set /{/^set /d;s/^# \{0,1\}//;p}' "$0"
    exit 0
    ;;
esac

"$root/scripts/install-deps.sh" run
source "$root/scripts/configurations.sh"
# The build's progress goes to a log; the demo's first lines stay on screen.
mkdir -p "$root/build"
build_log="$root/build/run-build.log"
echo "run: building the core, trovis-parent and the shipped plugins in build/run (log: build/run-build.log)"
if ! configure_and_build "$root" run >"$build_log" 2>&1; then
  tail -n 30 "$build_log"
  echo "run: the build failed; the compiler's errors are above and in build/run-build.log" >&2
  exit 1
fi

status=0
"$root/build/run/bin/trovis-parent" --demo "$@" || status=$?
# 125 is trovis-parent's own failure; every other status is the core's.
if [ "$status" -eq 125 ]; then
  echo "trovis-parent failed (status 125); its message is above, its options in build/run/bin/trovis-parent --help"
else
  echo "trovis-core exited with status $status"
fi
