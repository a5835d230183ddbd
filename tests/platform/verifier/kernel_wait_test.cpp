// Waits that may block at DISPATCH_LEVEL: the bug check names the wait routine, the driver's
// call and the driver callback it ran in.
#include <gtest/gtest.h>
#include <wdf.h>

#include <string>

namespace {

struct poller {
    WDFSPINLOCK lock = nullptr;
    KEVENT ready;
    bool forever = false;
};

// Waits for the hardware while holding a spin lock: at DISPATCH_LEVEL only a zero time-out
// is allowed.
VOID PollUnderSpinLock(PVOID context) {
    auto* p = static_cast<poller*>(context);
    WdfSpinLockAcquire(p->lock);
    LARGE_INTEGER ten_ms;
    ten_ms.QuadPart = -10 * 10'000;
    KeWaitForSingleObject(&p->ready, Executive, KernelMode, FALSE, p->forever ? nullptr : &ten_ms);
    WdfSpinLockRelease(p->lock);
}

void run_in_system_thread(PKSTART_ROUTINE routine, PVOID context) {
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

class KernelWaitVerifier : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &p.lock), STATUS_SUCCESS);
        KeInitializeEvent(&p.ready, NotificationEvent, FALSE);
    }
    void TearDown() override { WdfObjectDelete(p.lock); }
    poller p;
};

TEST_F(KernelWaitVerifier, AWaitWithANonZeroTimeOutAtDispatchLevel) {
    EXPECT_DEATH(run_in_system_thread(PollUnderSpinLock, &p),
                 "0x0000000A: KeWaitForSingleObject with a non-zero time-out at IRQL 2 \\(above "
                 "APC_LEVEL\\), called from .*PollUnderSpinLock \\(tests/platform/verifier/"
                 "kernel_wait_test.cpp:[0-9]+\\) in system thread routine \\(object 0x");
}

TEST_F(KernelWaitVerifier, AWaitWithNoTimeOutAtDispatchLevel) {
    p.forever = true;
    EXPECT_DEATH(run_in_system_thread(PollUnderSpinLock, &p),
                 "0x0000000A: KeWaitForSingleObject with no time-out at IRQL 2 .*called from "
                 ".*PollUnderSpinLock .*in system thread routine");
}

}  // namespace
