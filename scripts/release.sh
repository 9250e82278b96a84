#!/usr/bin/env bash
# Builds the release archive for the device (armhf): trovis-core with plugins/
# and scripts/get_id.sh beside it, as the core expects, and trovis-parent for
# bench work on the device. Prints the archive's path.
# Usage: scripts/release.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/release-armhf"
"$root/scripts/install-deps.sh"

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# The runtime lands at the archive's top, so it unpacks ready to start; the
# same optimisation as the tested builds, debug information stripped.
cmake -G Ninja -S "$root" -B "$build" "${launcher[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/armhf-toolchain.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTRV_WERROR=ON -DTRV_BUILD_TESTS=OFF -DTRV_BUILD_BENCHMARKS=OFF \
  -DTRV_RUNTIME_DESTINATION=. -DCPACK_STRIP_FILES=ON >/dev/null
cmake --build "$build"
(cd "$build" && cpack -G TGZ >/dev/null)
ls "$build"/trovis-core-*.tar.gz
