// The yardstick every benchmark here is measured against, in the same process: a round trip
// between two plain std::threads through a mutex and a condition variable (one wake-up and one
// context switch each way), the least any hand-off between two platform threads can cost.
//
// Each benchmark reports, per iteration, against one such round trip:
//   x_handoff      real time
//   x_handoff_cpu  CPU time of the whole process (every thread), which a busy machine
//                  inflates far less than real time
// and, as a plain count, switches: the process's voluntary context switches per iteration.
#pragma once

#include <benchmark/benchmark.h>

namespace bench {

// Accumulates real time, process CPU time and voluntary context switches over the timed
// parts of a benchmark's loop.
class meter {
  public:
    void start();
    void stop();
    double seconds = 0;
    double cpu_seconds = 0;
    double switches = 0;

  private:
    double start_seconds_ = 0, start_cpu_ = 0, start_switches_ = 0;
};

// Sets the counters above from what `m` measured over the benchmark's iterations.
void report(benchmark::State& state, const meter& m);

// Measures the std::thread round trip (once, at the first call).
void measure_baseline();

}  // namespace bench
