// The stand-in dispatcher (see kept_controls.h).
#include "kept_controls.h"

#include "ioctl/ioctl_dispatch.h"
#include "session/read_write.h"
#include "vrax_device.h"

namespace session_test {

WDFREQUEST kept = nullptr;

namespace {

VOID KeptControlCancelled(WDFREQUEST Request) {
    if (Request == kept) {
        kept = nullptr;
    }
    WdfRequestComplete(Request, STATUS_CANCELLED);
}

}  // namespace
}  // namespace session_test

_Use_decl_annotations_ VOID EvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request,
                                               size_t OutputBufferLength, size_t InputBufferLength,
                                               ULONG IoControlCode) {
    UNREFERENCED_PARAMETER(Queue);
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    if (IoControlCode == session_test::notification_read_control) {
        WdfWaitLockAcquire(ClientSessionsLock, nullptr);
        ReadNotification(Request);
        WdfWaitLockRelease(ClientSessionsLock);
        return;
    }
    session_test::kept = Request;
    WdfRequestMarkCancelable(Request, session_test::KeptControlCancelled);
}
