// A framework handle used after the driver deleted it: the bug check names the routine, the
// handle's type and that it was deleted, and the driver code it happened in.
#include <gtest/gtest.h>
#include <wdf.h>

namespace {

struct port {
    WDFWAITLOCK lock = nullptr;
};

// Tears the port down but keeps the stale handle.
VOID ClosePort(port* p) {
    WdfObjectDelete(p->lock);
}

// Runs later and still takes the deleted lock.
VOID ServicePort(PVOID context) {
    auto* p = static_cast<port*>(context);
    WdfWaitLockAcquire(p->lock, nullptr);
    WdfWaitLockRelease(p->lock);
}

TEST(KernelHandleVerifier, UsingADeletedWaitLockNamesTheRoutineTheTypeAndTheCallback) {
    port p;
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &p.lock), STATUS_SUCCESS);
    ServicePort(&p);  // fine while the lock exists
    ClosePort(&p);
    EXPECT_DEATH(
        {
            HANDLE h;
            PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ServicePort, &p);
            LARGE_INTEGER second;
            second.QuadPart = -10'000'000;
            KeDelayExecutionThread(KernelMode, FALSE, &second);
        },
        "0x0000010D: WdfWaitLockAcquire: WDFWAITLOCK 0x[0-9a-f]+ used after it was deleted in "
        "system thread routine \\(object 0x");
    EXPECT_DEATH(WdfWaitLockRelease(p.lock),
                 "0x0000010D: WdfWaitLockRelease: WDFWAITLOCK 0x[0-9a-f]+ used after it was "
                 "deleted");
}

}  // namespace
