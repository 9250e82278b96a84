#!/usr/bin/env bash
# Installs the Debian 12 packages that one command of this project needs, asking
# apt only for those not installed yet, and makes the en_US.UTF-8 locale that
# the log's digit grouping uses. Each command calls it once, with its set.
# Usage: scripts/install-deps.sh [--dry-run] <set>
#   run      scripts/run.sh: compiler, CMake, Ninja, Boost, fmt, rapidxml, OpenSSL, locales
#   fuzz     scripts/fuzz.sh: run's packages and clang with libFuzzer
#   release  scripts/release.sh: run's packages, the armhf cross toolchain and libraries, qemu-user
#   test     scripts/test.sh: all of the above, GoogleTest, the concurrent queue
#            (benchmarks), ccache, pkg-config, strace and valgrind, also for armhf
#   --dry-run  prints the set's packages and those missing here, and installs nothing
# Installing needs root: run it as root, or with sudo installed.
set -euo pipefail

usage() { sed -n '2,/^set /{/^set /d;s/^# \{0,1\}//;p}' "$0"; }
fail() {
  echo "install-deps: $*" >&2
  exit 1
}

run_packages=(g++ cmake ninja-build libboost1.81-dev libfmt-dev librapidxml-dev libssl-dev locales)
fuzz_packages=(clang-14 libclang-rt-14-dev)
cross_packages=(crossbuild-essential-armhf qemu-user libboost1.81-dev:armhf libfmt-dev:armhf libssl-dev:armhf)
test_packages=(ccache pkg-config strace valgrind libgtest-dev libgmock-dev libconcurrentqueue-dev
  libgtest-dev:armhf libgmock-dev:armhf)

dry_run=false
if [ "${1:-}" = --dry-run ]; then
  dry_run=true
  shift
fi
case "${1:-}" in
  run) packages=("${run_packages[@]}") ;;
  fuzz) packages=("${run_packages[@]}" "${fuzz_packages[@]}") ;;
  release) packages=("${run_packages[@]}" "${cross_packages[@]}") ;;
  test) packages=("${run_packages[@]}" "${fuzz_packages[@]}" "${cross_packages[@]}" "${test_packages[@]}") ;;
  -h | --help)
    usage
    exit 0
    ;;
  *)
    usage >&2
    fail "expected a set (run, fuzz, release or test), got '${1:-}'"
    ;;
esac
set_name=$1

as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
    return
  fi
  command -v sudo >/dev/null || fail "'$*' needs root; run as root, or install sudo"
  sudo "$@"
}

is_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'
}

missing=()
for package in "${packages[@]}"; do
  is_installed "$package" || missing+=("$package")
done
needs_armhf=false
if [[ " ${packages[*]}" == *:armhf* ]] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
  needs_armhf=true
fi

if $dry_run; then
  echo "$set_name: ${packages[*]}"
  echo "missing: ${missing[*]:-none}"
  ! $needs_armhf || echo "would add the armhf architecture to dpkg"
  exit 0
fi

# What apt and locale-gen print goes to a log, shown only when a step fails.
log=$(mktemp "${TMPDIR:-/tmp}/install-deps.XXXXXX")
quietly() {
  "$@" >>"$log" 2>&1 || {
    tail -n 30 "$log" >&2
    return 1
  }
}

if $needs_armhf; then
  as_root dpkg --add-architecture armhf || fail "dpkg could not add the armhf architecture; see its message above"
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]} (apt's output: $log)"
  quietly as_root apt-get update -q || fail "apt-get update failed; check the network and /etc/apt/sources.list"
  quietly as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" ||
    fail "apt-get could not install ${missing[*]}; see its message above"
fi

# Without this locale the core still runs, printing numbers ungrouped.
if ! locale -a 2>/dev/null | grep -qix 'en_US\.utf-\?8'; then
  as_root sed -i 's/^# *\(en_US\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^en_US\.UTF-8 UTF-8' /etc/locale.gen || echo 'en_US.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
  quietly as_root locale-gen || fail "locale-gen could not make en_US.UTF-8; see its message above"
fi
