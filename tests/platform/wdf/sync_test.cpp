// Wait locks and spin locks: time-outs on the scheduler's clock, and the verifier's checks
// for recursion, release by another thread and acquisition at raised IRQL.
#include "core/scheduler.h"
#include "wdf_fixture.h"

namespace wdf_test {
namespace {

using Locks = framework_test;

WDFWAITLOCK make_wait_lock() {
    WDFWAITLOCK lock = nullptr;
    EXPECT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    return lock;
}

TEST_F(Locks, WaitLockTimesOutWhileAnotherThreadHoldsItAndIsTakenOnceReleased) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    WDFWAITLOCK lock = make_wait_lock();
    ASSERT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);

    auto& s = platform::scheduler::get();
    NTSTATUS try_once = STATUS_PENDING, timed = STATUS_PENDING, forever = STATUS_PENDING;
    platform::ticks waited = 0;
    bool released = false;
    bool timed_out = false;  // guarded by the scheduler lock
    auto t = s.start_thread("contender", [&] {
        LONGLONG zero = 0;
        try_once = WdfWaitLockAcquire(lock, &zero);
        LONGLONG fifty_ms = WDF_REL_TIMEOUT_IN_MS(50);
        platform::ticks before = s.now();
        timed = WdfWaitLockAcquire(lock, &fifty_ms);
        waited = s.now() - before;
        {
            std::lock_guard lk(s.lock());
            timed_out = true;
            s.wake();
        }
        forever = WdfWaitLockAcquire(lock, nullptr);
        EXPECT_TRUE(released);
        WdfWaitLockRelease(lock);
    });
    // Let the contender time out twice (virtual time moves only when everyone waits).
    {
        std::unique_lock lk(s.lock());
        s.block(
            lk, [&] { return timed_out; }, platform::no_deadline, "contender");
    }
    released = true;
    WdfWaitLockRelease(lock);
    t->join();
    EXPECT_EQ(try_once, STATUS_TIMEOUT);
    EXPECT_EQ(timed, STATUS_TIMEOUT);
    EXPECT_GE(waited, 50 * platform::ticks_per_ms);
    EXPECT_EQ(forever, STATUS_SUCCESS);
}

// WdfWaitLockAcquire reads its time-out as the kernel does: negative is an interval, positive
// an absolute system time; either way STATUS_TIMEOUT once it passes while another thread
// holds the lock.
TEST_F(Locks, WaitLockTimeOutsExpireAtTheirRelativeOrAbsoluteTime) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    WDFWAITLOCK lock = make_wait_lock();
    auto& s = platform::scheduler::get();
    bool held = false;  // guarded by the scheduler lock
    auto holder = s.start_thread("holder", [&] {
        ASSERT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
        {
            std::lock_guard lk(s.lock());
            held = true;
            s.wake();
        }
        LARGE_INTEGER ten_seconds;
        ten_seconds.QuadPart = WDF_REL_TIMEOUT_IN_SEC(10);
        KeDelayExecutionThread(KernelMode, FALSE, &ten_seconds);
        WdfWaitLockRelease(lock);
    });
    {
        std::unique_lock lk(s.lock());
        s.block(
            lk, [&] { return held; }, platform::no_deadline, "holder");
    }
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LONGLONG in_one_second = now.QuadPart + WDF_ABS_TIMEOUT_IN_SEC(1);
    ULONGLONG start = KeQueryInterruptTime();
    EXPECT_EQ(WdfWaitLockAcquire(lock, &in_one_second), STATUS_TIMEOUT);
    EXPECT_EQ(KeQueryInterruptTime() - start, 1ull * 10'000'000);
    LONGLONG two_seconds = WDF_REL_TIMEOUT_IN_SEC(2);
    EXPECT_EQ(WdfWaitLockAcquire(lock, &two_seconds), STATUS_TIMEOUT);
    EXPECT_EQ(KeQueryInterruptTime() - start, 3ull * 10'000'000);
    LONGLONG already_past = now.QuadPart;
    EXPECT_EQ(WdfWaitLockAcquire(lock, &already_past), STATUS_TIMEOUT);
    EXPECT_EQ(KeQueryInterruptTime() - start, 3ull * 10'000'000);
    // Far enough ahead, the wait ends when the holder releases the lock, after 10 s.
    LONGLONG in_a_minute = now.QuadPart + WDF_ABS_TIMEOUT_IN_SEC(60);
    EXPECT_EQ(WdfWaitLockAcquire(lock, &in_a_minute), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime() - start, 10ull * 10'000'000);
    WdfWaitLockRelease(lock);
    holder->join();
}

