// The framework's pause points on work items, wait locks and I/O target completions: each
// holds the thread where the table in pause_points.h says, before the routine acts.
#include <atomic>

#include "../wdf/wdf_fixture.h"
#include "core/pause_points.h"
#include "core/scheduler.h"

namespace pp = platform::pause_points;
using platform::scheduler;

namespace {

std::atomic<int> item_runs{0};
WDFWAITLOCK shared_lock = nullptr;
std::vector<std::string> order;  // guarded by the scheduler lock

void note_order(std::string what) {
    auto& s = scheduler::get();
    std::lock_guard g(s.lock());
    order.push_back(std::move(what));
    s.wake();
}

VOID CountItem(WDFWORKITEM) {
    ++item_runs;
}

class FrameworkPoints : public wdf_test::framework_test {
  protected:
    void SetUp() override {
        framework_test::SetUp();
        item_runs = 0;
        order.clear();
        create_device();
    }
    WDFWORKITEM make_item() {
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, CountItem);
        WDF_OBJECT_ATTRIBUTES a;
        WDF_OBJECT_ATTRIBUTES_INIT(&a);
        a.ParentObject = device();
        WDFWORKITEM item = nullptr;
        EXPECT_EQ(WdfWorkItemCreate(&config, &a, &item), STATUS_SUCCESS);
        return item;
    }
};

TEST_F(FrameworkPoints, AWorkItemIsHeldOnItsWorkerBeforeTheCallback) {
    WDFWORKITEM item = make_item();
    pp::hold at_start("work-item", item);
    WdfWorkItemEnqueue(item);
    ASSERT_TRUE(at_start.wait_arrived()) << at_start.describe();
    EXPECT_EQ(at_start.thread_name(), "wdf-workitem");
    EXPECT_EQ(item_runs, 0);
    at_start.release();
    WdfWorkItemFlush(item);
    EXPECT_EQ(item_runs, 1);
}

TEST_F(FrameworkPoints, AnEnqueueIsHeldBeforeTheItemIsQueued) {
    // A flush between "decided to enqueue" and "enqueued" has nothing to wait for.
    WDFWORKITEM item = make_item();
    pp::hold at_enqueue("WdfWorkItemEnqueue", item);
    auto enqueuer = scheduler::get().start_thread("enqueuer", [item] { WdfWorkItemEnqueue(item); });
    ASSERT_TRUE(at_enqueue.wait_arrived()) << at_enqueue.describe();
    WdfWorkItemFlush(item);
    EXPECT_EQ(item_runs, 0);
    at_enqueue.release();
    enqueuer->join();
    WdfWorkItemFlush(item);
    EXPECT_EQ(item_runs, 1);
}

TEST_F(FrameworkPoints, AWaitLockAcquireIsHeldBeforeTheLockIsTried) {
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.ParentObject = device();
    ASSERT_EQ(WdfWaitLockCreate(&a, &shared_lock), STATUS_SUCCESS);
    pp::hold at_acquire("WdfWaitLockAcquire", shared_lock);
    auto late = scheduler::get().start_thread("late", [] {
        WdfWaitLockAcquire(shared_lock, nullptr);
        note_order("late");
        WdfWaitLockRelease(shared_lock);
    });
    ASSERT_TRUE(at_acquire.wait_arrived()) << at_acquire.describe();
    // The test gets in first although the other thread called first.
    WdfWaitLockAcquire(shared_lock, nullptr);
    note_order("test");
    at_acquire.release();
    ASSERT_TRUE(at_acquire.wait_left());
    WdfWaitLockRelease(shared_lock);
    late->join();
    EXPECT_EQ(order, (std::vector<std::string>{"test", "late"}));
}

}  // namespace
