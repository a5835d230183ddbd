#!/usr/bin/env bash
# Builds and runs the main job: vraxsim boots a simulated machine, loads the driver and
# prints a transcript of what happened. Extra arguments go to vraxsim (try --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target vraxsim
exec build/default/tools/vraxsim "$@"
