#!/usr/bin/env bash
# Installs the cross toolchain and the armhf libraries (scripts/install-deps.sh
# release), builds the release archive for the device (armhf) in
# build/release-armhf: trovis-core with plugins/ and scripts/get_id.sh beside
# it, as the core expects, and trovis-parent for bench work on the device.
# Prints the archive's path.
# Usage: scripts/release.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
usage() { sed -n '2,/^set /{/^set /d;s/^# \{0,1\}//;p}' "$0"; }
case "${1:-}" in
  '') ;;
  -h | --help)
    usage
    exit 0
    ;;
  *)
    usage >&2
    echo "release: takes no arguments, got '$1'" >&2
    exit 2
    ;;
esac

"$root/scripts/install-deps.sh" release
source "$root/scripts/configurations.sh"
configure_and_build "$root" release-armhf
build="$root/build/release-armhf"
(cd "$build" && cpack -G TGZ >/dev/null) || {
  echo "release: cpack could not pack $build; its errors are above" >&2
  exit 1
}
ls "$build"/trovis-core-*.tar.gz
