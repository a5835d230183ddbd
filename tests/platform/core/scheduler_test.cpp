// The scheduler: virtual time, waking, joining and the deadlock report.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/scheduler.h"

using platform::scheduler;
using platform::ticks_per_ms;

namespace {

TEST(Scheduler, TimeJumpsToTheEarliestDeadlineWhenEveryThreadIsBlocked) {
    auto& s = scheduler::get();
    platform::ticks start = s.now();
    std::atomic<platform::ticks> woke_at{0};
    auto t = s.start_thread("sleeper", [&] {
        std::unique_lock lk(s.lock());
        std::function<bool()> never = [] { return false; };
        EXPECT_FALSE(s.block(lk, never, start + 30 * ticks_per_ms, "a 30 ms sleep"));
        lk.unlock();  // now() takes the scheduler lock itself
        woke_at = s.now();
    });
    {
        std::unique_lock lk(s.lock());
        std::function<bool()> never = [] { return false; };
        EXPECT_FALSE(s.block(lk, never, start + 50 * ticks_per_ms, "a 50 ms sleep"));
    }
    t->join();
    EXPECT_EQ(woke_at.load() - start, 30 * ticks_per_ms);
    EXPECT_EQ(s.now() - start, 50 * ticks_per_ms);
}

TEST(Scheduler, AWakeWithTheConditionTrueEndsTheWaitBeforeItsDeadline) {
    auto& s = scheduler::get();
    platform::ticks start = s.now();
    bool flag = false;  // guarded by the scheduler lock
    auto t = s.start_thread("setter", [&] {
        std::unique_lock lk(s.lock());
        std::function<bool()> never = [] { return false; };
        s.block(lk, never, start + 5 * ticks_per_ms, "a short sleep");
        flag = true;
        s.wake();
    });
    {
        std::unique_lock lk(s.lock());
        std::function<bool()> ready = [&] { return flag; };
        EXPECT_TRUE(s.block(lk, ready, start + 1000 * ticks_per_ms, "the flag"));
    }
    EXPECT_EQ(s.now() - start, 5 * ticks_per_ms);
    t->join();
    EXPECT_TRUE(t->finished());
    // A deadline already passed returns at once with the predicate's verdict.
    std::unique_lock lk(s.lock());
    std::function<bool()> yes = [] { return true; };
    EXPECT_TRUE(s.block(lk, yes, 0, "already true"));
}

// A condition that comes true with no wake (a reference count dropped by another thread) is
// seen when the other threads come to rest: the waiter is woken to run, rather than taken as
// running while it sleeps, with no thread left to wake it or to move time on. The watchdog,
// a thread the scheduler does not know, wakes everyone after 2 s of real time if nothing did.
TEST(Scheduler, AConditionMadeTrueWithoutAWakeIsSeenWhenTheOthersComeToRest) {
    auto& s = scheduler::get();
    const platform::ticks start = s.now();
    std::atomic<bool> flag{false};
    std::atomic<bool> done{false};
    std::atomic<bool> rescued{false};
    auto waiter = s.start_thread("waiter", [&] {
        std::unique_lock lk(s.lock());
        std::function<bool()> ready = [&] { return flag.load(); };
        EXPECT_TRUE(s.block(lk, ready, start + 10000 * ticks_per_ms, "the flag"));
    });
    {
        // Until the waiter sleeps: time moves only once it is blocked too.
        std::unique_lock lk(s.lock());
        std::function<bool()> never = [] { return false; };
        s.block(lk, never, start + 1 * ticks_per_ms, "the waiter to sleep");
    }
    flag = true;  // no wake
    std::thread watchdog([&] {
        for (int i = 0; i < 200 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!done) {
            rescued = true;
            s.wake();
        }
    });
    waiter->join();
    done = true;
    watchdog.join();
    EXPECT_FALSE(rescued) << "the waiter slept on a true condition with every thread at rest";
    EXPECT_EQ(s.now() - start, 1 * ticks_per_ms);
}

TEST(Scheduler, EveryThreadBlockedForeverIsReportedAsADeadlock) {
    EXPECT_DEATH(
        {
            auto& s = scheduler::get();
            auto t = s.start_thread("stuck helper", [&] {
                std::unique_lock lk(s.lock());
                std::function<bool()> never = [] { return false; };
                s.block(lk, never, platform::no_deadline, "something that never happens");
            });
            t->join();
        },
        "0x000001D4.*stuck helper.*something that never happens");
}

TEST(Scheduler, ThreadsRunTheirExitHooksAndAreForgotten) {
    auto& s = scheduler::get();
    std::size_t before = s.thread_count();
    std::atomic<int> hooks{0};
    auto t = s.start_thread("with hook", [&] {
        s.current().at_exit.push_back([&] { ++hooks; });
        EXPECT_EQ(s.current().name, "with hook");
    });
    t->join();
    EXPECT_EQ(hooks.load(), 1);
    EXPECT_EQ(s.thread_count(), before);
    EXPECT_NE(s.describe_threads().find("'test' running"), std::string::npos);
}

}  // namespace
