#!/usr/bin/env bash
# Builds the libFuzzer harnesses (preset "fuzz": clang, ASan+UBSan) and runs each one, one at
# a time, for the given number of seconds (default 60) from its seed corpus. Any finding (a
# crash, a sanitizer report, a failed expectation, a leak) fails the run; the reproducer is
# left in build/fuzz/findings/<harness>/.
# usage: scripts/run-fuzz.sh [seconds] [harness ...]
# Environment: VRAX_FUZZ_WORK, the directory whose <harness>/ subdirectories keep the corpora
# grown while fuzzing (default build/fuzz/corpus); VRAX_FUZZ_FORK=N runs N fuzzing processes
# per harness (libFuzzer's fork mode) instead of one.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  harnesses=()
  for dir in fuzz/corpus/*/; do
    harnesses+=("$(basename "$dir")")
  done
fi

cmake --preset fuzz >/dev/null
targets=()
for h in "${harnesses[@]}"; do targets+=("fuzz_$h"); done
cmake --build --preset fuzz --target "${targets[@]}"

status=0
for h in "${harnesses[@]}"; do
  bin=build/fuzz/fuzz/fuzz_$h
  work=${VRAX_FUZZ_WORK:-build/fuzz/corpus}/$h   # grows while fuzzing; the committed seeds stay

  findings=build/fuzz/findings/$h
  mkdir -p "$work" "$findings"
  log=build/fuzz/findings/$h.log
  extra=()
  case $h in
    # These run the whole driver on a machine kept across a batch of inputs: memory the machine
    # holds between inputs is no leak, and the driver's pool, handles and objects are checked
    # by the platform's final check at the end of each batch. libFuzzer's per-input leak check
    # would re-run nearly every input (on the same machine) for nothing.
    control|session|ioctl|smd) extra=(-detect_leaks=0) ;;
    # The demultiplexer's harness checks after every input that the driver's pool holds no
    # routing allocation, which a heap leak check cannot see (the pool keeps track of every
    # block); the heap leak check cost it nine tenths of its speed.
    demux) extra=(-detect_leaks=0) ;;
  esac
  if [ "${VRAX_FUZZ_FORK:-1}" -gt 1 ]; then
    extra+=(-fork="$VRAX_FUZZ_FORK" -ignore_crashes=0)
  fi
  echo "fuzz: $h for ${seconds}s"
  if "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 ${extra[@]+"${extra[@]}"} \
      -print_final_stats=1 -artifact_prefix="$findings/" "$work" "fuzz/corpus/$h" >"$log" 2>&1; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
    # Fork mode prints no final stats of its own: its last status line counts every process.
    [ -n "$runs" ] || runs=$(grep -oE '^#[0-9]+' "$log" | tail -1 | tr -d '#' || true)
    echo "fuzz: $h clean, ${runs:-?} executions"
  else
    echo "fuzz: $h FOUND A PROBLEM (log $log, reproducer in $findings/)"
    case $h in
      control|session|ioctl)
        echo "fuzz: $h runs inputs in batches on one machine; replay the reproducer alone with" \
             "VRAX_FUZZ_BATCH=1 (and VRAX_FUZZ_TRACE=1 for the driver's trace)" ;;
      smd)
        echo "fuzz: $h runs inputs in batches on one machine; replay the reproducer alone with" \
             "VRAX_FUZZ_BATCH=1" ;;
    esac
    tail -30 "$log"
    status=1
  fi
done
exit $status
