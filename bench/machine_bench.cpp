// The machine the SMD-side fuzz harness runs per input: VRAX and the simulated SMD driver
// booted, port 0 opened at both ends and announced, a message each way, then everything taken
// down with the verifier's final check; and, on a machine booted once, one frame round trip
// (the driver writes a service message, the far end takes it and hands it back as the next
// read, and the driver's read path settles). Both are reported against a plain std::thread
// round trip in the same process (counters x_handoff and x_handoff_cpu, see bench_baseline.h).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include <ntddk.h>

#include "bench_baseline.h"
#include "settle.h"
#include "core/scheduler.h"
#include "machine/machine.h"
#include "protocol/routing.h"
#include "smd/far_end.h"
#include "smd/install.h"

namespace {

namespace far_end = smd::far_end;
using bytes = std::vector<std::uint8_t>;

std::unique_ptr<sim::machine> bring_up(benchmark::State& state) {
    far_end::reset();
    sim::machine_options options;
    options.trace_level = 0;
    auto m = std::make_unique<sim::machine>(options);
    if (far_end::open_channel(0) != STATUS_SUCCESS || smd::install() != STATUS_SUCCESS ||
        m->boot() != STATUS_SUCCESS) {
        state.SkipWithError("the machine did not boot");
        return m;
    }
    if (!far_end::next_frame(0, far_end::deadline_in_ms(5000)))
        state.SkipWithError("port 0 was not announced");
    return m;
}

void take_down(benchmark::State& state, std::unique_ptr<sim::machine> m) {
    if (!NT_SUCCESS(m->remove_device()))
        m->surprise_remove();
    far_end::reset();
    if (smd::installed())
        smd::uninstall();
    if (!m->shutdown().empty())
        state.SkipWithError("the final check found something");
}

// One frame each way: the driver sends a service message, the far end takes it and hands it
// back as the driver's next read.
bool round_trip(benchmark::State& state) {
    bytes buffer(6 + 8, 0x5A);
    if (SendServiceMessage(0, 1, 1, buffer.data() + 6, 8) != 0) {
        state.SkipWithError("SendServiceMessage failed");
        return false;
    }
    auto frame = far_end::next_frame(0, far_end::deadline_in_ms(1000));
    if (!frame) {
        state.SkipWithError("the frame never reached the far end");
        return false;
    }
    if (far_end::queue_read(0, std::move(*frame)) != STATUS_SUCCESS) {
        state.SkipWithError("queue_read failed");
        return false;
    }
    bench::settle();
    return true;
}

void boot_use_shutdown(benchmark::State& state) {
    bench::meter clock;
    for (auto _ : state) {
        clock.start();
        auto m = bring_up(state);
        bool ok = round_trip(state);
        take_down(state, std::move(m));
        clock.stop();
        if (!ok)
            break;
    }
    bench::report(state, clock);
}
BENCHMARK(boot_use_shutdown)->UseRealTime()->Unit(benchmark::kMillisecond);

void frame_round_trip(benchmark::State& state) {
    auto m = bring_up(state);
    bench::meter clock;
    for (auto _ : state) {
        clock.start();
        bool ok = round_trip(state);
        clock.stop();
        if (!ok)
            break;
    }
    take_down(state, std::move(m));
    bench::report(state, clock);
}
BENCHMARK(frame_round_trip)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    platform::scheduler::get().adopt_current_thread("bench");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    bench::measure_baseline();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
