#!/usr/bin/env bash
# Builds everything in every build type (Debug, Release, RelWithDebInfo,
# MinSizeRel) with GCC, Clang and MinGW-w64, warnings as errors: each
# optimisation level finds other warnings. Runs the tests of the GCC Debug and
# the Clang Release builds; the other stages run the rest.
#
# Usage: scripts/test-build-types.sh [compiler:type ...]
#   compiler is gcc, clang or mingw; with no arguments, all twelve.
#   SERIALTAP_BUILD_TYPES_DIR   where the builds go (default: build-types)
set -uo pipefail
cd "$(dirname "$0")/.."

root=${SERIALTAP_BUILD_TYPES_DIR:-build-types}
types=(Debug Release RelWithDebInfo MinSizeRel)
tested=(gcc:Debug clang:Release)

wanted=("$@")
if [ ${#wanted[@]} -eq 0 ]; then
  for compiler in gcc clang mingw; do
    for type in "${types[@]}"; do wanted+=("$compiler:$type"); done
  done
fi

source scripts/stages.sh

build_one() {
  local compiler=$1 type=$2
  local dir="$root/$compiler-$type"
  local configure=(-DCMAKE_BUILD_TYPE="$type" -DSERIALTAP_WERROR=ON)
  case $compiler in
    gcc) configure+=(-DCMAKE_CXX_COMPILER=g++) ;;
    clang) configure+=(-DCMAKE_CXX_COMPILER=clang++) ;;
    mingw)
      # The toolchain is read at the first configure only; naming it again warns.
      [ -f "$dir/CMakeCache.txt" ] ||
        configure+=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake")
      ;;
    *) echo "unknown compiler: $compiler" >&2; return 1 ;;
  esac
  cmake -S . -B "$dir" "${configure[@]}" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
  # Any warning fails the build through -Werror; this also catches one that
  # a compiler prints without a flag to turn it into an error.
  cmake --build "$dir" -j"$(nproc)" >"$dir.build.log" 2>&1 || { cat "$dir.build.log"; return 1; }
  if grep -i "warning" "$dir.build.log"; then
    echo "$compiler $type: the build printed warnings"
    return 1
  fi
  local combination
  for combination in "${tested[@]}"; do
    if [ "$combination" = "$compiler:$type" ]; then
      ctest --test-dir "$dir" -LE vm --output-on-failure --timeout 120 >"$dir.ctest.log" 2>&1 ||
        { cat "$dir.ctest.log"; return 1; }
      tail -n 3 "$dir.ctest.log"
    fi
  done
}

mkdir -p "$root"
for combination in "${wanted[@]}"; do
  stage "${combination%%:*} ${combination#*:}" build_one "${combination%%:*}" "${combination#*:}"
done

echo "Build types: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
