#!/usr/bin/env bash
# A step's own cost, in numbers that do not depend on the machine's load:
#   - instructions per step of the runtime itself (the whole step minus what runs inside ONNX
#     Runtime), counted by valgrind's callgrind over a fixed number of steps of a packaged hierarchy
#     (bench/step_profile, after a warm-up that is not counted);
#   - heap allocations per step of our own (ONNX Runtime's excluded) and live-heap growth, from
#     bench/memory_bench.
# Builds the release preset's step_profile and memory_bench first (scripts/setup.sh must have run).
#
#   scripts/profile-step.sh [orchestration] [steps]
#     orchestration  a file of tests/fixtures/hierarchy/ (default three_level.json: the three-level
#                    hierarchy of small models)
#     steps          counted steps (default 2000)
#     PROFILE_TOP=N  also list our N costliest functions
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

orchestration=${1:-three_level.json}
steps=${2:-2000}
build=build/release

command -v valgrind >/dev/null || { echo "profile-step: valgrind not found (Debian package valgrind)" >&2; exit 1; }
cmake --preset release >/dev/null
cmake --build --preset release --target step_profile memory_bench >/dev/null

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# One profile per thread: the step runs on the main thread, whose file ends in -01.
valgrind --tool=callgrind --separate-threads=yes --collect-atstart=no --toggle-collect='profiled_steps*' \
  --callgrind-out-file="$out/step.out" "$build/bench/step_profile" "$orchestration" "$steps" 200 >/dev/null 2>&1
echo "$orchestration, $steps steps under callgrind:"
python3 scripts/callgrind_split.py "$out/step.out-01" --ours "$PWD/$build" --steps "$steps" --top "${PROFILE_TOP:-0}"

# Heap: allocations per step and live-heap growth over ten thousand steps of the three-level hierarchy.
"$build/bench/memory_bench" --benchmark_filter='BM_LiveHeap/10000/' --benchmark_format=json 2>/dev/null |
  python3 -c '
import json, sys
run = json.load(sys.stdin)["benchmarks"][0]
print("heap per step (three_level.json, 10,000 steps): own allocations %.2f (all, ONNX Runtime'"'"'s included: %.2f), "
      "live-heap growth %g bytes" % (run["own_allocs_per_step"], run["allocs_per_step"], run["live_growth_per_step"]))'
