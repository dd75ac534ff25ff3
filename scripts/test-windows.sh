#!/usr/bin/env bash
# Cross-builds serialtap for 64-bit Windows with MinGW-w64 (warnings are
# errors), runs the unit tests under Wine, then the end-to-end checks: a
# pseudo-terminal presented to Wine as COM23, a console typed at through a
# second pseudo-terminal.
#
# Usage: scripts/test-windows.sh
#   SERIALTAP_WINDOWS_BUILD   build directory (default: build-windows)
#   SERIALTAP_LINUX_EXE       Linux build to compare captures with
#                             (default: build/serialtap when it exists)
set -uo pipefail
cd "$(dirname "$0")/.."

build_dir=${SERIALTAP_WINDOWS_BUILD:-build-windows}
linux_exe=${SERIALTAP_LINUX_EXE:-build/serialtap}

for tool in x86_64-w64-mingw32-g++-posix wine cmake gcc python3; do
  if ! command -v "$tool" >/dev/null; then
    bash scripts/install-deps.sh all || exit 1
    break
  fi
done

# A private, quiet, headless Wine: no display, no installer prompts for
# Mono or Gecko, nothing shared with the user's own prefix.
mkdir -p "$build_dir" && build_dir=$(cd "$build_dir" && pwd) || exit 1
export WINEPREFIX="$build_dir/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

source scripts/stages.sh

build() {
  local configure=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DSERIALTAP_WERROR=ON -DCMAKE_CROSSCOMPILING_EMULATOR=wine)
  # The toolchain is read at the first configure only; naming it again warns.
  if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    configure+=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake")
  fi
  cmake -S . -B "$build_dir" "${configure[@]}" && cmake --build "$build_dir" -j"$(nproc)"
}

start_wine() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wine wineboot -i >"$build_dir/wineboot.log" 2>&1 || { cat "$build_dir/wineboot.log"; return 1; }
    wineserver -w
  fi
  # One server and one set of Wine's services for all the test programs,
  # ended with the script; without it each program starts them anew.
  wineserver -p >"$build_dir/wineserver.log" 2>&1
  # The first program in a new prefix takes seconds to start, which would
  # trip the unit tests' discovery time-out.
  wine cmd /c exit >>"$build_dir/wineboot.log" 2>&1
}

# Now and then Wine fails to start a program: the test "fails" in no time
# having printed nothing, not even the test framework's first line. Such a
# test runs once more; a test that printed anything and failed stays failed.
unit_tests() {
  local log="$build_dir/unit-tests.log"
  ctest --test-dir "$build_dir" --output-on-failure --timeout 120 --output-log "$log" && return 0
  local silent
  silent=$(awk '
    /\*\*\*(Failed|Exception)/ { name = $4; pending = 1; next }
    pending && /^ *$/ { next }
    pending { if ($0 ~ /^ *Start [0-9]+:|^ *[0-9]+\/[0-9]+ Test #|tests passed/) print name; pending = 0 }
  ' "$log")
  local failed_count
  failed_count=$(grep -c . "$build_dir/Testing/Temporary/LastTestsFailed.log" 2>/dev/null || echo 0)
  [ -n "$silent" ] && [ "$(echo "$silent" | wc -l)" -eq "$failed_count" ] || return 1
  echo "Wine started nothing for: $silent; running them once more"
  ctest --test-dir "$build_dir" --output-on-failure --timeout 120 --rerun-failed
}

end_to_end() {
  gcc -std=c11 -O2 -Wall -Wextra -Wpedantic -Werror -shared -fPIC \
    -o "$build_dir/libmodem_lines.so" tests/wine/modem_lines_preload.c -ldl || return 1
  local compare=()
  if [ -x "$linux_exe" ]; then
    compare=(--linux-exe "$linux_exe")
  else
    echo "no Linux build at $linux_exe: the captures are not compared with it"
  fi
  python3 tests/wine/end_to_end.py --exe "$build_dir/serialtap.exe" \
    --preload "$build_dir/libmodem_lines.so" --prefix "$WINEPREFIX" \
    --work "$build_dir/end-to-end" "${compare[@]}"
}

stage "Windows build (MinGW-w64, warnings as errors)" build
if [ "$failed" -eq 0 ]; then
  trap 'wineserver -k >/dev/null 2>&1' EXIT
  stage "Wine prefix" start_wine
fi
if [ "$failed" -eq 0 ]; then
  stage "Unit tests under Wine" unit_tests
  stage "End-to-end under Wine" end_to_end
fi

echo "Windows stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
