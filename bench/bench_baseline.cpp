#include "bench_baseline.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace bench {
namespace {

struct usage {
    double seconds, cpu_seconds, switches;
};

usage now() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    auto tv = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
    return {
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(),
        tv(r.ru_utime) + tv(r.ru_stime), static_cast<double>(r.ru_nvcsw)};
}

// Per round trip: real seconds and CPU seconds.
usage measure_round_trips(int rounds) {
    std::mutex m;
    std::condition_variable cv;
    int turn = 0;  // even: the main thread's turn, odd: the partner's
    std::thread partner([&] {
        std::unique_lock lk(m);
        for (int i = 0; i < rounds; ++i) {
            cv.wait(lk, [&] { return turn % 2 == 1; });
            ++turn;
            cv.notify_one();
        }
    });
    const usage before = now();
    {
        std::unique_lock lk(m);
        for (int i = 0; i < rounds; ++i) {
            ++turn;
            cv.notify_one();
            cv.wait(lk, [&] { return turn % 2 == 0; });
        }
    }
    const usage after = now();
    partner.join();
    return {(after.seconds - before.seconds) / rounds,
            (after.cpu_seconds - before.cpu_seconds) / rounds, 0};
}

const usage& baseline() {
    // The best of a few runs: the machine is shared, and the baseline should not be inflated
    // by a neighbour's burst.
    static const usage best = [] {
        usage b = measure_round_trips(2000);
        for (int i = 0; i < 4; ++i) {
            usage u = measure_round_trips(2000);
            b.seconds = std::min(b.seconds, u.seconds);
            b.cpu_seconds = std::min(b.cpu_seconds, u.cpu_seconds);
        }
        return b;
    }();
    return best;
}

}  // namespace

void meter::start() {
    const usage u = now();
    start_seconds_ = u.seconds;
    start_cpu_ = u.cpu_seconds;
    start_switches_ = u.switches;
}

void meter::stop() {
    const usage u = now();
    seconds += u.seconds - start_seconds_;
    cpu_seconds += u.cpu_seconds - start_cpu_;
    switches += u.switches - start_switches_;
}

void measure_baseline() {
    (void)baseline();
}

void report(benchmark::State& state, const meter& m) {
    const double n =
        static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    state.counters["x_handoff"] = m.seconds / n / baseline().seconds;
    state.counters["x_handoff_cpu"] = m.cpu_seconds / n / baseline().cpu_seconds;
    state.counters["switches"] = m.switches / n;
}

}  // namespace bench
