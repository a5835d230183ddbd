#!/usr/bin/env bash
# Runs every fuzz harness (or the ones named) for a long time each, one harness after the
# other, keeping the corpora they grow between runs, and prints executions per harness.
# usage: scripts/run-fuzz-deep.sh [seconds per harness, default 3600] [harness ...]
# Environment: VRAX_FUZZ_WORK, where the grown corpora are kept (default fuzz-work/, outside
# the build tree so a clean build keeps them; git ignores it); VRAX_FUZZ_FORK, processes per
# harness (default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-3600}
shift || true
export VRAX_FUZZ_WORK=${VRAX_FUZZ_WORK:-fuzz-work}
export VRAX_FUZZ_FORK=${VRAX_FUZZ_FORK:-$(nproc)}
mkdir -p "$VRAX_FUZZ_WORK"
summary=$VRAX_FUZZ_WORK/summary.txt
start=$(date +%s)
status=0
scripts/run-fuzz.sh "$seconds" "$@" | tee "$summary.new" || status=$?
{
  echo "fuzz-deep: $(date -u +%Y-%m-%dT%H:%MZ), ${seconds}s per harness, ${VRAX_FUZZ_FORK} process(es)," \
       "$(nproc) core(s), $(( $(date +%s) - start )) s in all"
  grep -E '^fuzz: .* (clean|FOUND)' "$summary.new" || true
} > "$summary"
rm -f "$summary.new"
cat "$summary"
exit $status
