// System threads: creation, the waitable thread object, termination and the checks made
// when a thread ends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <wdm.h>

#include <string>

#include "core/lock_tracker.h"
#include "kernel/kernel.h"

namespace {

struct thread_probe {
    PETHREAD self = nullptr;
    BOOLEAN system = FALSE;
    NTSTATUS exit_with = STATUS_SUCCESS;
    bool terminate = false;
    bool ran_past_terminate = false;
};

VOID probe_routine(PVOID context) {
    auto* p = static_cast<thread_probe*>(context);
    p->self = PsGetCurrentThread();
    p->system = PsIsSystemThread(p->self);
    LARGE_INTEGER delay;
    delay.QuadPart = -10 * 10'000;  // 10 ms: the creator is waiting on us meanwhile
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    if (p->terminate) {
        PsTerminateSystemThread(p->exit_with);
    }
    p->ran_past_terminate = true;
}

PETHREAD reference_thread(HANDLE h) {
    PVOID thread = nullptr;
    EXPECT_EQ(
        ObReferenceObjectByHandle(h, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
        STATUS_SUCCESS);
    return static_cast<PETHREAD>(thread);
}

TEST(SystemThreads, TheThreadObjectIsSignalledWhenTheThreadEnds) {
    thread_probe probe;
    HANDLE h = nullptr;
    OBJECT_ATTRIBUTES attrs;
    InitializeObjectAttributes(&attrs, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, &attrs, nullptr, nullptr, probe_routine,
                                   &probe),
              STATUS_SUCCESS);
    EXPECT_TRUE(platform::ob::is_kernel_handle(h));
    PETHREAD thread = reference_thread(h);
    ULONGLONG before = KeQueryInterruptTime();
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime() - before, 10ull * 10'000);
    EXPECT_EQ(probe.self, thread);
    EXPECT_TRUE(probe.system);
    EXPECT_TRUE(probe.ran_past_terminate);
    EXPECT_TRUE(platform::kernel::thread_terminated(thread));
    EXPECT_EQ(platform::kernel::thread_exit_status(thread), STATUS_SUCCESS);
    // Still signalled: a second wait returns at once.
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST(SystemThreads, PsTerminateSystemThreadEndsTheThreadWithItsStatus) {
    thread_probe probe;
    probe.terminate = true;
    probe.exit_with = STATUS_CANCELLED;
    HANDLE h = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, probe_routine,
                                   &probe),
              STATUS_SUCCESS);
    PETHREAD thread = reference_thread(h);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    EXPECT_FALSE(probe.ran_past_terminate);
    EXPECT_EQ(platform::kernel::thread_exit_status(thread), STATUS_CANCELLED);
    ObDereferenceObject(thread);
    ZwClose(h);
}

TEST(SystemThreads, ThreadIdentityAndHandles) {
    PETHREAD me = PsGetCurrentThread();
    EXPECT_EQ(static_cast<PVOID>(KeGetCurrentThread()), static_cast<PVOID>(me));
    EXPECT_FALSE(PsIsSystemThread(me));  // the test's own thread
    // NtCurrentThread() names the caller.
    PVOID self = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(-2), 0, *PsThreadType, KernelMode,
                                        &self, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(self, me);
    ObDereferenceObject(self);
    EXPECT_EQ(KeSetPriorityThread(KeGetCurrentThread(), 12), 8);
    EXPECT_EQ(KeSetPriorityThread(KeGetCurrentThread(), 8), 12);

    thread_probe probe;
    HANDLE h = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, probe_routine,
                                   &probe),
              STATUS_SUCCESS);
    PVOID wrong = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(ObReferenceObjectByHandle(h, 0, *ExEventObjectType, KernelMode, &wrong, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(wrong, nullptr);
    EXPECT_EQ(ObReferenceObjectByHandle(h, 0, *PsThreadType, UserMode, &wrong, nullptr),
              STATUS_INVALID_HANDLE);
    PETHREAD thread = reference_thread(h);
    EXPECT_NE(thread, me);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    // The reference keeps the object usable after its handle is closed.
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    EXPECT_EQ(PsCreateSystemThread(nullptr, 0, nullptr, nullptr, nullptr, probe_routine, &probe),
              STATUS_INVALID_PARAMETER);
}

VOID return_holding_a_lock(PVOID context) {
    platform::lock_tracker::on_acquire(context, "spin lock");
}

VOID return_at_dispatch(PVOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

void run_and_wait(PKSTART_ROUTINE routine, PVOID context) {
    HANDLE h;
    ASSERT_EQ(
        PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context),
        STATUS_SUCCESS);
    PETHREAD thread = reference_thread(h);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
}

TEST(SystemThreads, AThreadThatEndsHoldingALockOrAtRaisedIrqlIsABugCheck) {
    int lock = 0;
    EXPECT_DEATH(run_and_wait(return_holding_a_lock, &lock),
                 "0x000000C4: lock still held when system thread routine \\(object 0x[0-9a-f]+\\) "
                 "returned: spin lock 0x[0-9a-f]+ acquired by the platform");
    EXPECT_DEATH(run_and_wait(return_at_dispatch, nullptr),
                 "0x0000000A.*system thread routine.*returned at IRQL 2, called at 0");
}

struct parked_thread {
    KEVENT go;
    HANDLE handle = nullptr;
};

VOID park_until_told(PVOID context) {
    auto* p = static_cast<parked_thread*>(context);
    KeWaitForSingleObject(&p->go, Executive, KernelMode, FALSE, nullptr);
}

// The unload check: a system thread still in its start routine is reported with the routine
// and where it was created; once the routine has returned the check passes.
TEST(SystemThreads, AThreadStillRunningDriverCodeIsReportedUntilItReturns) {
    parked_thread parked;
    KeInitializeEvent(&parked.go, NotificationEvent, FALSE);
    int line = __LINE__ + 1;
    ASSERT_EQ(PsCreateSystemThread(&parked.handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   park_until_told, &parked),
              STATUS_SUCCESS);
    auto running = platform::kernel::driver_threads_running(nullptr);
    ASSERT_EQ(running.size(), 1u);
    EXPECT_THAT(running[0], testing::HasSubstr("start routine "));
    EXPECT_THAT(running[0], testing::HasSubstr("park_until_told (tests/platform/kernel/"
                                               "threads_test.cpp:"));
    EXPECT_THAT(running[0], testing::HasSubstr("threads_test.cpp:" + std::to_string(line)));
    EXPECT_DEATH(platform::kernel::expect_no_driver_threads(nullptr),
                 "0x000000CE.*unloaded while its system threads still run.*park_until_told");
    // A thread created outside any driver belongs to none in particular.
    DRIVER_OBJECT other{};
    EXPECT_TRUE(platform::kernel::driver_threads_running(&other).empty());
    KeSetEvent(&parked.go, IO_NO_INCREMENT, FALSE);
    PETHREAD thread = reference_thread(parked.handle);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    ZwClose(parked.handle);
    EXPECT_TRUE(platform::kernel::driver_threads_running(nullptr).empty());
    platform::kernel::expect_no_driver_threads(nullptr);
}

TEST(SystemThreads, TerminatingAThreadThePlatformDidNotCreateIsABugCheck) {
    EXPECT_DEATH(PsTerminateSystemThread(STATUS_SUCCESS), "0x000000C4.*not a system thread");
}

}  // namespace
