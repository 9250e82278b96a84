# The build configurations, shared by the test and run scripts (sourced).
all_configurations=(x86-64 asan-ubsan tsan armhf)

configuration_flags() {
  case "$1" in
    x86-64) echo "-DCMAKE_BUILD_TYPE=RelWithDebInfo" ;;
    asan-ubsan) echo "-DCMAKE_BUILD_TYPE=Debug -DTRV_SANITIZE=address,undefined" ;;
    tsan) echo "-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRV_SANITIZE=thread" ;;
    armhf) echo "-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE=$root/cmake/armhf-toolchain.cmake" ;;
    *) echo "unknown configuration: $1 (expected one of: ${all_configurations[*]})" >&2; return 1 ;;
  esac
}

# The ctest label selection of a configuration: ThreadSanitizer runs the
# tiers where threads meet (the core's processes and the threaded tests); the
# others run every tier (unit, process, concurrency).
configuration_labels() {
  case "$1" in
    tsan) echo "process|concurrency" ;;
    *) echo "unit|process|concurrency" ;;
  esac
}

# configure_and_build <configuration> [target...]
configure_and_build() {
  local name=$1
  shift
  local flags
  flags=$(configuration_flags "$name") || return 1
  local launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  local targets=()
  [ $# -eq 0 ] || targets=(--target "$@")
  # shellcheck disable=SC2086
  cmake -G Ninja -S "$root" -B "$root/build/$name" -DTRV_WERROR=ON "${launcher[@]}" $flags >/dev/null &&
    cmake --build "$root/build/$name" "${targets[@]}"
}
