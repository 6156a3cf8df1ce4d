#!/usr/bin/env bash
# Builds the fuzz targets of the fuzz preset (clang, libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer; only the targets and the libraries they link, not the programs and
# examples, to keep the run short) and runs every fuzz target
# for a bounded time on a copy of its seed corpus (fuzz/corpus/<target>/). Fails when a target
# reports a crash, a sanitizer finding, a leak, a timeout or too much memory; the input that did it
# is kept in build/fuzz/artifacts/. Works from any directory.
#
#   FUZZ_SECONDS   run time per target (default 20)
#   FUZZ_TARGETS   space-separated target names to run (default: all, e.g. "masks decode")
#   FUZZ_JOBS      parallel build jobs (default: the build preset's)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

seconds="${FUZZ_SECONDS:-20}"
build_dir=build/fuzz
artifacts="$build_dir/artifacts"

log() { echo "[fuzz] $*" >&2; }

scripts/setup.sh >/dev/null
start=$SECONDS
nice -n 10 cmake --preset fuzz >/dev/null
nice -n 10 cmake --build --preset fuzz ${FUZZ_JOBS:+-j "$FUZZ_JOBS"}
log "build: $((SECONDS - start)) s"

targets=()
if [[ -n "${FUZZ_TARGETS:-}" ]]; then
  read -r -a targets <<<"$FUZZ_TARGETS"
else
  for exe in "$build_dir"/fuzz/*_fuzz; do
    [[ -x "$exe" ]] && targets+=("$(basename "$exe" _fuzz)")
  done
fi
[[ ${#targets[@]} -gt 0 ]] || { log "no fuzz targets were built"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$artifacts"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:symbolize=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=()
for name in "${targets[@]}"; do
  exe="$build_dir/fuzz/${name}_fuzz"
  [[ -x "$exe" ]] || { log "$name: $exe was not built"; failed+=("$name"); continue; }
  corpus="$work/$name"
  mkdir -p "$corpus"
  if [[ -d "fuzz/corpus/$name" ]]; then cp -r "fuzz/corpus/$name/." "$corpus/"; fi
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=1024
        -max_len=8192 -print_final_stats=1 -artifact_prefix="$artifacts/$name-")
  [[ -f "fuzz/$name.dict" ]] && args+=(-dict="fuzz/$name.dict")
  log "$name: ${seconds} s on $(find "$corpus" -type f | wc -l) seed inputs"
  set +e
  "$exe" "${args[@]}" "$corpus" >"$work/$name.log" 2>&1
  rc=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$name.log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/$name.log" | tail -1)
  if [[ $rc -ne 0 ]]; then
    log "$name: FAILED (exit $rc); the last lines of its log:"
    tail -n 60 "$work/$name.log" >&2
    cp "$work/$name.log" "$artifacts/$name.log"
    failed+=("$name")
  else
    log "$name: ok, ${runs:-?} runs, ${rate:-?} runs/s"
  fi
done

log "total: $((SECONDS - start)) s"
if [[ ${#failed[@]} -gt 0 ]]; then
  log "findings in: ${failed[*]} (inputs and logs in $artifacts/)"
  exit 1
fi
