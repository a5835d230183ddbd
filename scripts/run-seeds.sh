#!/usr/bin/env bash
# Runs tests under the scheduler's deterministic mode, and stops at the first failing seed with
# the command that replays it. Each test process runs a sequence of seeds (VRAX_SCHED_SEEDS, see
# tests/support/test_main.cpp), BATCH of them, which spares a process start per seed; -b 1
# runs every seed in a process of its own (VRAX_SCHED_SEED), as the sweeps of seeds 1-2370
# did. A seed in a sequence takes another order than the same seed alone, since the threads
# the platform keeps for the life of a process are there from the first run on.
#
# usage: scripts/run-seeds.sh [options] FILTER N   the tests a gtest filter names, N seeds each
#        scripts/run-seeds.sh [options] --sweep N  every race-prone scenario below, N seeds each
#        scripts/run-seeds.sh [options] --ci       the bounded sweep CI runs (--sweep 200)
# options:
#   -p PRESET  the build to use (default: "default"; "asan" works too)
#   -j JOBS    test processes run at once (default: 2)
#   -f FIRST   the first seed (default: 1), so that later runs can go on where one stopped
#   -b BATCH   seeds run in one process (default: 50)
# FILTER is a gtest filter: Suite.Name, Suite.*, several joined by ':', negatives after '-'.
# The test binaries must be built already (cmake --build --preset PRESET). At the end each
# scenario's line gives its tests, seeds and runs; the exit status is 1 after a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

# The race-prone scenarios: name, then the gtest filter of the tests that force each order.
scenarios=(
  "cancel-against-answer-and-time-out" "*CancelRace.*:IoctlMachine.ACancel*:IoctlMachine.*TakeBack*:IoctlMachine.TheValueAndServiceTwoQueriesWaitForACancelRoutineNotYetRun"
  "cancel-against-port-loss-power-down-removal" "*StopRace.*:IoctlMachine.APortLossCancelsAWaitingControl:IoctlMachine.APowerDownCancelsAWaitingControl"
  "purge-against-outcome" "*PurgeRace.*"
  "program-and-thread-exit-cancels" "IoctlMachine.CancelIo*:IoctlMachine.TheIssuingThreadsExitCancelsItsControl:IoctlMachine.AProgramsExitCancelsItsControlAndFreesTheQueue:IoctlMachine.AThreadsExitAfterItsHandleWasClosedCancelsTheControl:IoctlMachine.ClosingTheHandleLeavesAWaitingControlToItsTimeOut"
  "clean-up-against-delivery-and-write-against-close" "CompletionOrder.*:Port.WritesRacingACloseFailOrGoThroughButNeverTouchAGoneTarget"
  "port-loss-during-a-client-id" "KernelClientPortLoss.*"
  "far-end-sends-from-several-threads" "ChannelIo.QueueHooksRunInTheOrderTheReaderGetsTheChunks"
)
ci_seeds=200

usage() {
  sed -n '9,19p' "$0" >&2
  exit 2
}

preset=default
jobs=2
first=1
batch=50
mode=filter
args=()
names=()
filters=()
while [[ $# -gt 0 ]]; do
  case $1 in
    -p | -j | -f | -b)
      [[ $# -ge 2 ]] || usage
      case $1 in -p) preset=$2 ;; -j) jobs=$2 ;; -f) first=$2 ;; -b) batch=$2 ;; esac
      shift 2
      ;;
    --sweep) mode=sweep; shift ;;
    --ci) mode=ci; shift ;;
    -*) usage ;;
    *) args+=("$1"); shift ;;
  esac
done
case $mode in
  ci)
    [[ ${#args[@]} -eq 0 ]] || usage
    seeds=$ci_seeds
    ;;
  sweep)
    [[ ${#args[@]} -eq 1 ]] || usage
    seeds=${args[0]}
    ;;
  *)
    [[ ${#args[@]} -eq 2 ]] || usage
    seeds=${args[1]}
    names=("${args[0]}")
    filters=("${args[0]}")
    ;;
esac
if [[ ${#names[@]} -eq 0 ]]; then
  for ((i = 0; i < ${#scenarios[@]}; i += 2)); do
    names+=("${scenarios[i]}")
    filters+=("${scenarios[i + 1]}")
  done
fi
for n in "$seeds" "$jobs" "$first" "$batch"; do
  [[ "$n" =~ ^[0-9]+$ && "$n" -ge 1 ]] || usage
done
build=build/$preset
[[ -d "$build" ]] || { echo "$build does not exist: build it first" >&2; exit 2; }

# CTest knows every test as Suite.Name and the binary that holds it.
catalogue=$(ctest --test-dir "$build" -N -V 2>/dev/null |
  sed -n 's/^[0-9]*: Test command: \([^ ]*\) "--gtest_filter=\([^"]*\)".*/\1 \2/p')

# The tests (binary and name, one a line) a gtest filter matches.
tests_of() {
  python3 -c '
import fnmatch, sys
positive, _, negative = sys.argv[1].partition("-")
def any_match(name, pats):
    return any(fnmatch.fnmatchcase(name, p) for p in pats.split(":") if p)
for line in sys.stdin:
    binary, name = line.split()
    if any_match(name, positive) and not any_match(name, negative):
        print(binary, name)
' "$1" <<<"$catalogue"
}

# One test under the seeds FROM to TO, in one process (or a process a seed with -b 1); on
# failure prints the end of its output, which names the failing seed and how to replay it,
# and exits 255 so that xargs starts nothing more.
run_one() {
  local from=$1 to=$2 bin=$3 name=$4 log status=0
  log=$(mktemp)
  if [[ $RUN_SEEDS_BATCH -eq 1 ]]; then
    VRAX_SCHED_SEED=$from timeout 300 "$bin" --gtest_filter="$name" >"$log" 2>&1 || status=$?
  else
    VRAX_SCHED_SEEDS=$from-$to timeout $((300 + 10 * (to - from))) "$bin" \
      --gtest_filter="$name" >"$log" 2>&1 || status=$?
  fi
  if [[ $status -eq 0 ]]; then
    rm -f "$log"
    return 0
  fi
  tail -n 60 "$log"
  rm -f "$log"
  printf '\nFAILED: %s under seeds %s..%s (exit status %s); the replay command is above\n' \
    "$name" "$from" "$to" "$status"
  exit 255
}
export -f run_one
export RUN_SEEDS_BATCH=$batch

last=$((first + seeds - 1))
status=0
summary=()
start=$(date +%s)
for ((i = 0; i < ${#names[@]}; ++i)); do
  mapfile -t tests < <(tests_of "${filters[i]}")
  if [[ ${#tests[@]} -eq 0 || -z "${tests[0]}" ]]; then
    echo "no test in $build matches '${filters[i]}'" >&2
    exit 2
  fi
  began=$(date +%s)
  echo "${names[i]}: ${#tests[@]} tests, seeds $first..$last"
  if ! for ((from = first; from <= last; from += batch)); do
    to=$((from + batch - 1 < last ? from + batch - 1 : last))
    printf "$from $to %s\n" "${tests[@]}"
  done | xargs -P "$jobs" -L 1 bash -c 'run_one "$@"' run_one; then
    status=1
    summary+=("${names[i]}: FAILED (see above)")
    break
  fi
  summary+=("${names[i]}: ${#tests[@]} tests x $seeds seeds ($first..$last) = $((${#tests[@]} * seeds)) runs, no failure, $(($(date +%s) - began)) s")
done
echo
printf '%s\n' "${summary[@]}"
echo "seed runs took $(($(date +%s) - start)) s"
exit $status
