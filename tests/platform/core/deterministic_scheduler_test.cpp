// The scheduler's deterministic mode: one thread runs at a time, the order is the seed's and
// the same every time, races show under some seeds and always under the same ones, and
// virtual time, pause points and the deadlock report work as in the concurrent mode.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <wdm.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <ostream>
#include <set>
#include <thread>
#include <vector>

#include "core/pause_points.h"
#include "core/scheduler.h"

using platform::sched_step;
using platform::scheduler;
using platform::ticks;
using platform::ticks_per_ms;

namespace platform {
// A failed comparison of two runs prints the steps readably.
inline void PrintTo(const sched_step& step, std::ostream* out) {
    *out << "(thread " << step.thread << ", " << step.point << ")";
}
}  // namespace platform

namespace {

// Switches the mode on for one scenario and back off at its end, even when it fails.
class deterministic_run {
  public:
    explicit deterministic_run(std::uint64_t seed, bool record = false) {
        scheduler::get().set_deterministic(seed, record);
    }
    ~deterministic_run() { scheduler::get().set_concurrent(); }
    deterministic_run(const deterministic_run&) = delete;
    deterministic_run& operator=(const deterministic_run&) = delete;
};

void join_all(std::vector<std::shared_ptr<scheduler::joinable>>& threads) {
    for (auto& t : threads) {
        t->join();
    }
}

// Three threads that each pass a few synchronisation points of different kinds.
std::vector<sched_step> mixed_scenario(std::uint64_t seed) {
    auto& s = scheduler::get();
    deterministic_run run(seed, true);
    volatile LONG counter = 0;
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    std::vector<std::shared_ptr<scheduler::joinable>> threads;
    for (int i = 0; i < 3; ++i) {
        threads.push_back(s.start_thread("worker", [&] {
            for (int step = 0; step < 4; ++step) {
                InterlockedIncrement(&counter);
                KeSetEvent(&ev, IO_NO_INCREMENT, FALSE);
                s.sync_point("scenario");
            }
        }));
    }
    join_all(threads);
    EXPECT_EQ(counter, 12);
    return s.trace();
}

TEST(DeterministicScheduler, TheSameSeedGivesTheSameRunStepForStep) {
    std::vector<sched_step> first = mixed_scenario(11);
    std::vector<sched_step> again = mixed_scenario(11);
    std::vector<sched_step> other = mixed_scenario(12);
    ASSERT_GT(first.size(), 36u);  // 3 threads x 4 rounds x 3 points, and starts and exits
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other);
    // The steps name the synchronisation points the run passed and the threads in turn.
    std::set<std::string> points;
    std::set<std::uint64_t> threads;
    for (const auto& step : first) {
        points.insert(step.point);
        threads.insert(step.thread);
    }
    for (const char* p : {"InterlockedIncrement", "KeSetEvent", "scenario", "thread-start",
                          "thread-exit", "wait"}) {
        EXPECT_TRUE(points.count(p)) << p;
    }
    EXPECT_GE(threads.size(), 4u);  // the test's thread and its three workers
}

TEST(DeterministicScheduler, ARunInASequenceNamesTheRangeThatReplaysIt) {
    auto& s = scheduler::get();
    s.set_deterministic_in_sequence(40, 44);
    EXPECT_EQ(s.seed(), 44u);
    EXPECT_THAT(scheduler::replay_note(),
                ::testing::MatchesRegex("deterministic scheduler, seed 44 of a sequence; replay: "
                                        "VRAX_SCHED_SEEDS=40-44 '.*core_test'.*"));
    // A seed set on its own afterwards is replayed on its own again.
    s.set_deterministic(5);
    EXPECT_THAT(scheduler::replay_note(),
                ::testing::MatchesRegex(
                    "deterministic scheduler, seed 5; replay: VRAX_SCHED_SEED=5 '.*core_test'.*"));
    s.set_concurrent();
    EXPECT_EQ(scheduler::replay_note(), "");
}

