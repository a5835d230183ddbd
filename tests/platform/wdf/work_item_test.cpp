// Work items: run once per enqueue on a worker thread at PASSIVE_LEVEL, are not queued
// twice, flush waits for them, deletion with the parent, and the verifier's checks.
#include <algorithm>
#include <atomic>

#include "core/lock_tracker.h"
#include "core/scheduler.h"
#include "wdf/fx_work_queue.h"
#include "wdf_fixture.h"

namespace wdf_test {
namespace {

std::atomic<int> runs{0};
std::atomic<std::uint64_t> ran_on{0};
std::atomic<int> ran_at_irql{-1};
WDFWAITLOCK leak_lock = nullptr;

VOID CountingItem(WDFWORKITEM) {
    auto& me = platform::scheduler::get().current();
    ran_on = me.id;
    ran_at_irql = me.irql;
    // Long enough that a flush really has to wait.
    {
        auto& s = platform::scheduler::get();
        platform::ticks until = s.now() + 10 * platform::ticks_per_ms;
        std::unique_lock lk(s.lock());
        s.block(
            lk, [] { return false; }, until, "work");
    }
    ++runs;
}

VOID SelfDeletingItem(WDFWORKITEM item) {
    ++runs;
    WdfObjectDelete(item);
}

VOID LeakingItem(WDFWORKITEM) {
    WdfWaitLockAcquire(leak_lock, nullptr);
}

VOID ItemCleanup(WDFOBJECT) {
    record("item cleanup");
}

class WorkItems : public framework_test {
  protected:
    void SetUp() override {
        framework_test::SetUp();
        runs = 0;
        create_device();
    }
    void TearDown() override {
        platform::wdf::pause_work_items(false);
        framework_test::TearDown();
    }
    WDFWORKITEM make(PFN_WDF_WORKITEM fn, WDFOBJECT parent = nullptr) {
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, fn);
        WDF_OBJECT_ATTRIBUTES a;
        WDF_OBJECT_ATTRIBUTES_INIT(&a);
        a.ParentObject = parent != nullptr ? parent : device();
        a.EvtCleanupCallback = ItemCleanup;
        WDFWORKITEM item = nullptr;
        EXPECT_EQ(WdfWorkItemCreate(&config, &a, &item), STATUS_SUCCESS);
        return item;
    }
};

TEST_F(WorkItems, RunOnAWorkerThreadAtPassiveLevelAndFlushWaitsForThem) {
    WDFWORKITEM item = make(CountingItem);
    EXPECT_EQ(WdfWorkItemGetParentObject(item), device());
    WdfWorkItemEnqueue(item);
    WdfWorkItemFlush(item);
    EXPECT_EQ(runs, 1);
    EXPECT_NE(ran_on, platform::scheduler::get().current().id);
    EXPECT_EQ(ran_at_irql, PASSIVE_LEVEL);
    WdfWorkItemEnqueue(item);
    WdfWorkItemFlush(item);
    EXPECT_EQ(runs, 2);
}

TEST_F(WorkItems, EnqueueingAQueuedItemAgainRunsItOnce) {
    WDFWORKITEM item = make(CountingItem);
    platform::wdf::pause_work_items(true);
    WdfWorkItemEnqueue(item);
    WdfWorkItemEnqueue(item);
    WdfWorkItemEnqueue(item);
    EXPECT_EQ(platform::wdf::queued_work_items(), 1u);
    EXPECT_EQ(runs, 0);
    platform::wdf::pause_work_items(false);
    WdfWorkItemFlush(item);
    EXPECT_EQ(runs, 1);
}

TEST_F(WorkItems, SeveralItemsRunAtOnce) {
    WDFWORKITEM a = make(CountingItem), b = make(CountingItem), c = make(CountingItem);
    auto& s = platform::scheduler::get();
    platform::ticks start = s.now();
    WdfWorkItemEnqueue(a);
    WdfWorkItemEnqueue(b);
    WdfWorkItemEnqueue(c);
    WdfWorkItemFlush(a);
    WdfWorkItemFlush(b);
    WdfWorkItemFlush(c);
    EXPECT_EQ(runs, 3);
    // Each waits 10 ms; one after another would take 30.
    EXPECT_LT(s.now() - start, 20 * platform::ticks_per_ms);
}

TEST_F(WorkItems, AnItemMayDeleteItselfAndDeletingTheParentWaitsForARunningOne) {
    WDFWORKITEM self = make(SelfDeletingItem);
    WdfWorkItemEnqueue(self);
    {
        auto& s = platform::scheduler::get();
        std::unique_lock lk(s.lock());
        s.block(
            lk, [] { return runs.load() == 1; }, platform::no_deadline, "self delete");
    }
    WDFWORKITEM slow = make(CountingItem);
    WdfWorkItemEnqueue(slow);
    take_events();
    remove();  // deletes the device and so the work item: waits for its callback
    EXPECT_EQ(runs, 2);
    auto e = take_events();
    EXPECT_NE(std::find(e.begin(), e.end(), "item cleanup"), e.end());
}

// The worker lets go of a work item that deleted itself only after its callback has
// returned; the driver's unload waits for that, as the system's work-item routine keeps the
// driver loaded until it has returned. Without the wait the unload races the worker's last
// reference and reports it as an object still outstanding.
TEST_F(WorkItems, AnUnloadWaitsForTheWorkerOfAnItemThatDeletedItself) {
    for (int round = 0; round < 60; ++round) {
        if (round > 0) {
            framework_test::TearDown();
            framework_test::SetUp();
            runs = 0;
            create_device();
        }
        WDFWORKITEM self = make(SelfDeletingItem);
        WdfWorkItemEnqueue(self);
        auto& s = platform::scheduler::get();
        std::unique_lock lk(s.lock());
        s.block(
            lk, [] { return runs.load() == 1; }, platform::no_deadline, "self delete");
    }
}

TEST_F(WorkItems, ParentMustLeadToADevice) {
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, CountingItem);
    WDFWORKITEM item = nullptr;
    EXPECT_EQ(WdfWorkItemCreate(&config, WDF_NO_OBJECT_ATTRIBUTES, &item),
              STATUS_WDF_PARENT_NOT_SPECIFIED);
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.ParentObject = driver;
    EXPECT_EQ(WdfWorkItemCreate(&config, &a, &item), STATUS_INVALID_DEVICE_REQUEST);
    config.Size = 4;
    a.ParentObject = device();
    EXPECT_EQ(WdfWorkItemCreate(&config, &a, &item), STATUS_INFO_LENGTH_MISMATCH);
    platform::faults::fail_nth("WdfWorkItemCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    WDF_WORKITEM_CONFIG_INIT(&config, CountingItem);
    EXPECT_EQ(WdfWorkItemCreate(&config, &a, &item), STATUS_INSUFFICIENT_RESOURCES);
    platform::faults::clear();
}

// A queue of the test's device with the given callback constraints (a manual queue: it only
// serves as the work items' parent).
WDFQUEUE constrained_queue(WDFDEVICE device, WDF_EXECUTION_LEVEL level,
                           WDF_SYNCHRONIZATION_SCOPE scope) {
    WDF_IO_QUEUE_CONFIG qc;
    WDF_IO_QUEUE_CONFIG_INIT(&qc, WdfIoQueueDispatchManual);
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.ExecutionLevel = level;
    a.SynchronizationScope = scope;
    WDFQUEUE queue = nullptr;
    EXPECT_EQ(WdfIoQueueCreate(device, &qc, &a, &queue), STATUS_SUCCESS);
    return queue;
}

TEST_F(WorkItems, AutomaticSerializationFollowsTheScopeOfTheQueueOrDeviceAbove) {
    auto& s = platform::scheduler::get();
    // No scope above (inherited down to none): accepted, and the items run side by side.
    WDFQUEUE free_queue = constrained_queue(device(), WdfExecutionLevelPassive,
                                            WdfSynchronizationScopeInheritFromParent);
    WDFWORKITEM a = make(CountingItem, free_queue), b = make(CountingItem, free_queue);
    platform::ticks start = s.now();
    WdfWorkItemEnqueue(a);
    WdfWorkItemEnqueue(b);
    WdfWorkItemFlush(a);
    WdfWorkItemFlush(b);
    EXPECT_LT(s.now() - start, 20 * platform::ticks_per_ms);

    // A passive queue with its own scope: its serialised items share its callback lock.
    WDFQUEUE locked_queue =
        constrained_queue(device(), WdfExecutionLevelPassive, WdfSynchronizationScopeQueue);
    WDFWORKITEM c = make(CountingItem, locked_queue), d = make(CountingItem, locked_queue);
    start = s.now();
    WdfWorkItemEnqueue(c);
    WdfWorkItemEnqueue(d);
    WdfWorkItemFlush(c);
    WdfWorkItemFlush(d);
    EXPECT_GE(s.now() - start, 20 * platform::ticks_per_ms);
    EXPECT_EQ(runs, 4);
}

TEST_F(WorkItems, SerialisingWithAScopeWhoseLockIsNotPassiveIsRefused) {
    WDFQUEUE queue = constrained_queue(device(), WdfExecutionLevelInheritFromParent,
                                       WdfSynchronizationScopeQueue);
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, CountingItem);
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.ParentObject = queue;
    WDFWORKITEM item = nullptr;
    EXPECT_EQ(WdfWorkItemCreate(&config, &a, &item), STATUS_WDF_INCOMPATIBLE_EXECUTION_LEVEL);
    EXPECT_EQ(item, nullptr);
    // Without automatic serialisation the scope does not matter.
    config.AutomaticSerialization = FALSE;
    EXPECT_EQ(WdfWorkItemCreate(&config, &a, &item), STATUS_SUCCESS);
}

TEST_F(WorkItems, LockStillHeldWhenTheCallbackReturnsIsAVerifierError) {
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &leak_lock), STATUS_SUCCESS);
    WDFWORKITEM item = make(LeakingItem);
    EXPECT_DEATH(
        {
            WdfWorkItemEnqueue(item);
            WdfWorkItemFlush(item);
        },
        "0x000000C4.*EvtWorkItem");
}

}  // namespace
}  // namespace wdf_test
