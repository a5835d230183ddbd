#!/usr/bin/env bash
# Builds everything in one configuration and runs every test.
# usage: scripts/run-tests.sh [default|asan|tsan] [extra ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
shift || true
scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" "$@"
