#!/usr/bin/env bash
# Sanitizer runs, each in its own build tree:
#   asan  AddressSanitizer + LeakSanitizer + UndefinedBehaviorSanitizer (preset asan, build/asan):
#         the whole test suite, as ctest runs it; then a leak check: the embedding example packages
#         the three-level hierarchy of tests/fixtures/hierarchy/ and steps it LEAK_STEPS times, so
#         anything a step allocates and loses is reported when it exits;
#   tsan  ThreadSanitizer (preset tsan, build/tsan): only the test programs that start threads
#         (tests/*_test.cpp using std::thread, std::jthread, std::async or a thread pool, and the
#         programs named in TSAN_EXTRA_TESTS).
# Any sanitizer report fails the run, also one from a child process whose output a test swallows:
# reports are written to files (log_path) and the script fails when any exists.
#
#   scripts/sanitize.sh [asan|tsan]...        (default: both)
#     SANITIZE_JOBS      parallel build and test jobs (default 2)
#     LEAK_STEPS         steps of the leak check (default 1000)
#     TSAN_EXTRA_TESTS   more test programs for the tsan run, e.g. "policy_host_test"
#     TSAN_EXTRA_TARGETS programs those tests start, built with them when present
#                        (default "tavrin-worker tavrin_test_plugin")
#
# ONNX Runtime itself is a prebuilt, uninstrumented library: its memory comes from the sanitizer's
# allocator (malloc is intercepted), so leaks and bad frees of our own buffers are still seen, but
# accesses made inside it are not checked. Known reports about it are listed, with reasons, in
# sanitizers/*.supp.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD

JOBS=${SANITIZE_JOBS:-2}
runs=("$@")
[[ ${#runs[@]} -gt 0 ]] || runs=(asan tsan)

log() { echo "[sanitize] $*" >&2; }
timings=()
timed() {  # timed <label> <command>...
  local label=$1; shift
  local start; start=$(date +%s)
  local rc=0
  "$@" || rc=$?
  local took=$(( $(date +%s) - start ))
  timings+=("$(printf '%-24s %5d s%s' "$label" "$took" "$([[ $rc = 0 ]] || echo "  (failed: $rc)")")")
  return $rc
}
summary() {
  log "times:"
  for t in "${timings[@]}"; do echo "    $t" >&2; done
}
trap summary EXIT

# Reports found in a log directory are printed and fail the run.
check_reports() {  # check_reports <dir> <name>
  local dir=$1 name=$2
  shopt -s nullglob
  local reports=("$dir"/*)
  shopt -u nullglob
  if [[ ${#reports[@]} -gt 0 ]]; then
    log "$name: ${#reports[@]} sanitizer report(s):"
    for r in "${reports[@]}"; do
      echo "===== $r" >&2
      cat "$r" >&2
    done
    return 1
  fi
  log "$name: no sanitizer reports"
}

scripts/setup.sh >/dev/null

run_asan() {
  local build=build/asan reports=$root/build/asan/sanitizer-reports
  timed "asan configure" cmake --preset asan >/dev/null || return 1
  timed "asan build" cmake --build --preset asan -j "$JOBS" || return 1
  rm -rf "$reports"; mkdir -p "$reports"
  # halt_on_error: the first report ends the process (UBSan is built without recovery as well).
  export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:strict_string_checks=1:print_summary=1:log_path=$reports/asan"
  export LSAN_OPTIONS="suppressions=$root/sanitizers/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:report_error_type=1:suppressions=$root/sanitizers/ubsan.supp:log_path=$reports/ubsan"
  local rc=0
  timed "asan tests" ctest --preset asan -j "$JOBS" --output-log "$build/sanitize-ctest.log" || rc=$?
  local steps=${LEAK_STEPS:-1000}
  timed "asan leak check" "$build/examples/embed_policy_host" tests/fixtures/hierarchy/three_level.json "$steps" \
    >"$build/sanitize-leak.log" 2>&1 || { rc=1; tail -n 20 "$build/sanitize-leak.log" >&2; }
  if [[ $rc = 0 ]] && ! grep -q "^embedding example: $steps steps" "$build/sanitize-leak.log"; then
    log "asan leak check: the example did not finish its $steps steps"; rc=1
  fi
  unset ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS
  check_reports "$reports" asan || rc=1
  return $rc
}

tsan_tests() {
  local extra=${TSAN_EXTRA_TESTS:-}
  {
    grep -lE 'std::(thread|jthread|async)\b|thread_pool|#include <(thread|future)>' tests/*_test.cpp |
      xargs -r -n1 basename | sed 's/\.cpp$//'
    for t in $extra; do echo "$t"; done
  } | sort -u
}

run_tsan() {
  local build=build/tsan reports=$root/build/tsan/sanitizer-reports
  mapfile -t tests < <(tsan_tests)
  [[ ${#tests[@]} -gt 0 ]] || { log "tsan: no test starts threads"; return 0; }
  log "tsan: ${tests[*]}"
  timed "tsan configure" cmake --preset tsan >/dev/null || return 1
  # Programs the tests start (worker processes) are built with them when the tree has them.
  local targets=("${tests[@]}") t
  for t in ${TSAN_EXTRA_TARGETS:-tavrin-worker tavrin_test_plugin}; do
    if cmake --build "$build" --target help 2>/dev/null | grep -q "^$t:"; then targets+=("$t"); fi
  done
  timed "tsan build" cmake --build --preset tsan -j "$JOBS" --target "${targets[@]}" || return 1
  rm -rf "$reports"; mkdir -p "$reports"
  # Without this, TSan's shadow mapping fails under the address space randomisation of newer
  # kernels on some machines; it only affects the test processes.
  local setarch=()
  if command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
    setarch=(setarch "$(uname -m)" -R)
  fi
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:report_signal_unsafe=1:suppressions=$root/sanitizers/tsan.supp:log_path=$reports/tsan"
  local rc=0
  for t in "${tests[@]}"; do
    # Same working directory as under ctest; every case of the program in one process.
    timed "tsan $t" "${setarch[@]}" env -C tests "$root/$build/tests/$t" --gtest_brief=1 || rc=1
  done
  unset TSAN_OPTIONS
  check_reports "$reports" tsan || rc=1
  return $rc
}

status=0
for r in "${runs[@]}"; do
  case "$r" in
    asan) run_asan || status=1 ;;
    tsan) run_tsan || status=1 ;;
    *) log "unknown run: $r (asan, tsan)"; exit 2 ;;
  esac
done
exit $status
