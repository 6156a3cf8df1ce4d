#!/usr/bin/env bash
# Sets up what is missing, builds the release preset and runs the whole test suite.
# Safe to run again; works from any directory.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/setup.sh
cmake --preset release
cmake --build --preset release -j2
exec ctest --preset release --output-on-failure
