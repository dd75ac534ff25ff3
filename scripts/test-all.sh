#!/usr/bin/env bash
# Everything CI checks: the Linux build and tests, the Windows build and its
# tests under Wine, every build type with every compiler, the arm64 build and
# its tests under qemu-user, the packages, and the hardening checks. Installs
# what it needs first.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh all || exit 1

source scripts/stages.sh

linux_tests() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSERIALTAP_WERROR=ON &&
    cmake --build build -j"$(nproc)" &&
    ctest --test-dir build --output-on-failure
}

stage "Linux build and tests" linux_tests
stage "Windows build and tests under Wine" bash scripts/test-windows.sh
# Every other compiler and build type: GCC and MinGW-w64 RelWithDebInfo are
# the two builds above.
stage "Build types: GCC, Clang, MinGW-w64 x Debug, Release, RelWithDebInfo, MinSizeRel" \
  bash scripts/test-build-types.sh gcc:Debug gcc:Release gcc:MinSizeRel \
  clang:Debug clang:Release clang:RelWithDebInfo clang:MinSizeRel \
  mingw:Debug mingw:Release mingw:MinSizeRel
stage "arm64: cross build, tests under qemu-user, .deb" bash scripts/test-arm64.sh
# Packages the GCC and MinGW-w64 Release builds of the build-types stage.
stage "Packages: man page, completion, cmake --install, .deb, Windows .zip" \
  bash scripts/test-packages.sh
stage "Sanitizers, fuzzing, static analysis, memcheck" bash scripts/test-hardening.sh

echo "Stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
