// Framework timers: when and where EvtTimerFunc runs, what start and stop return, stop's wait
// for a running callback, the creation rules (parent, sizes, execution level, serialisation)
// and deletion with the parent.
#include <atomic>
#include <chrono>
#include <thread>

#include "core/scheduler.h"
#include "kernel/timer.h"
#include "wdf/fx_driver.h"
#include "wdf_fixture.h"

namespace wdf_test {
namespace {

constexpr LONGLONG ms = 10'000;

struct timer_observations {
    std::atomic<int> runs{0};
    std::atomic<LONGLONG> last_at{-1};
    std::atomic<int> irql{-1};
    std::atomic<std::uint64_t> thread{0};
    std::atomic<WDFOBJECT> parent{nullptr};
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    std::atomic<int> restart_budget{0};
    std::atomic<int> stop_result{-1};
};
timer_observations seen;

LONGLONG now_ticks() {
    return static_cast<LONGLONG>(KeQueryInterruptTime());
}

void sleep_virtual(LONGLONG milliseconds) {
    LARGE_INTEGER t;
    t.QuadPart = -milliseconds * ms;
    KeDelayExecutionThread(KernelMode, FALSE, &t);
}

void note_run(WDFTIMER timer) {
    seen.last_at = now_ticks();
    seen.irql = KeGetCurrentIrql();
    seen.thread = platform::scheduler::get().current().id;
    seen.parent = WdfTimerGetParentObject(timer);
    ++seen.runs;
}

VOID CountingTimer(WDFTIMER timer) {
    note_run(timer);
}

// Takes real time (not virtual: a dispatch-level callback cannot wait), so a stop really has
// to wait for it; restarts itself while it has budget.
VOID SlowTimer(WDFTIMER timer) {
    note_run(timer);
    seen.entered = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (seen.restart_budget.fetch_sub(1) > 0) {
        WdfTimerStart(timer, -10 * ms);
    }
    seen.finished = true;
}

VOID PassiveTimer(WDFTIMER timer) {
    note_run(timer);
    sleep_virtual(30);  // passive level: the callback may wait
    seen.finished = true;
}

VOID StopsItselfTimer(WDFTIMER timer) {
    note_run(timer);
    seen.stop_result = WdfTimerStop(timer, TRUE);
}

VOID DeletesItselfTimer(WDFTIMER timer) {
    note_run(timer);
    WdfObjectDelete(timer);
}

VOID RaisesIrqlTimer(WDFTIMER) {
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
}

VOID TimerCleanup(WDFOBJECT) {
    record("timer cleanup");
}

// Lets virtual time reach the due time (it moves only while this thread blocks), then waits
// in real time for the callback to have started.
void wait_until_entered(LONGLONG due_ms) {
    sleep_virtual(due_ms);
    while (!seen.entered) {
        std::this_thread::yield();
    }
}

class Timers : public framework_test {
  protected:
    void SetUp() override {
        framework_test::SetUp();
        seen.runs = 0;
        seen.last_at = -1;
        seen.irql = -1;
        seen.thread = 0;
        seen.parent = nullptr;
        seen.entered = false;
        seen.finished = false;
        seen.restart_budget = 0;
        seen.stop_result = -1;
        create_device();
        take_events();
    }
    void TearDown() override {
        platform::wdf::set_verifier_break_on_error(true);
        framework_test::TearDown();
        EXPECT_EQ(platform::kernel::timers::set_timer_count(), 0u) << "a timer outlived the test";
    }

    NTSTATUS create(PFN_WDF_TIMER fn, WDFTIMER* timer, ULONG period = 0, WDFOBJECT parent = nullptr,
                    WDF_EXECUTION_LEVEL level = WdfExecutionLevelInheritFromParent) {
        WDF_TIMER_CONFIG config;
        if (period == 0) {
            WDF_TIMER_CONFIG_INIT(&config, fn);
        } else {
            WDF_TIMER_CONFIG_INIT_PERIODIC(&config, fn, static_cast<LONG>(period));
        }
        WDF_OBJECT_ATTRIBUTES a;
        WDF_OBJECT_ATTRIBUTES_INIT(&a);
        a.ParentObject = parent != nullptr ? parent : device();
        a.ExecutionLevel = level;
        a.EvtCleanupCallback = TimerCleanup;
        return WdfTimerCreate(&config, &a, timer);
    }

