#!/usr/bin/env bash
# Builds the core and starts it in a run directory under build/; Ctrl-C stops it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
source "$root/scripts/configurations.sh"
configure_and_build x86-64 trovis-core

run_dir="$root/build/run"
mkdir -p "$run_dir/scripts"
cp "$root/scripts/get_id.sh" "$run_dir/scripts/"
cd "$run_dir"
status=0
"$root/build/x86-64/bin/trovis-core" || status=$?
echo "trovis-core exited with status $status"