// Two threads add `rounds` each to a counter, reading it, passing a synchronisation point
// and writing it back: without the lock an update is lost whenever the other thread runs
// between the read and the write. Returns the final count.
long increments(std::uint64_t seed, bool locked, int rounds) {
    auto& s = scheduler::get();
    deterministic_run run(seed);
    long counter = 0;
    KEVENT lock;  // a synchronisation event as a lock: signalled while free
    KeInitializeEvent(&lock, SynchronizationEvent, TRUE);
    volatile LONG unrelated = 0;
    std::vector<std::shared_ptr<scheduler::joinable>> threads;
    for (int i = 0; i < 2; ++i) {
        threads.push_back(s.start_thread("adder", [&] {
            for (int r = 0; r < rounds; ++r) {
                if (locked) {
                    KeWaitForSingleObject(&lock, Executive, KernelMode, FALSE, nullptr);
                }
                long seen = counter;
                InterlockedIncrement(&unrelated);  // the window in which the other may run
                counter = seen + 1;
                if (locked) {
                    KeSetEvent(&lock, IO_NO_INCREMENT, FALSE);
                }
            }
        }));
    }
    join_all(threads);
    return counter;
}

TEST(DeterministicScheduler, TheOrderFingerprintTellsRunsApartAsTheirTracesDo) {
    auto& s = scheduler::get();
    // Kept with the trace (mixed_scenario records it), and without it when asked.
    std::vector<sched_step> first = mixed_scenario(11);
    const std::uint64_t steps = s.steps();
    const std::uint64_t fingerprint = s.order_fingerprint();
    EXPECT_EQ(steps, first.size());
    (void)mixed_scenario(11);
    EXPECT_EQ(s.order_fingerprint(), fingerprint);
    std::vector<sched_step> other = mixed_scenario(12);
    ASSERT_NE(other, first);
    EXPECT_NE(s.order_fingerprint(), fingerprint);

    s.keep_order_fingerprint(true);
    EXPECT_EQ(increments(11, true, 5), 10);
    const std::uint64_t untraced = s.order_fingerprint();
    EXPECT_EQ(increments(11, true, 5), 10);
    EXPECT_EQ(s.order_fingerprint(), untraced);
    EXPECT_NE(untraced, 0xCBF29CE484222325ULL);  // the hash's start: no step was hashed
    s.keep_order_fingerprint(false);
    EXPECT_EQ(increments(11, true, 5), 10);
    EXPECT_EQ(s.order_fingerprint(), 0xCBF29CE484222325ULL);
}

TEST(DeterministicScheduler, ALostUpdateShowsUnderSomeSeedsAndAlwaysUnderTheSameOnes) {
    constexpr int rounds = 3;
    std::set<std::uint64_t> losing;
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        long total = increments(seed, false, rounds);
        EXPECT_LE(total, 2 * rounds);
        if (total != 2 * rounds) {
            losing.insert(seed);
        }
    }
    EXPECT_FALSE(losing.empty()) << "no seed ran the other thread inside the window";
    EXPECT_LT(losing.size(), 40u) << "every seed lost an update";
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        EXPECT_EQ(increments(seed, false, rounds) != 2 * rounds, losing.count(seed) == 1)
            << "seed " << seed << " did not repeat its run";
    }
    // Under the lock no seed loses an update.
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        EXPECT_EQ(increments(seed, true, rounds), 2 * rounds) << "seed " << seed;
    }
}

TEST(DeterministicScheduler, OnlyTheHolderOfTheTokenRunsIncludingAThreadThePlatformDidNotStart) {
    auto& s = scheduler::get();
    deterministic_run run(5);
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<long> burned{0};  // work done inside the section, so it takes some time
    auto section = [&] {
        for (int step = 0; step < 20; ++step) {
            if (++inside != 1) {
                ++overlaps;
            }
            for (int spin = 0; spin < 2000; ++spin) {
                burned.fetch_add(spin, std::memory_order_relaxed);
            }
            --inside;
            s.sync_point("section");
        }
    };
    std::vector<std::shared_ptr<scheduler::joinable>> threads;
    for (int i = 0; i < 2; ++i) {
        threads.push_back(s.start_thread("known", section));
    }
    // A thread the platform did not start joins the rotation at its first platform call and
    // runs only in turn from there. Before that call the scheduler does not know it, so (as in
    // the concurrent mode) it may be waited for through the scheduler only once it is known:
    // until then the test keeps the token without passing a synchronisation point.
    bool foreign_done = false;  // guarded by the scheduler lock
    const std::size_t known = s.thread_count();
    std::thread foreign([&] {
        s.sync_point("first contact");
        section();
        std::lock_guard g(s.lock());
        foreign_done = true;
    });
    while (s.thread_count() == known) {
        std::this_thread::yield();
    }
    {
        std::unique_lock lk(s.lock());
        std::function<bool()> done = [&] { return foreign_done; };
        s.block(lk, done, platform::no_deadline, "the foreign thread");
    }
    foreign.join();
    join_all(threads);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_GE(s.steps(), 60u);
}

