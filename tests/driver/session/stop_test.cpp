// The default queue's stop callback with a cancelable request the driver keeps: the
// session's waiting control is told to give up through AbortEvent, and a request without a
// session is completed as cancelled.
#include "kept_controls.h"
#include "session_fixture.h"

#include "io/io_manager.h"
#include "io/irp.h"

#include "vrax_device.h"

namespace session_test {
namespace {

WDFQUEUE client_queue() {
    return GetVraxDeviceContext(::ControlDevice)->ClientQueue;
}

TEST_F(Session, StopOfAKeptCancelableControlSetsTheSessionsAbortEvent) {
    bring_up();
    HANDLE h = open_vrax(/*overlapped=*/true);
    PCLIENT_CONTEXT s = session_of(h);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    EXPECT_FALSE(DeviceIoControl(h, 0x12410, nullptr, 0, nullptr, 0, &n, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_NE(kept, nullptr);

    // Without the cancelable flag the stop leaves the request and the session alone.
    EvtIoStop(client_queue(), kept, WdfRequestStopActionSuspend);
    EXPECT_EQ(KeReadStateEvent(&s->AbortEvent), 0);
    EvtIoStop(client_queue(), kept, WdfRequestStopActionPurge | WdfRequestStopRequestCancelable);
    EXPECT_NE(KeReadStateEvent(&s->AbortEvent), 0);
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov)) << "the control's owner completes it";

    ASSERT_EQ(WdfRequestUnmarkCancelable(kept), STATUS_SUCCESS);
    WdfRequestComplete(kept, STATUS_SUCCESS);
    kept = nullptr;
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    CloseHandle(ov.hEvent);
    CloseHandle(h);
}

TEST_F(Session, StopOfAKeptCancelableRequestWithoutSessionCompletesItCancelled) {
    bring_up();
    // A kernel-mode sender's control with no file object: it belongs to no session.
    _IRP irp;
    irp.major = IRP_MJ_DEVICE_CONTROL;
    irp.ioctl_code = 0x12410;
    irp.requestor_mode = KernelMode;
    bool done = false;
    irp.on_complete = [&done](PIRP) {
        auto& sch = platform::scheduler::get();
        std::lock_guard g(sch.lock());
        done = true;
        sch.wake();
    };
    EXPECT_EQ(platform::io::call_driver(machine_->control_device_object(), &irp), STATUS_PENDING);
    ASSERT_NE(kept, nullptr);
    EvtIoStop(client_queue(), kept, WdfRequestStopActionPurge | WdfRequestStopRequestCancelable);
    ASSERT_TRUE(wait_until([&] { return done; }));
    EXPECT_EQ(irp.status, STATUS_CANCELLED);
    kept = nullptr;
}

}  // namespace
}  // namespace session_test
