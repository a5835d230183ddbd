// VRAX side by side with the direct channel, in one process on one machine: each iteration
// does the same exchange once through VRAX (a program's session on port 0) and once through
// the direct channel (a program's own handle of SMD port 5, the same frames without VRAX),
// in alternating order, and each is timed until the machine has settled (every thread
// blocked), so work done after the program's read completed is counted where it belongs.
//
// Counters (ratios, never absolute times):
//   x_direct, x_direct_cpu    VRAX over direct, real time and the whole process's CPU time
//   x_unicasts(_cpu)          broadcast: one broadcast to N sessions over N unicasts
//   x_round_trip(_cpu)        client id: one allocation over one round trip on a session
//   switches_<side>           voluntary context switches per operation of each side
//   cpu_<side>                process CPU seconds per operation, only for ratios between runs
// scripts/run-bench.sh turns them into bench/results/*.json and the plot; the scaling figure
// (1,000 sessions against one) is x_direct at N over x_direct at 1.
#include <benchmark/benchmark.h>

#include <vrax/vrax_ioctl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_baseline.h"
#include "bench_world.h"
#include "core/scheduler.h"

namespace {

using bench::bytes;

bench::world* the_world = nullptr;
bench::direct_channel* the_direct = nullptr;

// Sessions bound to services 1..4 in turn of 250, the first with a client id (it receives
// the frames): kept across runs of the scaling benchmarks, trimmed or grown to the count a
// run asks for. The others hold no id, which keeps their set-up and clean-up (a grant and a
// release each) affordable at 1,000; every delivery still walks all of them.
std::vector<std::unique_ptr<bench::session>> pool;

bool pool_of(benchmark::State& state, std::size_t n) {
    while (pool.size() > n)
        pool.pop_back();
    while (pool.size() < n) {
        const auto service = static_cast<std::uint8_t>(1 + pool.size() / bench::ids_per_service);
        auto s = the_world->open_session(service, pool.empty());
        if (!s) {
            state.SkipWithError(the_world->problem().c_str());
            return false;
        }
        pool.push_back(std::move(s));
    }
    return true;
}

double per(const benchmark::State& state) {
    return static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
}

// Sets `name` (and `name`_cpu) to a over b, and per side (`sa`, `sb`) the switches and the
// process CPU seconds per operation; the latter only for ratios between runs of this process
// (N sessions against one), never read as a figure of their own.
void report_pair(benchmark::State& state, const bench::meter& a, const bench::meter& b,
                 const char* name, const std::string& sa = "vrax",
                 const std::string& sb = "direct") {
    state.counters[name] = a.seconds / b.seconds;
    state.counters[std::string(name) + "_cpu"] = a.cpu_seconds / b.cpu_seconds;
    state.counters["switches_" + sa] = a.switches / per(state);
    state.counters["switches_" + sb] = b.switches / per(state);
    state.counters["cpu_" + sa] = a.cpu_seconds / per(state);
    state.counters["cpu_" + sb] = b.cpu_seconds / per(state);
}

// One frame from the modem to a program with a read waiting for it.
bool unicast(bench::handle_io& reader, unsigned port, bytes frame) {
    if (!reader.start_read() || !bench::from_modem(port, std::move(frame)))
        return false;
    const bool ok = reader.finish_read().has_value();
    bench::settle();
    return ok;
}

// A request written and its answer read.
bool round_trip(bench::handle_io& io, const bytes& request) {
    if (!io.start_read() || !io.write(request))
        return false;
    const bool ok = io.finish_read().has_value();
    bench::settle();
    return ok;
}

// Runs `vrax` and `direct` once per iteration, in alternating order, each under its meter.
template <typename V, typename D>
void side_by_side(benchmark::State& state, V vrax, D direct, const char* name = "x_direct") {
    bench::meter mv, md;
    bool first_vrax = true;
    for (auto _ : state) {
        for (int k = 0; k < 2; ++k) {
            const bool now_vrax = (k == 0) == first_vrax;
            bench::meter& m = now_vrax ? mv : md;
            m.start();
            const bool ok = now_vrax ? vrax() : direct();
            m.stop();
            if (!ok) {
                state.SkipWithError(now_vrax ? "the VRAX exchange failed"
                                             : "the direct exchange failed");
                return;
            }
        }
        first_vrax = !first_vrax;
    }
    report_pair(state, mv, md, name);
}

// ---- Unicast and round trip, at 1..1,000 sessions ----------------------------------------------

// The frame goes to the oldest session, the last its service's id list is searched for.
void unicast_frame(benchmark::State& state) {
    if (!pool_of(state, static_cast<std::size_t>(state.range(0))))
        return;
    bench::session& s = *pool.front();
    const bytes to_vrax = bench::indication_frame(s.service, s.id);
    const bytes to_direct = bench::indication_frame(s.service, s.id);
    side_by_side(
        state, [&] { return unicast(*s.io, 0, to_vrax); },
        [&] { return unicast(the_direct->io(), bench::direct_port, to_direct); });
}
// An operation at 1,000 sessions costs the platform a walk of some 3,000 threads per wake
// (see the README), so those runs get a longer minimum time to make more than one sample.
BENCHMARK(unicast_frame)->ArgName("sessions")->Arg(1)->Arg(10)->Arg(100)->UseRealTime();
BENCHMARK(unicast_frame)->ArgName("sessions")->Arg(1000)->MinTime(3)->UseRealTime();

void round_trip(benchmark::State& state) {
    if (!pool_of(state, static_cast<std::size_t>(state.range(0))))
        return;
    bench::session& s = *pool.front();
    std::uint16_t txn = 0;
    side_by_side(
        state, [&] { return round_trip(*s.io, bench::service_request(++txn)); },
        [&] {
            return round_trip(the_direct->io(), bench::framed_request(s.service, s.id, ++txn));
        });
}
// Largest first: the sessions of the unicast runs are kept and shed one by one.
BENCHMARK(round_trip)->ArgName("sessions")->Arg(1000)->MinTime(3)->UseRealTime();
BENCHMARK(round_trip)->ArgName("sessions")->Arg(100)->Arg(10)->Arg(1)->UseRealTime();

// ---- Broadcast to N sessions against N unicasts ------------------------------------------------

void broadcast(benchmark::State& state) {
    pool.clear();
    const auto n = static_cast<std::size_t>(state.range(0));
    std::vector<std::unique_ptr<bench::session>> sessions;
    for (std::size_t i = 0; i < n; ++i) {
        auto s = the_world->open_session(1, true);
        if (!s) {
            state.SkipWithError(the_world->problem().c_str());
            return;
        }
        sessions.push_back(std::move(s));
    }
    const bytes everyone = bench::indication_frame(1, 0xFF);
    std::vector<bytes> each;
    for (auto& s : sessions)
        each.push_back(bench::indication_frame(1, s->id));
    auto arm = [&] {
        for (auto& s : sessions) {
            if (!s->io->start_read())
                return false;
        }
        return true;
    };
    auto collect = [&] {
        bool ok = true;
        for (auto& s : sessions)
            ok = s->io->finish_read().has_value() && ok;
        bench::settle();
        return ok;
    };
    bench::meter mb, mu;
    bool first_broadcast = true;
    for (auto _ : state) {
        for (int k = 0; k < 2; ++k) {
            const bool now_broadcast = (k == 0) == first_broadcast;
            if (!arm()) {
                state.SkipWithError("a read failed to start");
                return;
            }
            bench::meter& m = now_broadcast ? mb : mu;
            m.start();
            bool ok = true;
            if (now_broadcast) {
                ok = bench::from_modem(0, everyone);
            } else {
                for (const bytes& f : each)
                    ok = bench::from_modem(0, f) && ok;
            }
            ok = collect() && ok;
            m.stop();
            if (!ok) {
                state.SkipWithError("a frame was not delivered");
                return;
            }
        }
        first_broadcast = !first_broadcast;
    }
    report_pair(state, mb, mu, "x_unicasts", "broadcast", "unicasts");
}
BENCHMARK(broadcast)->ArgName("sessions")->Arg(1)->Arg(10)->Arg(100)->Arg(250)->UseRealTime();

// ---- Client-id allocation against one round trip -----------------------------------------------

// Each iteration opens a session bound to a service, allocates its client id and makes one
// round trip on it, then closes it, untimed. A session's clean-up releases its current id
// only, so a session that allocated several would leave the others held by the modem, whose
// ids would run out after a few hundred iterations.
void client_id(benchmark::State& state) {
    pool.clear();
    std::uint16_t txn = 0;
    bench::meter ma, mr;
    for (auto _ : state) {
        std::unique_ptr<bench::session> s = the_world->open_session(1, false);
        if (!s) {
            state.SkipWithError(the_world->problem().c_str());
            return;
        }
        ma.start();
        const bool allocated = the_world->get_client_id(*s) != 0;
        bench::settle();
        ma.stop();
        mr.start();
        const bool answered = round_trip(*s->io, bench::service_request(++txn));
        mr.stop();
        s.reset();
        bench::settle();
        if (!allocated || !answered) {
            state.SkipWithError(allocated ? "the round trip failed" : "no client id");
            return;
        }
    }
    report_pair(state, ma, mr, "x_round_trip", "allocation", "round_trip");
}
BENCHMARK(client_id)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    platform::scheduler::get().adopt_current_thread("bench");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    bench::world w;
    if (!w.ok()) {
        std::fprintf(stderr, "bench_vrax: %s\n", w.problem().c_str());
        return 1;
    }
    int rc = 0;
    {
        bench::direct_channel d;
        if (!d.ok()) {
            std::fprintf(stderr, "bench_vrax: the direct channel did not open\n");
            return 1;
        }
        the_world = &w;
        the_direct = &d;
        benchmark::RunSpecifiedBenchmarks();
        pool.clear();
        the_direct = nullptr;
    }
    for (const auto& line : w.take_down()) {
        std::fprintf(stderr, "bench_vrax: final check: %s\n", line.c_str());
        rc = 1;
    }
    the_world = nullptr;
    benchmark::Shutdown();
    return rc;
}
