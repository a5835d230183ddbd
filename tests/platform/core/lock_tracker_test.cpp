// The verifier's lock checks.
#include <gtest/gtest.h>

#include "core/lock_tracker.h"
#include "core/scheduler.h"

namespace lt = platform::lock_tracker;

namespace {

TEST(LockTracker, HeldLocksAreTrackedPerThread) {
    int a = 0, b = 0;
    lt::on_acquire(&a, "wait lock");
    lt::on_acquire(&b, "spin lock");
    EXPECT_TRUE(lt::held_by_current(&a));
    EXPECT_EQ(lt::held_count(), 2u);
    bool held_elsewhere = true;
    auto t = platform::scheduler::get().start_thread(
        "other", [&] { held_elsewhere = lt::held_by_current(&a); });
    t->join();
    EXPECT_FALSE(held_elsewhere);
    lt::on_release(&a, "wait lock");  // release order need not match acquisition order
    lt::on_release(&b, "spin lock");
    lt::expect_none_held("the test");
    lt::forget(&a);
    lt::forget(&b);
}

TEST(LockTracker, MisuseIsABugCheck) {
    int a = 0, b = 0;
    EXPECT_DEATH(
        {
            lt::on_acquire(&a, "wait lock");
            lt::on_acquire(&a, "wait lock");
        },
        "0x000000C4.*recursively");
    EXPECT_DEATH(lt::on_release(&b, "spin lock"), "0x000000C4.*does not hold");
    EXPECT_DEATH(
        {
            lt::on_acquire(&a, "wait lock");
            lt::expect_none_held("EvtIoRead");
        },
        "0x000000C4.*EvtIoRead");
    EXPECT_DEATH(
        {
            lt::on_acquire(&a, "wait lock");
            lt::forget(&a);
        },
        "0x000000C4.*deleted while held");
}

TEST(LockTracker, AnInversionIsReportedEvenWhenTheOrdersNeverOverlap) {
    int a = 0, b = 0, c = 0;
    lt::reset_graph();
    lt::on_acquire(&a, "lock");
    lt::on_acquire(&b, "lock");
    lt::on_release(&b, "lock");
    lt::on_release(&a, "lock");
    lt::on_acquire(&b, "lock");
    lt::on_acquire(&c, "lock");
    lt::on_release(&c, "lock");
    lt::on_release(&b, "lock");
    // c then a closes the cycle a -> b -> c -> a.
    EXPECT_DEATH(
        {
            lt::on_acquire(&c, "lock");
            lt::on_acquire(&a, "lock");
        },
        "0x000000C4.*lock order inversion");
    // Forgetting a lock drops its edges.
    lt::forget(&b);
    lt::on_acquire(&c, "lock");
    lt::on_acquire(&a, "lock");
    lt::on_release(&a, "lock");
    lt::on_release(&c, "lock");
    lt::reset_graph();
}

}  // namespace
