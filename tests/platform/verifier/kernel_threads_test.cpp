// System threads the driver mishandles: one still running its code when the driver unloads,
// one returning holding a wait lock, one returning at raised IRQL.
#include <gtest/gtest.h>
#include <wdf.h>

#include <string>

#include "pnp/pnp_manager.h"

namespace {

// ---- A driver whose unload forgets its service thread ------------------------------------

KEVENT service_stop;
HANDLE service_thread = nullptr;

VOID ServiceThread(PVOID) {
    KeWaitForSingleObject(&service_stop, Executive, KernelMode, FALSE, nullptr);
}

EVT_WDF_DRIVER_UNLOAD ForgetfulUnload;
VOID ForgetfulUnload(WDFDRIVER) {
    // Should set service_stop and wait for the thread before returning.
}

int thread_created_line = 0;

NTSTATUS ThreadDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, WDF_NO_EVENT_CALLBACK);
    config.DriverInitFlags |= WdfDriverInitNonPnpDriver;
    config.EvtDriverUnload = ForgetfulUnload;
    NTSTATUS status =
        WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KeInitializeEvent(&service_stop, NotificationEvent, FALSE);
    thread_created_line = __LINE__ + 1;
    return PsCreateSystemThread(&service_thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                ServiceThread, nullptr);
}

TEST(KernelThreadVerifier, AThreadStillRunningAtUnloadIsNamedWithItsRoutineAndCreator) {
    auto* drv = platform::pnp::register_driver({u"kthread", ThreadDriverEntry, {}});
    ASSERT_EQ(platform::pnp::load_driver(drv), STATUS_SUCCESS);
    EXPECT_DEATH(platform::pnp::unload_driver(drv),
                 "0x000000CE: driver '\\\\Driver\\\\kthread' unloaded while its system threads "
                 "still run:.*system thread '.*' still running driver code: start routine "
                 ".*ServiceThread \\(tests/platform/verifier/kernel_threads_test.cpp:[0-9]+\\), "
                 "created at .*ThreadDriverEntry \\(tests/platform/verifier/"
                 "kernel_threads_test.cpp:" +
                     std::to_string(thread_created_line) + "\\)");
    // What the unload should have done: stop the thread and wait for it.
    KeSetEvent(&service_stop, IO_NO_INCREMENT, FALSE);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(service_thread, SYNCHRONIZE, *PsThreadType, KernelMode,
                                        &thread, nullptr),
              STATUS_SUCCESS);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    ZwClose(service_thread);
    EXPECT_EQ(platform::pnp::unload_driver(drv), STATUS_SUCCESS);
}

// ---- Threads that return without undoing what they did -----------------------------------

struct worker {
    WDFWAITLOCK lock = nullptr;
    bool queue_empty = true;
};

// Takes the lock, then leaves early on an empty queue without releasing it.
VOID DrainQueue(PVOID context) {
    auto* w = static_cast<worker*>(context);
    WdfWaitLockAcquire(w->lock, nullptr);
    if (w->queue_empty) {
        return;
    }
    WdfWaitLockRelease(w->lock);
}
constexpr int drain_acquire_line = __LINE__ - 6;

// Raises the IRQL for a short section and returns without lowering it.
VOID RaiseAndForget(PVOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

void run_and_wait(PKSTART_ROUTINE routine, PVOID context) {
    HANDLE h;
    ASSERT_EQ(
        PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context),
        STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(
        ObReferenceObjectByHandle(h, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
        STATUS_SUCCESS);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    ZwClose(h);
}

TEST(KernelThreadVerifier, AThreadReturningHoldingAWaitLockNamesTheLockAndWhereItWasTaken) {
    worker w;
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &w.lock), STATUS_SUCCESS);
    // (Handle values depend on what ran before in the process, so the pattern matches any.)
    EXPECT_DEATH(run_and_wait(DrainQueue, &w),
                 "0x000000C4: lock still held when system thread routine \\(object 0x[0-9a-f]+\\) "
                 "returned: wait lock 0x[0-9a-f]+ acquired at .*DrainQueue "
                 "\\(tests/platform/verifier/kernel_threads_test.cpp:" +
                     std::to_string(drain_acquire_line) + "\\)");
    w.queue_empty = false;
    run_and_wait(DrainQueue, &w);  // the path that releases it is fine
    WdfObjectDelete(w.lock);
}

TEST(KernelThreadVerifier, AThreadReturningAtRaisedIrqlIsNamed) {
    EXPECT_DEATH(run_and_wait(RaiseAndForget, nullptr),
                 "0x0000000A: system thread routine \\(object 0x[0-9a-f]+\\) returned at IRQL 2, "
                 "called at 0 \\(raised and never lowered\\)");
}

}  // namespace