// Kernel waits with a time-out are allowed at APC_LEVEL; a wait-lock acquisition that may
// wait is not (WdfWaitLockAcquire: a time-out other than zero needs PASSIVE_LEVEL).
TEST_F(Locks, WaitLockThatMayWaitAtApcLevelIsABugCheck) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    WDFWAITLOCK lock = make_wait_lock();
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    LONGLONG zero = 0;
    EXPECT_EQ(WdfWaitLockAcquire(lock, &zero), STATUS_SUCCESS);
    WdfWaitLockRelease(lock);
    LONGLONG one_ms = WDF_REL_TIMEOUT_IN_MS(1);
    EXPECT_DEATH(WdfWaitLockAcquire(lock, &one_ms),
                 "0x0000000A.*wait lock 0x[0-9a-f]+ acquired with a non-zero time-out at IRQL 1");
    EXPECT_DEATH(WdfWaitLockAcquire(lock, nullptr),
                 "0x0000000A.*acquired with no time-out at IRQL 1.*sync_test.cpp");
    KeLowerIrql(old);
}

TEST_F(Locks, RecursiveAcquireIsAVerifierError) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    WDFWAITLOCK lock = make_wait_lock();
    ASSERT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
    EXPECT_DEATH(WdfWaitLockAcquire(lock, nullptr), "0x000000C4.*recursively");
    LONGLONG zero = 0;
    EXPECT_DEATH(WdfWaitLockAcquire(lock, &zero), "0x000000C4.*recursively");
    WdfWaitLockRelease(lock);
}

TEST_F(Locks, ReleaseByAThreadThatDoesNotHoldTheLockIsAVerifierError) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    WDFWAITLOCK lock = make_wait_lock();
    EXPECT_DEATH(WdfWaitLockRelease(lock), "0x000000C4.*does not hold");
    ASSERT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
    EXPECT_DEATH(
        {
            auto t =
                platform::scheduler::get().start_thread("other", [&] { WdfWaitLockRelease(lock); });
            t->join();
        },
        "0x000000C4.*does not hold");
    WdfWaitLockRelease(lock);
}

TEST_F(Locks, WaitLockAtDispatchLevelIsABugCheckButATryIsAllowed) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    WDFWAITLOCK lock = make_wait_lock();
    WDFSPINLOCK spin = nullptr;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &spin), STATUS_SUCCESS);
    auto& me = platform::scheduler::get().current();
    WdfSpinLockAcquire(spin);
    EXPECT_EQ(me.irql, DISPATCH_LEVEL);
    EXPECT_DEATH(WdfWaitLockAcquire(lock, nullptr), "0x0000000A");
    LONGLONG zero = 0;
    EXPECT_EQ(WdfWaitLockAcquire(lock, &zero), STATUS_SUCCESS);
    WdfWaitLockRelease(lock);
    WdfSpinLockRelease(spin);
    EXPECT_EQ(me.irql, PASSIVE_LEVEL);
}

TEST_F(Locks, DeletingAHeldLockIsAVerifierError) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    WDFWAITLOCK lock = make_wait_lock();
    ASSERT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
    EXPECT_DEATH(WdfObjectDelete(lock), "0x000000C4.*deleted while held");
    WdfWaitLockRelease(lock);
}

TEST_F(Locks, AcquisitionWithATimeOutCanBeMadeToFail) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    WDFWAITLOCK lock = make_wait_lock();
    platform::faults::fail_always("WdfWaitLockAcquire", STATUS_TIMEOUT);
    LONGLONG zero = 0;
    EXPECT_EQ(WdfWaitLockAcquire(lock, &zero), STATUS_TIMEOUT);
    // Without a time-out the acquisition cannot fail.
    EXPECT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
    platform::faults::clear();
    WdfWaitLockRelease(lock);
}

}  // namespace
}  // namespace wdf_test
