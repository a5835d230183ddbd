#!/usr/bin/env bash
# Builds vraxstress and runs it: the full size (64 programs x 100,000 messages, a port loss
# every 1,000 frames) in the default build, then 64 x 10,000 under ASan+UBSan and under TSan.
# usage: scripts/run-stress.sh [full|small] [extra vraxstress arguments, e.g. --seed 7]
#   small: 8 x 500 in each build, as CI does.
# Each run prints its progress on stderr and its summary table on stdout; the script stops
# at the first run that finds a loss, a duplicate, a misdelivery, a request left pending or
# a leak (exit status 1), and prints how long each run took.
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-full}
shift || true
case "$size" in
  full)  full=(--clients 64 --messages 100000); sanitized=(--clients 64 --messages 10000) ;;
  small) full=(--clients 8 --messages 500); sanitized=(--clients 8 --messages 500) ;;
  *) echo "usage: $0 [full|small] [vraxstress arguments...]" >&2; exit 2 ;;
esac
scripts/install-deps.sh
run() {
  local preset=$1; shift
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target vraxstress
  echo "== vraxstress ($preset) $*"
  local start=$SECONDS
  "build/$preset/tools/stress/vraxstress" "$@"
  echo "== $preset: $((SECONDS - start)) s"
}
run default "${full[@]}" "$@"
run asan "${sanitized[@]}" "$@"
run tsan "${sanitized[@]}" "$@"