    WDFQUEUE make_queue(WDF_EXECUTION_LEVEL level, WDF_SYNCHRONIZATION_SCOPE scope) {
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
        WDF_OBJECT_ATTRIBUTES a;
        WDF_OBJECT_ATTRIBUTES_INIT(&a);
        a.ExecutionLevel = level;
        a.SynchronizationScope = scope;
        WDFQUEUE queue = nullptr;
        EXPECT_EQ(WdfIoQueueCreate(device(), &config, &a, &queue), STATUS_SUCCESS);
        return queue;
    }
};

TEST_F(Timers, OneShotTimerRunsOnceAtItsDueTimeAtDispatchLevelOnAnotherThread) {
    WDFTIMER timer;
    ASSERT_EQ(create(CountingTimer, &timer), STATUS_SUCCESS);
    EXPECT_EQ(WdfTimerGetParentObject(timer), device());
    LONGLONG start = now_ticks();
    EXPECT_FALSE(WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(100)));
    sleep_virtual(500);
    EXPECT_EQ(seen.runs, 1);
    EXPECT_EQ(seen.last_at - start, 100 * ms);
    EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
    EXPECT_NE(seen.thread, platform::scheduler::get().current().id);
    EXPECT_EQ(seen.parent, device());
    EXPECT_FALSE(WdfTimerStop(timer, FALSE)) << "a one-shot timer that ran is not queued";
}

TEST_F(Timers, PeriodicTimerRunsEveryPeriodAndStartAndStopSayWhetherItWasQueued) {
    WDFTIMER timer;
    ASSERT_EQ(create(CountingTimer, &timer, 40), STATUS_SUCCESS);
    LONGLONG start = now_ticks();
    EXPECT_FALSE(WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(20)));
    sleep_virtual(130);  // runs at 20, 60, 100
    EXPECT_EQ(seen.runs, 3);
    EXPECT_EQ(seen.last_at - start, 100 * ms);
    EXPECT_TRUE(WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(20))) << "still queued: restarted";
    EXPECT_TRUE(WdfTimerStop(timer, TRUE));
    EXPECT_FALSE(WdfTimerStop(timer, FALSE));
    sleep_virtual(1000);
    EXPECT_EQ(seen.runs, 3);
}

TEST_F(Timers, AbsoluteDueTimeIsSystemTime) {
    WDFTIMER timer;
    ASSERT_EQ(create(CountingTimer, &timer), STATUS_SUCCESS);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LONGLONG start = now_ticks();
    WdfTimerStart(timer, now.QuadPart + 70 * ms);
    sleep_virtual(100);
    EXPECT_EQ(seen.last_at - start, 70 * ms);
}

TEST_F(Timers, StopWithWaitReturnsOnlyAfterTheRunningCallbackHasReturned) {
    WDFTIMER timer;
    ASSERT_EQ(create(SlowTimer, &timer), STATUS_SUCCESS);
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(10));
    wait_until_entered(10);
    EXPECT_FALSE(WdfTimerStop(timer, TRUE)) << "the timer had left the queue when it fired";
    EXPECT_TRUE(seen.finished) << "the stop returned while EvtTimerFunc was still running";
}

TEST_F(Timers, StopWithWaitCatchesARestartFromTheRunningCallback) {
    WDFTIMER timer;
    ASSERT_EQ(create(SlowTimer, &timer), STATUS_SUCCESS);
    seen.restart_budget = 1000;
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(10));
    wait_until_entered(10);
    // The callback restarts the timer while the stop is waiting for it: the stop in progress
    // refuses that start (or cancels it again) and reports the timer as queued.
    EXPECT_TRUE(WdfTimerStop(timer, TRUE));
    int runs = seen.runs;
    sleep_virtual(1000);
    EXPECT_EQ(seen.runs, runs) << "the timer kept running after WdfTimerStop(Wait=TRUE)";
}

TEST_F(Timers, PassiveLevelTimerRunsOnAWorkerAndStopWaitsForIt) {
    WDFTIMER timer;
    ASSERT_EQ(create(PassiveTimer, &timer, 0, nullptr, WdfExecutionLevelPassive), STATUS_SUCCESS);
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(10));
    sleep_virtual(20);  // the callback has started and waits inside
    EXPECT_EQ(seen.runs, 1);
    EXPECT_FALSE(seen.finished);
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_NE(seen.thread, platform::scheduler::get().current().id);
    WdfTimerStop(timer, TRUE);
    EXPECT_TRUE(seen.finished);
}

