// The system worker threads behind work items: created once and reused, one more only when
// every worker is busy, and an idle worker still honours a paused queue.
#include <atomic>

#include "core/scheduler.h"
#include "wdf/fx_work_queue.h"
#include "wdf_fixture.h"

namespace wdf_test {
namespace {

std::atomic<int> pool_runs{0};
std::atomic<std::uint64_t> pool_ran_on{0};

// Takes 10 ms of virtual time, so items queued together overlap.
VOID SlowItem(WDFWORKITEM) {
    pool_ran_on = platform::scheduler::get().current().id;
    auto& s = platform::scheduler::get();
    platform::ticks until = s.now() + 10 * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    s.block(
        lk, [] { return false; }, until, "work");
    ++pool_runs;
}

// Lets every other thread run until it blocks (one tick of virtual time): a worker that has
// finished an item is idle afterwards.
void settle() {
    auto& s = platform::scheduler::get();
    platform::ticks later = s.now() + 1;
    std::unique_lock lk(s.lock());
    s.block(
        lk, [] { return false; }, later, "the workers to go idle");
}

// An id above that of every thread started so far (ids only grow).
std::uint64_t id_above_every_thread() {
    auto probe = platform::scheduler::get().start_thread("probe", [] {});
    const std::uint64_t id = probe->record()->id;
    probe->join();
    return id;
}

class WorkerThreads : public framework_test {
  protected:
    void SetUp() override {
        framework_test::SetUp();
        pool_runs = 0;
        create_device();
    }
    void TearDown() override {
        platform::wdf::pause_work_items(false);
        framework_test::TearDown();
    }
    WDFWORKITEM make() {
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, SlowItem);
        WDF_OBJECT_ATTRIBUTES a;
        WDF_OBJECT_ATTRIBUTES_INIT(&a);
        a.ParentObject = device();
        WDFWORKITEM item = nullptr;
        EXPECT_EQ(WdfWorkItemCreate(&config, &a, &item), STATUS_SUCCESS);
        return item;
    }
};

TEST_F(WorkerThreads, AreReusedFromOneItemToTheNextAndAddedOnlyWhenAllAreBusy) {
    auto& s = platform::scheduler::get();
    WDFWORKITEM a = make(), b = make(), c = make();
    WdfWorkItemEnqueue(a);
    WdfWorkItemFlush(a);
    settle();
    const std::size_t threads = s.thread_count();
    const std::uint64_t probe = id_above_every_thread();
    for (int i = 0; i < 10; ++i) {
        WdfWorkItemEnqueue(i % 2 == 0 ? b : a);
        WdfWorkItemFlush(i % 2 == 0 ? b : a);
        settle();
        // Workers never end, so a worker started for this item would show in the count.
        EXPECT_EQ(s.thread_count(), threads) << "round " << i;
        EXPECT_LT(pool_ran_on, probe) << "round " << i << " ran on a new thread";
    }

    // Three at once: all three overlap.
    auto all_three = [&] {
        for (WDFWORKITEM item : {a, b, c})
            WdfWorkItemEnqueue(item);
        for (WDFWORKITEM item : {a, b, c})
            WdfWorkItemFlush(item);
    };
    platform::ticks start = s.now();
    all_three();
    EXPECT_LT(s.now() - start, 20 * platform::ticks_per_ms);
    // Two more workers at most (fewer when others were idle already).
    const std::size_t busy_threads = s.thread_count();
    EXPECT_LE(busy_threads, threads + 2);
    settle();
    // Those three serve the next three without a new thread.
    all_three();
    EXPECT_EQ(s.thread_count(), busy_threads);
    EXPECT_EQ(pool_runs, 17);
}

TEST_F(WorkerThreads, AnIdleWorkerLeavesItemsOfAPausedQueueWaiting) {
    auto& s = platform::scheduler::get();
    WDFWORKITEM item = make();
    WdfWorkItemEnqueue(item);
    WdfWorkItemFlush(item);
    settle();  // its worker is idle now
    platform::wdf::pause_work_items(true);
    WdfWorkItemEnqueue(item);
    {
        platform::ticks later = s.now() + 100 * platform::ticks_per_ms;
        std::unique_lock lk(s.lock());
        s.block(
            lk, [] { return false; }, later, "time passing");
    }
    EXPECT_EQ(pool_runs, 1);
    EXPECT_EQ(platform::wdf::queued_work_items(), 1u);
    platform::wdf::pause_work_items(false);
    WdfWorkItemFlush(item);
    EXPECT_EQ(pool_runs, 2);
    EXPECT_EQ(platform::wdf::queued_work_items(), 0u);
}

}  // namespace
}  // namespace wdf_test
