// The scheduler's hand-off between two threads while other threads sit blocked on waits of
// their own (a booted machine has a dozen or so: PnP, DPCs, queue workers, service threads),
// with wake-ups targeted at the threads whose wait may be over and, as the baseline, with
// every blocked thread woken on each change.
#include <benchmark/benchmark.h>

#include <functional>
#include <memory>
#include <vector>

#include "bench_baseline.h"
#include "core/scheduler.h"

namespace {

using platform::scheduler;

void hand_off(benchmark::State& state) {
    auto& s = scheduler::get();
    const auto idle = static_cast<int>(state.range(0));
    s.set_broadcast_wakes(state.range(1) != 0);
    bool stop = false;  // guarded by the scheduler lock, as is `turn`
    int turn = 0;       // even: this thread's turn, odd: the partner's
    std::vector<std::shared_ptr<scheduler::joinable>> sleepers;
    for (int i = 0; i < idle; ++i) {
        sleepers.push_back(s.start_thread("idle", [&] {
            std::unique_lock lk(s.lock());
            std::function<bool()> stopped = [&] { return stop; };
            s.block(lk, stopped, platform::no_deadline, "the benchmark to end");
        }));
    }
    auto partner = s.start_thread("partner", [&] {
        std::unique_lock lk(s.lock());
        std::function<bool()> mine = [&] { return stop || turn % 2 == 1; };
        for (;;) {
            s.block(lk, mine, platform::no_deadline, "the partner's turn");
            if (stop)
                return;
            ++turn;
            s.wake();
        }
    });
    bench::meter clock;
    for (auto _ : state) {
        clock.start();
        std::unique_lock lk(s.lock());
        ++turn;
        s.wake();
        std::function<bool()> mine = [&] { return turn % 2 == 0; };
        s.block(lk, mine, platform::no_deadline, "the benchmark's turn");
        lk.unlock();
        clock.stop();
    }
    {
        std::lock_guard g(s.lock());
        stop = true;
        s.wake();
    }
    partner->join();
    for (auto& t : sleepers)
        t->join();
    s.set_broadcast_wakes(false);
    bench::report(state, clock);
}
BENCHMARK(hand_off)
    ->ArgNames({"idle", "broadcast"})
    ->ArgsProduct({{0, 4, 16}, {0, 1}})
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    scheduler::get().adopt_current_thread("bench");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    bench::measure_baseline();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