TEST(DeterministicScheduler, TimeMovesOnlyWhenEveryThreadIsBlocked) {
    auto& s = scheduler::get();
    deterministic_run run(3);
    ticks start = s.now();
    ticks woke_at = 0;
    std::vector<ticks> seen_while_running;
    std::vector<std::shared_ptr<scheduler::joinable>> threads;
    threads.push_back(s.start_thread("sleeper", [&] {
        LARGE_INTEGER thirty;
        thirty.QuadPart = -30 * ticks_per_ms;
        KeDelayExecutionThread(KernelMode, FALSE, &thirty);
        woke_at = s.now();
    }));
    threads.push_back(s.start_thread("busy", [&] {
        for (int step = 0; step < 10; ++step) {
            seen_while_running.push_back(s.now());
            s.sync_point("busy");
        }
        LARGE_INTEGER fifty;
        fifty.QuadPart = -50 * ticks_per_ms;
        KeDelayExecutionThread(KernelMode, FALSE, &fifty);
    }));
    join_all(threads);
    EXPECT_EQ(woke_at - start, 30 * ticks_per_ms);
    for (ticks t : seen_while_running) {
        EXPECT_EQ(t, start);  // a thread that can run keeps time still
    }
    EXPECT_EQ(s.now() - start, 50 * ticks_per_ms);
}

TEST(DeterministicScheduler, APausePointHoldsAndReleasesItsThread) {
    auto& s = scheduler::get();
    deterministic_run run(9);
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    platform::pause_points::hold at_set("KeSetEvent", &ev);
    auto setter = s.start_thread("setter", [&] { KeSetEvent(&ev, IO_NO_INCREMENT, FALSE); });
    ASSERT_TRUE(at_set.wait_arrived()) << at_set.describe();
    EXPECT_EQ(at_set.thread_name(), "setter");
    EXPECT_EQ(KeReadStateEvent(&ev), 0);  // held before the event is set
    // A hold that is never reached times out in virtual time, as in the concurrent mode.
    platform::pause_points::hold never("KeSetEvent", &setter);
    ticks before = s.now();
    EXPECT_FALSE(never.wait_arrived(200));
    EXPECT_EQ(s.now() - before, 200 * ticks_per_ms);
    at_set.release();
    ASSERT_TRUE(at_set.wait_left());
    setter->join();
    EXPECT_EQ(KeReadStateEvent(&ev), 1);
}

TEST(DeterministicScheduler, ADeadlockIsReportedWithTheSeedAndTheCommandThatReplaysIt) {
    EXPECT_DEATH(
        {
            auto& s = scheduler::get();
            s.set_deterministic(77);
            auto t = s.start_thread("stuck helper", [&] {
                KEVENT never;
                KeInitializeEvent(&never, NotificationEvent, FALSE);
                KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
            });
            t->join();
        },
        "0x000001D4.*stuck helper.*seed 77; replay: VRAX_SCHED_SEED=77 .*core_test");
}

TEST(DeterministicScheduler, ASeedFromTheEnvironmentThatIsNotANumberIsRefused) {
    // The death test's child starts afresh and reads the variable at its first scheduler call.
    ASSERT_EQ(setenv("VRAX_SCHED_SEED", "12abc", 1), 0);
    EXPECT_DEATH(scheduler::get().set_concurrent(), "VRAX_SCHED_SEED='12abc' is not a seed");
    unsetenv("VRAX_SCHED_SEED");
}

}  // namespace
