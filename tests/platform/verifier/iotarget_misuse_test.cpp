// Verifier: misuse of driver-created requests and I/O targets. Each fragment does one wrong
// thing with a request sent to the test target driver and expects the bug check naming it.
#include "../wdf_io/io_target_harness.h"

using namespace io_target_test;
namespace wdf = platform::wdf;

namespace {

using iotarget_death_test = target_fixture;

VOID Ignore(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS, WDFCONTEXT) {}

// Waits a little in the completion routine, which the framework may call at DISPATCH_LEVEL.
VOID WaitInCompletion(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS, WDFCONTEXT) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10 * 1000 * 10;
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
}

WDFIOTARGET g_target = nullptr;

// Sends synchronously from the completion routine.
VOID SendFromCompletion(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS, WDFCONTEXT) {
    (void)WdfIoTargetSendIoctlSynchronously(g_target, nullptr, kEcho, nullptr, nullptr, nullptr,
                                            nullptr);
}

TEST_F(iotarget_death_test, sending_a_request_that_is_still_pending) {
    EXPECT_DEATH(
        {
            WDFIOTARGET t = make_target();
            WDFMEMORY memory = nullptr;
            WDFREQUEST r = pended_ioctl(t, &memory);
            WdfRequestSetCompletionRoutine(r, Ignore, nullptr);
            WdfRequestSend(r, t, WDF_NO_SEND_OPTIONS);
            WdfRequestSend(r, t, WDF_NO_SEND_OPTIONS);
        },
        "0x0000010D.*WdfRequestSend: the device control request .* created by the driver has "
        "already been sent and is still pending on an I/O target");
}

TEST_F(iotarget_death_test, deleting_a_request_that_is_still_pending) {
    EXPECT_DEATH(
        {
            WDFIOTARGET t = make_target();
            WDFMEMORY memory = nullptr;
            WDFREQUEST r = pended_ioctl(t, &memory);
            WdfRequestSend(r, t, WDF_NO_SEND_OPTIONS);
            WdfObjectDelete(r);
        },
        "0x0000010D.*WdfObjectDelete: the device control request .* created by the driver is "
        "still pending on an I/O target");
}

TEST_F(iotarget_death_test, reusing_a_request_that_is_still_pending) {
    EXPECT_DEATH(
        {
            WDFIOTARGET t = make_target();
            WDFMEMORY memory = nullptr;
            WDFREQUEST r = pended_ioctl(t, &memory);
            WdfRequestSend(r, t, WDF_NO_SEND_OPTIONS);
            WDF_REQUEST_REUSE_PARAMS reuse;
            WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
            WdfRequestReuse(r, &reuse);
        },
        "0x0000010D.*WdfRequestReuse: the device control request .* is still pending");
}

TEST_F(iotarget_death_test, using_a_target_after_deleting_it) {
    EXPECT_DEATH(
        {
            WDFIOTARGET t = make_target();
            WdfObjectDelete(t);
            WdfIoTargetClose(t);
        },
        "0x0000010D.*WdfIoTargetClose: WDFIOTARGET 0x[0-9a-f]+ used after it was deleted");
}

TEST_F(iotarget_death_test, completing_a_request_the_driver_created) {
    EXPECT_DEATH(
        {
            WDFIOTARGET t = make_target();
            WDFMEMORY memory = nullptr;
            WDFREQUEST r = pended_ioctl(t, &memory);
            WdfRequestComplete(r, STATUS_SUCCESS);
        },
        "0x0000010D.*WdfRequestComplete: the device control request .* created by the driver "
        "\\(WdfRequestCreate\\) is not completed by the driver");
}

// The default completion context calls the routine at DISPATCH_LEVEL, where a wait with a
// time-out is a bug check that names the completion routine.
TEST_F(iotarget_death_test, waiting_in_a_completion_routine) {
    EXPECT_DEATH(
        {
            wdf::set_completion_context(wdf::completion_context::always);
            WDFIOTARGET t = make_target();
            WDFMEMORY memory = nullptr;
            WDFREQUEST r = pended_ioctl(t, &memory);
            WdfRequestSetCompletionRoutine(r, WaitInCompletion, nullptr);
            WdfRequestSend(r, t, WDF_NO_SEND_OPTIONS);
            WdfRequestCancelSentRequest(r);
            wait_until([] { return false; }, 1000);
        },
        "0x0000000A.*KeWaitForSingleObject.*EvtRequestCompletionRoutine");
}

TEST_F(iotarget_death_test, sending_synchronously_from_a_completion_routine) {
    EXPECT_DEATH(
        {
            wdf::set_completion_context(wdf::completion_context::always);
            WDFIOTARGET t = make_target();
            g_target = t;
            WDFMEMORY memory = nullptr;
            WDFREQUEST r = pended_ioctl(t, &memory);
            WdfRequestSetCompletionRoutine(r, SendFromCompletion, nullptr);
            WdfRequestSend(r, t, WDF_NO_SEND_OPTIONS);
            WdfRequestCancelSentRequest(r);
            wait_until([] { return false; }, 1000);
        },
        "0x0000000A.*WdfIoTargetSendIoctlSynchronously called at IRQL 2 \\(it needs IRQL 0 "
        "or lower\\) in EvtRequestCompletionRoutine");
}

}  // namespace
