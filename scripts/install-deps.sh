#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, test and cross-build the core.
# Idempotent: asks apt only for packages that are not installed yet.
set -euo pipefail

host_packages=(
  g++ cmake ninja-build pkg-config ccache file strace
  libboost1.81-dev libfmt-dev librapidxml-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev libconcurrentqueue-dev
  clang-14 libclang-rt-14-dev locales valgrind
)
target_packages=(
  crossbuild-essential-armhf qemu-user
  libboost1.81-dev:armhf libfmt-dev:armhf libssl-dev:armhf
  libgtest-dev:armhf libgmock-dev:armhf
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

is_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'
}

if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  as_root dpkg --add-architecture armhf
fi

missing=()
for package in "${host_packages[@]}" "${target_packages[@]}"; do
  is_installed "$package" || missing+=("$package")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  as_root apt-get update -q
  as_root env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Digit grouping in log lines needs this locale; the core falls back without it.
if ! locale -a 2>/dev/null | grep -qix 'en_US\.utf-\?8'; then
  as_root sed -i 's/^# *\(en_US\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^en_US\.UTF-8 UTF-8' /etc/locale.gen || echo 'en_US.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
  as_root locale-gen
fi
