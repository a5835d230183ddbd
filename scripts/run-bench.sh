#!/usr/bin/env bash
# Builds the benchmarks (preset "default") and runs them, printing every figure as a ratio:
#   - bench_scheduler, bench_machine: against a std::thread round trip measured in the same
#     process, and the scheduler's targeted wake-ups against waking every blocked thread;
#   - bench_vrax: VRAX against the direct channel (a program's own handle of another SMD
#     port) in the same run, at 1 to 1,000 sessions, broadcast against unicasts, client-id
#     allocation against a round trip;
#   - bench_instructions under callgrind in the scheduler's deterministic mode: instructions
#     per unicast frame and per round trip, VRAX and direct (skipped when valgrind is missing).
# Writes bench/results/<UTC time>-<commit>.json and bench/results/latest.json, and draws
# docs/bench-ratios.svg from it (scripts/plot-bench.sh).
#
# usage: scripts/run-bench.sh [--quick] [--report-only] [benchmark arguments...]
#   --quick        shorter runs (0.05 s per benchmark, 50 frames under callgrind)
#   --report-only  no build and no run: the result and the plot from the last run's output
set -euo pipefail
cd "$(dirname "$0")/.."
min_time=0.5
frames=200
run=1
if [ "${1:-}" = "--quick" ]; then
  shift
  min_time=0.05
  frames=50
fi
if [ "${1:-}" = "--report-only" ]; then
  shift
  run=0
fi
out=build/default/bench
if [ "$run" = 1 ]; then
  scripts/install-deps.sh
  cmake --preset default >/dev/null
  cmake --build --preset default --target bench_scheduler bench_machine bench_vrax bench_instructions
  for b in bench_scheduler bench_machine bench_vrax; do
    echo "run-bench: $b" >&2
    "$out/$b" --benchmark_min_time="$min_time" --benchmark_format=json \
      --benchmark_out="$out/$b.json" --benchmark_out_format=json "$@" >/dev/null
  done

  rm -f "$out"/callgrind.out.*
  if command -v valgrind >/dev/null; then
    echo "run-bench: bench_instructions under callgrind ($frames frames each)" >&2
    # Valgrind (3.19) cannot read the DWARF 5 clang writes and gives up; the counts need no
    # debug information, so callgrind runs a copy without it.
    objcopy --strip-debug "$out/bench_instructions" "$out/bench_instructions.nodebug"
    VRAX_SCHED_SEED=1 valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out.%p" \
      "$out/bench_instructions.nodebug" "$frames" >/dev/null 2>"$out/callgrind.log" ||
      { echo "run-bench: bench_instructions failed, see $out/callgrind.log" >&2; exit 1; }
    echo "$frames" >"$out/callgrind.frames"
  fi
fi
frames=$(cat "$out/callgrind.frames" 2>/dev/null || echo "$frames")

mkdir -p bench/results
commit=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
stamp=$(date -u +%Y%m%dT%H%M%SZ)
result="bench/results/$stamp-$commit.json"
python3 - "$out" "$result" "$commit" "$frames" <<'PY'
import glob, json, os, re, sys
out, result, commit, frames = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])

def load(name):
    path = os.path.join(out, name + ".json")
    doc = json.load(open(path))
    return doc["context"], {b["name"]: b for b in doc["benchmarks"]}

context, vrax = load("bench_vrax")
_, sched = load("bench_scheduler")
_, mach = load("bench_machine")

def get(name, counter):
    # "x/sessions:N/real_time" also matches "x/sessions:N/min_time:3.000/real_time".
    b = vrax.get(name)
    if b is None:
        head = name[: -len("real_time")]
        b = next((v for k, v in vrax.items() if k.startswith(head) and k.endswith("real_time")),
                 None)
    return None if b is None or "error_occurred" in b else b.get(counter)

ratios = {}
for kind in ("unicast_frame", "round_trip"):
    base = get(f"{kind}/sessions:1/real_time", "x_direct")
    base_cpu = get(f"{kind}/sessions:1/real_time", "x_direct_cpu")
    for n in (1, 10, 100, 1000):
        name = f"{kind}/sessions:{n}/real_time"
        r, c = get(name, "x_direct"), get(name, "x_direct_cpu")
        ratios[f"{kind} vrax/direct, {n} sessions"] = {"real": r, "cpu": c}
        if n > 1 and r and base:
            ratios[f"{kind} vrax/direct, {n} sessions/1 session"] = {
                "real": r / base, "cpu": c / base_cpu}
            # Each side's own growth (CPU time per operation): the direct channel's shows what
            # the platform adds per session (its threads), not VRAX.
            one = f"{kind}/sessions:1/real_time"
            for side in ("vrax", "direct"):
                a, b = get(name, f"cpu_{side}"), get(one, f"cpu_{side}")
                if a and b:
                    ratios[f"{kind} {side}, {n} sessions/1 session"] = {"real": None, "cpu": a / b}
