#!/usr/bin/env bash
# The hardening checks: the whole test suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, short libFuzzer runs, clang-tidy, cppcheck, and
# Valgrind memcheck over an end-to-end capture. Exits non-zero when any fails.
#
# usage: scripts/test-hardening.sh [stage...]
#   stages: sanitizers fuzz clang-tidy cppcheck memcheck (default: all, in order)
# environment:
#   SERIALTAP_HARDENING_DIR  build and work directory (default: build-hardening in the checkout)
#   SERIALTAP_FUZZ_SECONDS   length of each fuzz run (default: 60)
#   CXX                      compiler for the sanitizer and memcheck builds (default: c++);
#                            the fuzz and clang-tidy builds always use clang++
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=${SERIALTAP_HARDENING_DIR:-$root/build-hardening}
fuzz_seconds=${SERIALTAP_FUZZ_SECONDS:-60}
jobs=$(nproc 2>/dev/null || echo 2)
cxx=${CXX:-c++}
mkdir -p "$work"

# The sources the analysers look at: the program, its tests, tools and fuzz
# targets as this platform builds them (Windows-only files are not compiled
# here, so they are left out).
project_sources() {
  python3 - "$1" "$root" <<'EOF'
import json, os, sys
entries = json.load(open(sys.argv[1]))
root = sys.argv[2]
dirs = ("app", "capture", "port", "tools", "tests", "fuzz")
seen = set()
for entry in entries:
    path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    rel = os.path.relpath(path, root)
    if rel.split(os.sep)[0] in dirs and not rel.endswith("_win32.cpp") and rel not in seen:
        seen.add(rel)
        print(path)
EOF
}

configure_analysis() {
  # Configured only, never built: clang-tidy and cppcheck need the compile
  # commands, and with the fuzz targets on they include fuzz/ too.
  cmake -S "$root" -B "$work/analysis" -DCMAKE_CXX_COMPILER=clang++ -DSERIALTAP_FUZZ=ON -DSERIALTAP_WERROR=ON \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$work/analysis-configure.log" 2>&1 ||
    { cat "$work/analysis-configure.log"; return 1; }
}

