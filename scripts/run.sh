#!/usr/bin/env bash
# Builds the core, trovis-parent and the shipped plugins, then runs the demo:
# the core with its plugins under trovis-parent --demo (in build/x86-64/run)
# until Ctrl-C. Arguments are passed on to trovis-parent; see
# build/x86-64/bin/trovis-parent --help.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
source "$root/scripts/configurations.sh"
configure_and_build x86-64 trovis-core trovis-parent LogPI CameraSim Recorder IpcBridge

status=0
"$root/build/x86-64/bin/trovis-parent" --demo "$@" || status=$?
# 125 is trovis-parent's own failure; every other status is the core's.
if [ "$status" -eq 125 ]; then
  echo "trovis-parent failed (status 125)"
else
  echo "trovis-core exited with status $status"
fi
