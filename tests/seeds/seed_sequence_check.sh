#!/usr/bin/env bash
# Runs the seed probe (seed_probe_test.cpp) under sequences of seeds and checks what the test
# entry point promises: every seed of the range in order, the same orders each time, a failure
# that stops the sequence at its seed and names the range that replays it, and malformed
# ranges refused.
set -euo pipefail
bin=$1
filter=--gtest_filter=SeedProbe.*

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
steps() { grep '^deterministic scheduler: seed' <<<"$1" || true; }
run() {
  status=0
  out=$(env "$@" "$bin" "$filter" 2>&1) || status=$?
}

run VRAX_SCHED_SEEDS=3-7
[[ $status -eq 0 ]] || fail "the sequence 3-7 ended with status $status: $out"
first=$(steps "$out")
seeds=$(grep -o 'seed [0-9]*' <<<"$first" | tr '\n' ' ')
[[ $seeds == "seed 3 seed 4 seed 5 seed 6 seed 7 " ]] || fail "seeds run: '$seeds'"
run VRAX_SCHED_SEEDS=3-7
[[ "$(steps "$out")" == "$first" ]] || fail "the same sequence took other orders"
# Five seeds that all took one order would mean the seed is not used.
orders=$(awk '{ print $NF }' <<<"$first" | sort -u | wc -l)
[[ $orders -ge 2 ]] || fail "five seeds took $orders order"

# A failure under seed 5 ends the process there, names the range that replays it, and that
# range takes the same orders again.
run VRAX_SEED_PROBE_FAIL=5 VRAX_SCHED_SEEDS=3-7
[[ $status -eq 1 ]] || fail "a failure under seed 5 ended with status $status"
grep -q 'seed 5 of a sequence; replay: VRAX_SCHED_SEEDS=3-5 ' <<<"$out" || fail "no replay: $out"
failed=$(steps "$out")
[[ "$failed" == "$(head -n 3 <<<"$first")" ]] || fail "the sequence went on past seed 5: $failed"
run VRAX_SEED_PROBE_FAIL=5 VRAX_SCHED_SEEDS=3-5
[[ $status -eq 1 && "$(steps "$out")" == "$failed" ]] || fail "the replay took other orders"

# Ranges that are not FIRST-LAST, and both variables at once, are refused before any test.
for bad in 7-3 3 x-4 3- -3 1-2000000; do
  run VRAX_SCHED_SEEDS=$bad
  [[ $status -eq 2 ]] || fail "VRAX_SCHED_SEEDS=$bad ended with status $status"
  grep -q "is not a range of seeds" <<<"$out" || fail "VRAX_SCHED_SEEDS=$bad: $out"
done
run VRAX_SCHED_SEED=1 VRAX_SCHED_SEEDS=1-2
[[ $status -eq 2 ]] || fail "both variables set ended with status $status"
grep -q "are both set" <<<"$out" || fail "both variables set: $out"
echo "seed sequences: all checks passed"
