#!/usr/bin/env bash
# Sets up what is missing, builds the release preset and loads the shipped example orchestration
# with the tavrin tool. Safe to run again; works from any directory.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/setup.sh
cmake --preset release
cmake --build --preset release -j2
exec build/release/tools/tavrin load examples/thermal/orchestration.json