TEST_F(Timers, CreationChecksConfigSizesAndParents) {
    WDF_TIMER_CONFIG config;
    WDF_TIMER_CONFIG_INIT(&config, CountingTimer);
    WDFTIMER timer = nullptr;
    EXPECT_EQ(WdfTimerCreate(&config, WDF_NO_OBJECT_ATTRIBUTES, &timer),
              STATUS_WDF_PARENT_NOT_SPECIFIED);
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    EXPECT_EQ(WdfTimerCreate(&config, &a, &timer), STATUS_WDF_PARENT_NOT_SPECIFIED);
    a.ParentObject = driver;  // no device above it
    EXPECT_EQ(WdfTimerCreate(&config, &a, &timer), STATUS_INVALID_DEVICE_REQUEST);

    // Any object under a device will do.
    WDFOBJECT child;
    WDF_OBJECT_ATTRIBUTES ca;
    WDF_OBJECT_ATTRIBUTES_INIT(&ca);
    ca.ParentObject = device();
    ASSERT_EQ(WdfObjectCreate(&ca, &child), STATUS_SUCCESS);
    a.ParentObject = child;
    EXPECT_EQ(WdfTimerCreate(&config, &a, &timer), STATUS_SUCCESS);

    // The sizes of earlier framework versions (before TolerableDelay, before
    // UseHighResolutionTimer) are accepted; others are not.
    a.ParentObject = device();
    config.Size = FIELD_OFFSET(WDF_TIMER_CONFIG, TolerableDelay);
    config.Size = (config.Size + 7) & ~7u;
    EXPECT_EQ(WdfTimerCreate(&config, &a, &timer), STATUS_SUCCESS);
    config.Size = FIELD_OFFSET(WDF_TIMER_CONFIG, UseHighResolutionTimer);
    EXPECT_EQ(WdfTimerCreate(&config, &a, &timer), STATUS_SUCCESS);
    config.Size = sizeof(WDF_TIMER_CONFIG) + 8;
    EXPECT_EQ(WdfTimerCreate(&config, &a, &timer), STATUS_INFO_LENGTH_MISMATCH);

    WDF_TIMER_CONFIG_INIT_PERIODIC(&config, CountingTimer, 10);
    config.Period = 0x80000000u;
    EXPECT_EQ(WdfTimerCreate(&config, &a, &timer), STATUS_INVALID_PARAMETER);
    WDF_TIMER_CONFIG_INIT(&config, CountingTimer);
    config.TolerableDelay = 5;
    config.UseHighResolutionTimer = TRUE;
    EXPECT_EQ(WdfTimerCreate(&config, &a, &timer), STATUS_INVALID_PARAMETER);
    config.UseHighResolutionTimer = FALSE;
    EXPECT_EQ(WdfTimerCreate(&config, &a, &timer), STATUS_SUCCESS);  // tolerance alone is fine

    // A timer has no synchronisation scope of its own.
    WDF_TIMER_CONFIG_INIT(&config, CountingTimer);
    a.SynchronizationScope = WdfSynchronizationScopeQueue;
    EXPECT_EQ(WdfTimerCreate(&config, &a, &timer), STATUS_WDF_SYNCHRONIZATION_SCOPE_INVALID);
}