for n in (1, 10, 100, 250):
    name = f"broadcast/sessions:{n}/real_time"
    ratios[f"broadcast/{n} unicasts, {n} sessions"] = {
        "real": get(name, "x_unicasts"), "cpu": get(name, "x_unicasts_cpu")}
ratios["client-id allocation/round trip"] = {
    "real": get("client_id/real_time", "x_round_trip"),
    "cpu": get("client_id/real_time", "x_round_trip_cpu")}

# Callgrind dumps: one per measured loop, named by the client request that made it; each
# operation's loop runs twice (x1: `frames` times, x2: twice that), and the difference counts.
dumps = {}
for path in sorted(glob.glob(os.path.join(out, "callgrind.out.*"))):
    name, total = None, None
    for line in open(path, errors="replace"):
        m = re.match(r"desc: Trigger: Client Request: (\S+)", line)
        if m:
            name = m.group(1)
        # "totals", the sum of the dumped costs; the "summary" of a first dump after a zeroing
        # can still hold costs from before it.
        m = re.match(r"totals: (\d+)", line)
        if m and total is None:
            total = int(m.group(1))
    if name and total is not None:
        dumps[name] = total
instructions = {}
for name, x1 in dumps.items():
    if name.endswith("-x1") and name[:-1] + "2" in dumps:
        instructions[name[:-3]] = round((dumps[name[:-1] + "2"] - x1) / frames)
for kind in ("unicast", "round-trip"):
    v, d = instructions.get(f"vrax-{kind}"), instructions.get(f"direct-{kind}")
    if v and d:
        ratios[f"{kind} instructions vrax/direct"] = {"real": v / d, "cpu": v / d}

doc = {
    "commit": commit,
    "date": context.get("date"),
    "machine": {
        "host": context.get("host_name"),
        "cpus": context.get("num_cpus"),
        "mhz_per_cpu": context.get("mhz_per_cpu"),
        "load_avg": context.get("load_avg"),
        "note": "ratios from one process; the machine may be shared, so real time is noisy",
    },
    "ratios": ratios,
    "instructions_per_operation": instructions,
    "instructions_mode": "callgrind, VRAX_SCHED_SEED=1",
    "scheduler_handoff": {n: b.get("x_handoff") for n, b in sched.items()},
    "machine_bench": {n: b.get("x_handoff") for n, b in mach.items()},
}
json.dump(doc, open(result, "w"), indent=1, sort_keys=False)
json.dump(doc, open(os.path.join(os.path.dirname(result), "latest.json"), "w"), indent=1,
          sort_keys=False)

print(f"{'benchmark':44} {'real x handoff':>15} {'cpu x handoff':>14} {'switches':>9}")
for b in list(sched.values()) + list(mach.values()):
    print(f"{b['name']:44} {b.get('x_handoff', float('nan')):15.2f} "
          f"{b.get('x_handoff_cpu', float('nan')):14.2f} {b.get('switches', float('nan')):9.1f}")
for n, b in sched.items():
    if n.startswith("hand_off/") and n.endswith("/broadcast:0/real_time"):
        other = sched.get(n.replace("/broadcast:0/", "/broadcast:1/"))
        if other:
            print(f"{n.split('/real_time')[0]:44} broadcast / targeted = "
                  f"{other['x_handoff'] / b['x_handoff']:.2f}")
print()

def f(v):
    return "   -" if v is None else f"{v:7.2f}"
print(f"{'ratio':48} {'real':>7} {'cpu':>7}")
for k, v in ratios.items():
    print(f"{k:48} {f(v['real'])} {f(v['cpu'])}")
for k, v in instructions.items():
    print(f"instructions per operation, {k:20} {v:>12}")
print(f"machine: {doc['machine']['cpus']} cpus, load {doc['machine']['load_avg']}")
print(f"written: {result}")
PY
scripts/plot-bench.sh bench/results/latest.json docs/bench-ratios.svg
