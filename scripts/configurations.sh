# shellcheck shell=bash
# The build trees of the scripts and how each is configured (sourced; defines
# functions only). The project root is always an argument, so these work the
# same from whichever script sources them.
#   configure_tree <source dir> <build dir> [cmake option...]
#   configure_and_build <root> <configuration> [target...]   (builds <root>/build/<configuration>)

# The configurations scripts/test.sh tests, in its order.
tested_configurations=(x86-64 asan-ubsan tsan armhf)

# configuration_flags <root> <configuration>: its CMake options, one a line.
configuration_flags() {
  local root=$1
  case "$2" in
    x86-64) printf '%s\n' -DCMAKE_BUILD_TYPE=RelWithDebInfo ;;
    asan-ubsan) printf '%s\n' -DCMAKE_BUILD_TYPE=Debug -DTRV_SANITIZE=address,undefined ;;
    tsan) printf '%s\n' -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRV_SANITIZE=thread ;;
    armhf) printf '%s\n' -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/armhf-toolchain.cmake" ;;
    # The demo's tree: without tests and benchmarks, so their packages are not needed.
    run) printf '%s\n' -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRV_BUILD_TESTS=OFF -DTRV_BUILD_BENCHMARKS=OFF ;;
    # The runtime lands at the archive's top, so it unpacks ready to start; the
    # same optimisation as the tested builds, debug information stripped.
    release-armhf)
      printf '%s\n' -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/armhf-toolchain.cmake" \
        -DTRV_BUILD_TESTS=OFF -DTRV_BUILD_BENCHMARKS=OFF -DTRV_RUNTIME_DESTINATION=. -DCPACK_STRIP_FILES=ON
      ;;
    *)
      echo "unknown configuration '$2' (expected one of: ${tested_configurations[*]} run release-armhf)" >&2
      return 1
      ;;
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

# The one place a tree is configured: Ninja, and ccache in front of the
# compilers where it is installed. CMake's own chatter is dropped; its errors
# go to stderr.
configure_tree() {
  local source=$1 build=$2
  shift 2
  local launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  cmake -G Ninja -S "$source" -B "$build" "${launcher[@]}" "$@" >/dev/null ||
    {
      echo "cmake could not configure $build; its errors are above (a package missing? see scripts/install-deps.sh --help)" >&2
      return 1
    }
}

configure_and_build() {
  local root=$1 name=$2
  shift 2
  local lines flags
  lines=$(configuration_flags "$root" "$name") || return 1
  mapfile -t flags <<<"$lines"
  local targets=()
  [ $# -eq 0 ] || targets=(--target "$@")
  configure_tree "$root" "$root/build/$name" -DTRV_WERROR=ON "${flags[@]}" || return 1
  cmake --build "$root/build/$name" "${targets[@]}" ||
    {
      echo "the $name build failed; the compiler's errors are above" >&2
      return 1
    }
}
