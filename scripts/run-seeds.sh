#!/usr/bin/env bash
# Runs the tests a gtest filter names under the scheduler's deterministic mode, once per seed
# 1..N (VRAX_SCHED_SEED), and stops at the first failing seed with the command that replays it.
# usage: scripts/run-seeds.sh SCENARIO N [PRESET]
#   SCENARIO  a gtest filter: Suite.Name, Suite.*, or several joined by ':'
#   N         the number of seeds (1..N)
#   PRESET    the build to use (default: "default"; "asan" works too)
# The test binaries must be built already (cmake --build --preset PRESET).
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $# -lt 2 || ! "$2" =~ ^[0-9]+$ || "$2" -lt 1 ]]; then
  echo "usage: $0 SCENARIO N [PRESET]" >&2
  exit 2
fi
scenario=$1
seeds=$2
build=build/${3:-default}
[[ -d "$build" ]] || { echo "$build does not exist: build it first" >&2; exit 2; }

# ctest knows every test as Suite.Name and the binary that holds it; take the binaries whose
# tests the filter matches, so each seed runs one process per binary.
mapfile -t binaries < <(
  ctest --test-dir "$build" -N -V 2>/dev/null |
    sed -n 's/^[0-9]*: Test command: \([^ ]*\) "--gtest_filter=\([^"]*\)".*/\1 \2/p' |
    python3 -c '
import fnmatch, sys
pattern = sys.argv[1]
positive, _, negative = pattern.partition("-")
def any_match(name, pats):
    return any(fnmatch.fnmatchcase(name, p) for p in pats.split(":") if p)
seen = []
for line in sys.stdin:
    binary, name = line.split()
    if any_match(name, positive) and not any_match(name, negative) and binary not in seen:
        seen.append(binary)
print("\n".join(seen))
' "$scenario")
if [[ ${#binaries[@]} -eq 0 || -z "${binaries[0]}" ]]; then
  echo "no test in $build matches '$scenario'" >&2
  exit 2
fi

start=$(date +%s)
for ((seed = 1; seed <= seeds; seed++)); do
  for bin in "${binaries[@]}"; do
    log=$(mktemp)
    if ! VRAX_SCHED_SEED=$seed timeout 300 "$bin" --gtest_filter="$scenario" >"$log" 2>&1; then
      tail -n 60 "$log"
      rm -f "$log"
      echo
      echo "FAILED under seed $seed of $seeds; replay with:"
      echo "  VRAX_SCHED_SEED=$seed $bin --gtest_filter='$scenario'"
      exit 1
    fi
    rm -f "$log"
  done
  if ((seed % 100 == 0)); then
    echo "seed $seed of $seeds passed ($(($(date +%s) - start)) s)"
  fi
done
echo "$seeds seeds passed for '$scenario' in $(($(date +%s) - start)) s"
