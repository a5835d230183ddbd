// The yardstick every benchmark here is measured against, in the same process: a round trip
// between two plain std::threads through a mutex and a condition variable (one wake-up and one
// context switch each way), the least any hand-off between two platform threads can cost.
#pragma once

#include <benchmark/benchmark.h>

namespace bench {

// Seconds per std::thread round trip, measured once (the first call) and then remembered.
double thread_round_trip_seconds();

// Sets counter "x_handoff" to the benchmark's time per iteration divided by one std::thread
// round trip, given the real seconds the timed loop took.
void report_ratio(benchmark::State& state, double seconds);

}  // namespace bench
