#!/usr/bin/env bash
# Installs what building and testing need from Debian's packages.
# Usage: install-deps.sh [build|all]   (default: all)
set -euo pipefail

build_packages=(cmake make g++ clang libgtest-dev googletest python3)
# The network port tests serve a pseudo-terminal with ser2net; the benchmark
# compares with socat.
network_packages=(ser2net socat)
windows_packages=(g++-mingw-w64-x86-64-posix wine64 wine)
hardening_packages=(clang-tidy cppcheck valgrind libclang-rt-14-dev)
# The VM tests: QEMU, the guest's shell and the kernels whose drivers they test.
vm_packages=(qemu-system-x86 busybox-static linux-image-cloud-amd64 linux-image-amd64 e2fsprogs)
# The man page lint, the .deb (dpkg-shlibdeps), the systemd unit check and
# the arm64 cross build with its tests under qemu-user.
packaging_packages=(mandoc groff-base man-db dpkg-dev systemd g++-aarch64-linux-gnu qemu-user)

case "${1:-all}" in
  build) wanted=("${build_packages[@]}") ;;
  all)
    wanted=("${build_packages[@]}" "${network_packages[@]}" "${windows_packages[@]}" "${hardening_packages[@]}"
      "${vm_packages[@]}" "${packaging_packages[@]}")
    ;;
  *) echo "usage: $0 [build|all]" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q "${missing[@]}"
