#!/usr/bin/env bash
# Builds the benchmarks (preset "default") and runs each one, printing every figure as a ratio:
# against a std::thread round trip measured in the same process (real time and the whole
# process's CPU time), with voluntary context switches per iteration, and, for the
# scheduler's hand-off, targeted wake-ups against waking every blocked thread.
# usage: scripts/run-bench.sh [benchmark arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default --target bench_scheduler bench_machine
out=build/default/bench
for b in bench_scheduler bench_machine; do
  "$out/$b" --benchmark_format=json --benchmark_out="$out/$b.json" --benchmark_out_format=json \
    "$@" >/dev/null
done
python3 - "$out/bench_scheduler.json" "$out/bench_machine.json" <<'PY'
import json, sys
rows = []
for path in sys.argv[1:]:
    for b in json.load(open(path))["benchmarks"]:
        rows.append(b)
print(f"{'benchmark':44} {'real x handoff':>15} {'cpu x handoff':>14} {'switches':>9}")
for b in rows:
    print(f"{b['name']:44} {b.get('x_handoff', float('nan')):15.2f} "
          f"{b.get('x_handoff_cpu', float('nan')):14.2f} {b.get('switches', float('nan')):9.1f}")
by = {b["name"]: b for b in rows}
for b in rows:
    n = b["name"]
    if n.startswith("hand_off/") and n.endswith("/broadcast:0/real_time"):
        other = by.get(n.replace("/broadcast:0/", "/broadcast:1/"))
        if other:
            ratio = other["x_handoff"] / b["x_handoff"]
            print(f"{n.split('/real_time')[0]:44} broadcast / targeted = {ratio:.2f}")
PY
