// The verifier's lock checks.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

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

// Stands in for an exported acquire routine: reports the caller's call site.
[[gnu::noinline]] void acquire_here(const void* lock, const void* handle) {
    lt::on_acquire(lock, "wait lock", handle, __builtin_return_address(0));
}

std::string at_line(int line) {
    return "tests/platform/core/lock_tracker_test.cpp:" + std::to_string(line);
}

TEST(LockTracker, ReportsNameTheLockByKindAndHandleAndWhereItWasAcquired) {
    int a = 0, b = 0;
    auto* handle_a = reinterpret_cast<const void*>(std::uintptr_t(0x1a8));
    auto* handle_b = reinterpret_cast<const void*>(std::uintptr_t(0x2b8));
    lt::reset_graph();
    int a_then_b = __LINE__ + 1;
    acquire_here(&a, handle_a);
    acquire_here(&b, handle_b);
    EXPECT_EQ(lt::describe_held(1),
              "wait lock 0x2b8 acquired at "
              "(anonymous "
              "namespace)::LockTracker_ReportsNameTheLockByKindAndHandleAndWhereItWasAcquired_Test:"
              ":TestBody (" +
                  at_line(a_then_b + 1) + ")");
    EXPECT_DEATH(lt::expect_held_count(1, "EvtIoRead (queue 0x10)"),
                 "lock still held when EvtIoRead \\(queue 0x10\\) returned: wait lock 0x2b8 "
                 "acquired at .*" +
                     at_line(a_then_b + 1));
    EXPECT_DEATH(
        acquire_here(&a, handle_a),
        "wait lock 0x1a8 acquired recursively by its owner: acquired at .*lock_tracker_test"
        ".*while already acquired at .*" +
            at_line(a_then_b));
    lt::on_release(&b, "wait lock", handle_b);
    lt::on_release(&a, "wait lock", handle_a);
    EXPECT_DEATH(lt::on_release(&a, "wait lock", handle_a),
                 "wait lock 0x1a8 released by a thread that does not hold it \\('test'\\); no "
                 "thread holds it");
    // b then a: both orders, each with both acquisition sites.
    int b_then_a = __LINE__ + 1;
    acquire_here(&b, handle_b);
    EXPECT_DEATH(acquire_here(&a, handle_a),
                 "lock order inversion: wait lock 0x1a8 acquired at .*" + at_line(b_then_a + 1) +
                     ".* while holding wait lock 0x2b8 acquired at .*" + at_line(b_then_a) +
                     ".*; the opposite order was seen before: wait lock 0x2b8 acquired at .*" +
                     at_line(a_then_b + 1) + ".* while holding wait lock 0x1a8 acquired at .*" +
                     at_line(a_then_b));
    lt::on_release(&b, "wait lock", handle_b);
    lt::forget(&a);
    lt::forget(&b);
}

}  // namespace
