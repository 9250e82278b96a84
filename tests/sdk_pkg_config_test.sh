#!/bin/sh
# Builds the plugin template with nothing but a compiler and the flags of the
# installed trovis-core.pc, and checks that the object exports exactly the
# plugin's entry points.
# Usage: sdk_pkg_config_test.sh <c++ compiler> <nm> <installed SDK prefix> <template dir> <work dir>
set -eu
cxx=$1 nm=$2 prefix=$3 template=$4 work=$5

mkdir -p "$work"
flags=$(PKG_CONFIG_PATH="$prefix/share/pkgconfig" PKG_CONFIG_LIBDIR= pkg-config --cflags trovis-core)
# shellcheck disable=SC2086  # the flags are words
"$cxx" $flags -O2 -shared -o "$work/AlarmLogger.so" "$template/alarm_logger.cpp"

exported=$("$nm" -D --defined-only "$work/AlarmLogger.so" | awk '$2 == "T" { print $3 }' | sort | tr '\n' ' ')
expected="Close Load OnEvent Open Unload "
if [ "$exported" != "$expected" ]; then
  echo "exported functions: $exported"
  echo "expected:           $expected"
  exit 1
fi
echo "AlarmLogger.so built with pkg-config flags exports: $exported"
