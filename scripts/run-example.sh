#!/usr/bin/env bash
# Sets up what is missing, builds the tavrin tool (release preset) and runs its demo: the shipped
# thermal-zone orchestration in closed loop against its simulated plant, compared with a baseline.
# Arguments are passed on to the demo (e.g. --episodes 10 --seed 7 --trace trace.csv --plot day.png).
# Safe to run again; works from any directory.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/setup.sh >/dev/null
cmake --preset release >&2
cmake --build --preset release -j2 --target tavrin >&2
exec build/release/tools/tavrin demo "$@"
