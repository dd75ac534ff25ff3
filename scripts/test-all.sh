#!/usr/bin/env bash
# Everything CI checks: the Linux build and tests, the Windows build and its
# tests under Wine, and the hardening checks. Installs what it needs first.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh all || exit 1

source scripts/stages.sh

linux_tests() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    cmake --build build -j"$(nproc)" &&
    ctest --test-dir build --output-on-failure
}

stage "Linux build and tests" linux_tests
stage "Windows build and tests under Wine" bash scripts/test-windows.sh
stage "Sanitizers, fuzzing, static analysis, memcheck" bash scripts/test-hardening.sh

echo "Stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