TEST_F(Timers, ExecutionLevelRules) {
    WDFTIMER timer;
    // Passive-level timers are one-shot only.
    EXPECT_EQ(create(CountingTimer, &timer, 10, nullptr, WdfExecutionLevelPassive),
              STATUS_NOT_SUPPORTED);
    // Serialised with a queue whose scope is the queue: the timer's level must match the
    // queue's callbacks.
    WDFQUEUE dispatch_queue =
        make_queue(WdfExecutionLevelInheritFromParent, WdfSynchronizationScopeQueue);
    EXPECT_EQ(create(CountingTimer, &timer, 0, dispatch_queue, WdfExecutionLevelPassive),
              STATUS_WDF_INCOMPATIBLE_EXECUTION_LEVEL);
    EXPECT_EQ(create(CountingTimer, &timer, 0, dispatch_queue), STATUS_SUCCESS);
    WDFQUEUE passive_queue = make_queue(WdfExecutionLevelPassive, WdfSynchronizationScopeQueue);
    EXPECT_EQ(create(CountingTimer, &timer, 0, passive_queue),
              STATUS_WDF_INCOMPATIBLE_EXECUTION_LEVEL);
    EXPECT_EQ(create(CountingTimer, &timer, 0, passive_queue, WdfExecutionLevelPassive),
              STATUS_SUCCESS);
    // Without a scope there is nothing to serialise with, so any level is accepted.
    WDFQUEUE unscoped = make_queue(WdfExecutionLevelPassive, WdfSynchronizationScopeNone);
    EXPECT_EQ(create(CountingTimer, &timer, 0, unscoped), STATUS_SUCCESS);
    // And without AutomaticSerialization the scope does not matter.
    WDF_TIMER_CONFIG config;
    WDF_TIMER_CONFIG_INIT(&config, CountingTimer);
    config.AutomaticSerialization = FALSE;
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.ParentObject = passive_queue;
    EXPECT_EQ(WdfTimerCreate(&config, &a, &timer), STATUS_SUCCESS);
}

TEST_F(Timers, TimerGoesWithItsParentAndNeverRunsAfterwards) {
    WDFQUEUE queue = make_queue(WdfExecutionLevelInheritFromParent, WdfSynchronizationScopeNone);
    WDFTIMER timer;
    ASSERT_EQ(create(CountingTimer, &timer, 10, queue), STATUS_SUCCESS);
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(10));
    sleep_virtual(25);
    EXPECT_EQ(seen.runs, 2);
    WdfObjectDelete(queue);
    EXPECT_EQ(take_events(), std::vector<std::string>{"timer cleanup"});
    EXPECT_EQ(platform::kernel::timers::set_timer_count(), 0u);
    sleep_virtual(100);
    EXPECT_EQ(seen.runs, 2);
}

TEST_F(Timers, DispatchLevelCallbackMayDeleteItsOwnTimer) {
    WDFTIMER timer;
    ASSERT_EQ(create(DeletesItselfTimer, &timer, 10), STATUS_SUCCESS);
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(10));
    sleep_virtual(100);
    EXPECT_EQ(seen.runs, 1);
    EXPECT_EQ(take_events(), std::vector<std::string>{"timer cleanup"});
    EXPECT_EQ(platform::wdf::fx_object::find(timer), nullptr) << "the timer was destroyed";
}

TEST_F(Timers, StopWithWaitFromItsOwnCallbackIsRefusedAndReported) {
    platform::wdf::set_verifier_break_on_error(false);
    WDFTIMER timer;
    ASSERT_EQ(create(StopsItselfTimer, &timer, 1000), STATUS_SUCCESS);
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(10));
    sleep_virtual(20);
    EXPECT_EQ(seen.stop_result, FALSE);
    EXPECT_TRUE(WdfTimerStop(timer, FALSE)) << "the refused stop left the periodic timer queued";
}

// ---- Misuse the verifier stops -------------------------------------------------------------

TEST_F(Timers, StopWithWaitFromTheCallbackOrAbovePassiveLevelStopsTheMachine) {
    WDFTIMER timer;
    ASSERT_EQ(create(StopsItselfTimer, &timer), STATUS_SUCCESS);
    EXPECT_DEATH(
        {
            WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(10));
            sleep_virtual(20);
        },
        "0x0000010D.*own callback.*in EvtTimerFunc");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            WdfTimerStop(timer, TRUE);
        },
        "0x0000010D.*IRQL 2, above PASSIVE_LEVEL");
}

TEST_F(Timers, CallbackReturningAtAnotherIrqlIsCaught) {
    WDFTIMER timer;
    ASSERT_EQ(create(RaisesIrqlTimer, &timer), STATUS_SUCCESS);
    EXPECT_DEATH(
        {
            WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(10));
            sleep_virtual(20);
        },
        "0x0000000A.*EvtTimerFunc \\(object .*\\) returned at IRQL 15, called at 2");
}

TEST_F(Timers, StartingADeletedTimerIsCaught) {
    WDFTIMER timer;
    ASSERT_EQ(create(CountingTimer, &timer), STATUS_SUCCESS);
    WdfObjectDelete(timer);
    EXPECT_DEATH(WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(10)), "0x0000010D.*WdfTimerStart");
}

}  // namespace
}  // namespace wdf_test
