// Pause points: a hold takes the chosen arrival and keeps that thread until released, lets
// every other arrival pass, fails cleanly when nobody comes, keeps virtual time moving while
// it holds, and shows up in the deadlock report.
#include <gtest/gtest.h>
#include <wdm.h>

#include "core/pause_points.h"
#include "core/scheduler.h"

namespace {

using platform::scheduler;
using platform::ticks_per_ms;
namespace pp = platform::pause_points;

LARGE_INTEGER relative_ms(LONGLONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10'000;
    return t;
}

struct events {
    KEVENT first, second;
    events() {
        KeInitializeEvent(&first, NotificationEvent, FALSE);
        KeInitializeEvent(&second, NotificationEvent, FALSE);
    }
};

TEST(PausePoints, HoldsTheChosenArrivalUntilReleasedAndLetsOthersPass) {
    events e;
    pp::hold at_second("KeSetEvent", &e.second);
    auto setter = scheduler::get().start_thread("setter", [&] {
        KeSetEvent(&e.first, IO_NO_INCREMENT, FALSE);  // another event: passes
        KeSetEvent(&e.second, IO_NO_INCREMENT, FALSE);
        KeSetEvent(&e.first, IO_NO_INCREMENT, FALSE);
    });
    ASSERT_TRUE(at_second.wait_arrived()) << at_second.describe();
    EXPECT_EQ(at_second.thread_name(), "setter");
    EXPECT_EQ(KeReadStateEvent(&e.first), 1);
    EXPECT_EQ(KeReadStateEvent(&e.second), 0);  // held at the routine's entry
    EXPECT_NE(at_second.describe().find("held on thread 'setter'"), std::string::npos);
    EXPECT_EQ(pp::armed_count(), 0u);  // taken: later arrivals pass

    at_second.release();
    ASSERT_TRUE(at_second.wait_left());
    setter->join();
    EXPECT_EQ(KeReadStateEvent(&e.second), 1);
}

TEST(PausePoints, CountsOccurrencesFromTheHoldAndMatchesByPrefixAndFilter) {
    events e;
    // Arrival 3 of any "KeSet*" point from the thread named "worker"; the test thread's own
    // calls never count.
    pp::hold third("KeSet*", {.occurrence = 3, .object = nullptr, .filter = [](const pp::site& s) {
                                  return s.thread == "worker";
                              }});
    KeSetEvent(&e.first, IO_NO_INCREMENT, FALSE);
    int done = 0;  // guarded by the scheduler lock
    auto worker = scheduler::get().start_thread("worker", [&] {
        for (int i = 0; i < 4; ++i) {
            KeSetEvent(i % 2 == 0 ? &e.first : &e.second, IO_NO_INCREMENT, FALSE);
            std::lock_guard g(scheduler::get().lock());
            ++done;
        }
    });
    ASSERT_TRUE(third.wait_arrived()) << third.describe();
    {
        std::lock_guard g(scheduler::get().lock());
        EXPECT_EQ(done, 2);
    }
    third.release();
    worker->join();
    EXPECT_EQ(done, 4);
}

TEST(PausePoints, APointNeverReachedFailsAtTheDeadlineWithTheThreadsNamed) {
    auto& s = scheduler::get();
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    auto bystander = s.start_thread(
        "bystander", [&] { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); });
    pp::hold h("WdfRequestComplete");
    platform::ticks start = s.now();
    EXPECT_FALSE(h.wait_arrived(250));
    EXPECT_EQ(s.now() - start, 250 * ticks_per_ms);  // virtual time, no real wait
    std::string why = h.describe();
    EXPECT_NE(
        why.find("pause point 'WdfRequestComplete' (arrival 1) was not reached within 250 ms"),
        std::string::npos)
        << why;
    EXPECT_NE(why.find("'bystander' waits for"), std::string::npos) << why;
    EXPECT_FALSE(h.arrived());
    KeSetEvent(&never, IO_NO_INCREMENT, FALSE);
    bystander->join();
}

TEST(PausePoints, AHoldReleasedBeforeAnyArrivalHoldsNobody) {
    events e;
    pp::hold h("KeSetEvent");
    h.release();
    EXPECT_EQ(pp::armed_count(), 0u);
    KeSetEvent(&e.first, IO_NO_INCREMENT, FALSE);  // would block this very thread if armed
    EXPECT_FALSE(h.arrived());
    { pp::hold dropped("KeSetEvent"); }  // destroyed unreached: disarmed
    KeSetEvent(&e.second, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(pp::armed_count(), 0u);
}

TEST(PausePoints, DestroyingAHoldLetsItsThreadGo) {
    events e;
    std::shared_ptr<scheduler::joinable> setter;
    {
        pp::hold h("KeSetEvent");
        setter = scheduler::get().start_thread(
            "setter", [&] { KeSetEvent(&e.first, IO_NO_INCREMENT, FALSE); });
        ASSERT_TRUE(h.wait_arrived()) << h.describe();
    }
    setter->join();
    EXPECT_EQ(KeReadStateEvent(&e.first), 1);
}

TEST(PausePoints, TimeMovesOnWhileAThreadIsHeld) {
    // The answer is held before it signals; the waiter's 5-second time-out fires meanwhile:
    // "time-out before answer", forced.
    auto& s = scheduler::get();
    events e;
    pp::hold at_set("KeSetEvent", &e.first);
    auto answer = s.start_thread("answer", [&] { KeSetEvent(&e.first, IO_NO_INCREMENT, FALSE); });
    ASSERT_TRUE(at_set.wait_arrived()) << at_set.describe();
    platform::ticks start = s.now();
    LARGE_INTEGER five_s = relative_ms(5000);
    EXPECT_EQ(KeWaitForSingleObject(&e.first, Executive, KernelMode, FALSE, &five_s),
              STATUS_TIMEOUT);
    EXPECT_EQ(s.now() - start, 5000 * ticks_per_ms);
    at_set.release();
    answer->join();
    EXPECT_EQ(KeReadStateEvent(&e.first), 1);
}

TEST(PausePoints, AWaitCanBeHeldBeforeItTestsItsObject) {
    // The waiter is held at the wait's entry, the event is set and cleared meanwhile: a
    // notification the waiter misses, forced.
    events e;
    pp::hold at_wait("KeWaitForSingleObject", &e.first);
    NTSTATUS got = STATUS_PENDING;  // guarded by the scheduler lock
    auto waiter = scheduler::get().start_thread("waiter", [&] {
        LARGE_INTEGER t = relative_ms(100);
        NTSTATUS st = KeWaitForSingleObject(&e.first, Executive, KernelMode, FALSE, &t);
        std::lock_guard g(scheduler::get().lock());
        got = st;
    });
    ASSERT_TRUE(at_wait.wait_arrived()) << at_wait.describe();
    KeSetEvent(&e.first, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&e.first);
    at_wait.release();
    waiter->join();
    EXPECT_EQ(got, STATUS_TIMEOUT);
}

TEST(PausePointsDeathTest, TheDeadlockReportNamesTheHeldPoint) {
    EXPECT_DEATH(
        {
            events e;
            pp::hold h("KeSetEvent", &e.first);
            auto setter = scheduler::get().start_thread(
                "setter", [&] { KeSetEvent(&e.first, IO_NO_INCREMENT, FALSE); });
            // Waits for the event the held thread would set, with no time-out: every thread
            // is blocked.
            KeWaitForSingleObject(&e.first, Executive, KernelMode, FALSE, nullptr);
        },
        "'setter' waits for: held at pause point 'KeSetEvent' \\(arrival 1\\) until the test "
        "releases it");
}

}  // namespace