stage_sanitizers() {
  local dir=$work/sanitizers
  # Debug: assertions stay on, and the build is the quickest of the kinds.
  cmake -S "$root" -B "$dir" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Debug -DSERIALTAP_WERROR=ON \
    -DSERIALTAP_SANITIZE=ON >"$work/sanitizers-configure.log" 2>&1 ||
    { cat "$work/sanitizers-configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs" >"$work/sanitizers-build.log" 2>&1 ||
    { cat "$work/sanitizers-build.log"; return 1; }
  # A sanitizer report aborts the process, so a test that expects a failing
  # exit status cannot mistake a report for the program's own exit. The VM
  # tests (label vm) boot a static build of their own, not this one.
  local log=$work/sanitizers-ctest.log status=0
  ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1 \
    ctest --test-dir "$dir" -LE vm --output-on-failure --timeout 300 >"$log" 2>&1 || status=1
  if [ $status -ne 0 ]; then
    grep -v -E '^ *Start +[0-9]+:|Test +#[0-9]+: .* Passed' "$log"
  else
    grep -E 'tests passed' "$log"
  fi
  return $status
}

stage_fuzz() {
  local dir=$work/fuzz
  cmake -S "$root" -B "$dir" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSERIALTAP_WERROR=ON \
    -DSERIALTAP_TESTS=OFF -DSERIALTAP_FUZZ=ON >"$work/fuzz-configure.log" 2>&1 ||
    { cat "$work/fuzz-configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs" --target fuzz_command_line fuzz_capture_file fuzz_capture_format fuzz_telnet_session fuzz_marked_input \
    >"$work/fuzz-build.log" 2>&1 || { cat "$work/fuzz-build.log"; return 1; }
  # Side by side, so the stage takes one run's time however many targets there are.
  local fuzz_targets="command_line capture_file capture_format telnet_session marked_input"
  local target pids=() status=0
  for target in $fuzz_targets; do
    # New inputs go to a scratch corpus; the committed one stays as it is.
    rm -rf "$work/corpus-$target" "$work/artifacts-$target"
    mkdir -p "$work/corpus-$target" "$work/artifacts-$target"
    "$dir/fuzz/fuzz_$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$work/artifacts-$target/" \
      "$work/corpus-$target" "$root/fuzz/corpus/$target" >"$work/fuzz-$target.log" 2>&1 &
    pids+=($!)
  done
  local i=0
  for target in $fuzz_targets; do
    if wait "${pids[$i]}"; then
      echo "fuzz_$target: $(grep -E '^Done [0-9]+ runs' "$work/fuzz-$target.log")"
    else
      echo "fuzz_$target FAILED; the input is under $work/artifacts-$target/:"
      tail -n 60 "$work/fuzz-$target.log"
      status=1
    fi
    i=$((i + 1))
  done
  return $status
}

stage_clang_tidy() {
  configure_analysis || return 1
  local log=$work/clang-tidy.log source status=0
  local -a program=() tests=()
  : >"$log"
  while IFS= read -r source; do
    case $source in
      */tests/*) tests+=("$source") ;;
      *) program+=("$source") ;;
    esac
  done < <(project_sources "$work/analysis/compile_commands.json")
  if [ ${#program[@]} -gt 0 ]; then
    printf '%s\0' "${program[@]}" |
      xargs -0 -n 2 -P "$jobs" clang-tidy -p "$work/analysis" --quiet >>"$log" 2>&1 || status=1
  fi
  # The static analyser triples the time on the test files, where the test
  # framework's macros are most of what it would walk through; the tests get
  # every other check.
  if [ ${#tests[@]} -gt 0 ]; then
    printf '%s\0' "${tests[@]}" |
      xargs -0 -n 2 -P "$jobs" clang-tidy -p "$work/analysis" --quiet \
        --checks='-clang-analyzer-*' >>"$log" 2>&1 || status=1
  fi
  grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' "$log"
  echo "clang-tidy: ${#program[@]} program, tool and fuzz files, ${#tests[@]} test files"
  return $status
}

stage_cppcheck() {
  configure_analysis || return 1
  local sources
  mapfile -t sources < <(project_sources "$work/analysis/compile_commands.json")
  cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
    --std=c++17 --language=c++ --quiet -I "$root" -j "$jobs" --library=posix \
    --library=googletest --suppress=missingIncludeSystem "${sources[@]}"
}

stage_memcheck() {
  local dir=$work/memcheck
  # An uninstrumented build: Valgrind and the sanitizers do not mix.
  cmake -S "$root" -B "$dir" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSERIALTAP_WERROR=ON \
    -DSERIALTAP_TESTS=OFF >"$work/memcheck-configure.log" 2>&1 ||
    { cat "$work/memcheck-configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs" --target serialtap >"$work/memcheck-build.log" 2>&1 ||
    { cat "$work/memcheck-build.log"; return 1; }
  python3 "$root/scripts/memcheck-capture.py" "$dir/serialtap" "$work/memcheck-run"
}

all_stages=(sanitizers fuzz clang-tidy cppcheck memcheck)
stages=("$@")
[ ${#stages[@]} -eq 0 ] && stages=("${all_stages[@]}")

summary=()
failed=0
for stage in "${stages[@]}"; do
  case " ${all_stages[*]} " in
    *" $stage "*) ;;
    *) echo "unknown stage: $stage (stages: ${all_stages[*]})" >&2; exit 2 ;;
  esac
  echo "=== hardening: $stage"
  start=$SECONDS
  if "stage_${stage//-/_}"; then
    result=passed
  else
    result=FAILED
    failed=$((failed + 1))
  fi
  summary+=("$(printf '%-12s %-7s %4ds' "$stage" "$result" $((SECONDS - start)))")
  echo "=== hardening: $stage $result"
done

echo
echo "Hardening summary:"
printf '  %s\n' "${summary[@]}"
if [ "$failed" -ne 0 ]; then
  echo "$failed of ${#stages[@]} hardening stages FAILED"
  exit 1
fi
echo "all ${#stages[@]} hardening stages passed"
