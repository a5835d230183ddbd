// Instructions per unicast frame and per round trip, VRAX and the direct channel, for
// callgrind: the machine boots, both paths are warmed up, then each measured loop runs
// between a zeroing and a dump of callgrind's counters (every thread's instructions count),
// so each dump holds exactly one loop, once of `frames` operations and once of twice as many:
//
//   valgrind --tool=callgrind --callgrind-out-file=out.%p bench_instructions [frames [sessions]]
//   dumps, in order: vrax-unicast-x1, vrax-unicast-x2, direct-unicast-x1, ... (round trips
//   last); instructions per operation = (x2 - x1) / frames
//
// scripts/run-bench.sh runs it in the scheduler's deterministic mode (VRAX_SCHED_SEED), so a
// count changes only when the code does. Outside valgrind the loops just run.
#include <valgrind/callgrind.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench_world.h"
#include "core/scheduler.h"

namespace {

bool unicast(bench::handle_io& reader, unsigned port, const bench::bytes& frame) {
    if (!reader.start_read() || !bench::from_modem(port, frame))
        return false;
    const bool ok = reader.finish_read().has_value();
    bench::settle();
    return ok;
}

bool round_trip(bench::handle_io& io, const bench::bytes& request) {
    if (!io.start_read() || !io.write(request))
        return false;
    const bool ok = io.finish_read().has_value();
    bench::settle();
    return ok;
}

template <typename F>
bool measured(const char* name, int frames, F once) {
    for (int i = 0; i < 20; ++i) {  // warm-up: pools, lazily created locks, caches
        if (!once())
            return false;
    }
    // Two loops, of `frames` and twice as many: their difference is `frames` operations
    // without whatever a dump or the zeroing itself costs.
    for (int loop = 1; loop <= 2; ++loop) {
        CALLGRIND_ZERO_STATS;
        for (int i = 0; i < loop * frames; ++i) {
            if (!once())
                return false;
        }
        // Named first: the macro keeps only the pointer, past the end of a temporary.
        const std::string dump = std::string(name) + "-x" + std::to_string(loop);
        CALLGRIND_DUMP_STATS_AT(dump.c_str());
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 200;
    const int sessions = argc > 2 ? std::atoi(argv[2]) : 1;
    if (frames <= 0 || sessions <= 0 ||
        sessions > static_cast<int>(bench::id_services * bench::ids_per_service)) {
        std::fprintf(stderr, "usage: bench_instructions [frames [sessions (1..1000)]]\n");
        return 2;
    }
    platform::scheduler::get().adopt_current_thread("bench");
    bool ok = false;
    bench::world w;
    if (!w.ok()) {
        std::fprintf(stderr, "bench_instructions: %s\n", w.problem().c_str());
        return 1;
    }
    {
        bench::direct_channel d;
        auto s = w.open_session(1, true);
        // Sessions beside the measured one, each with a client id, services 1..4 in turn.
        std::vector<std::unique_ptr<bench::session>> others;
        for (int i = 1; i < sessions && s; ++i) {
            others.push_back(w.open_session(
                static_cast<std::uint8_t>(1 + i / static_cast<int>(bench::ids_per_service)), true));
            if (!others.back())
                s.reset();
        }
        if (d.ok() && s) {
            const bench::bytes to_vrax = bench::indication_frame(s->service, s->id);
            std::uint16_t txn = 0;
            ok = measured("vrax-unicast", frames, [&] { return unicast(*s->io, 0, to_vrax); }) &&
                 measured("direct-unicast", frames,
                          [&] { return unicast(d.io(), bench::direct_port, to_vrax); }) &&
                 measured("vrax-round-trip", frames,
                          [&] { return round_trip(*s->io, bench::service_request(++txn)); }) &&
                 measured("direct-round-trip", frames, [&] {
                     return round_trip(d.io(), bench::framed_request(s->service, s->id, ++txn));
                 });
        }
    }
    const auto report = w.take_down();
    for (const auto& line : report)
        std::fprintf(stderr, "bench_instructions: final check: %s\n", line.c_str());
    if (!ok)
        std::fprintf(stderr, "bench_instructions: an exchange failed\n");
    std::printf("frames %d\n", frames);
    return ok && report.empty() ? 0 : 1;
}
