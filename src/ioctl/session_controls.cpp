// The controls completed at once: resetting a session, submitting a control request,
// the port-stop request, binding a session to a service, and the two read controls, which
// hand their request to the read path.
#include <ntddk.h>
#include <wdf.h>

#include "../driver/code_sections.h"
#include "../protocol/control_requests.h"
#include "../session/delivery.h"
#include "../session/read_write.h"
#include "../session/session.h"
#include "../session/session_index.h"
#include "../vrax_wire.h"
#include "ioctl_controls.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "session_controls.tmh"
#endif

// 0x12400: the session counts as bound and takes the key of the zeroed output record, 0.
// Any other length than 8 in and 12 out is refused as an invalid parameter.
VRAX_PAGED_CODE
_Use_decl_annotations_ VOID ResetSessionControl(PVRAX_DEVICE_CONTEXT Context, WDFREQUEST Request,
                                                size_t OutputBufferLength,
                                                size_t InputBufferLength) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Context);

    if (InputBufferLength != VRAX_RESET_INPUT_SIZE ||
        OutputBufferLength != VRAX_RESET_OUTPUT_SIZE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "reset: in %Iu, out %Iu", InputBufferLength,
                    OutputBufferLength);
        VRAX_REFUSE(Request, STATUS_INVALID_PARAMETER);
        return;
    }
    PVOID input = nullptr;
    PVOID output = nullptr;
    if (!NT_SUCCESS(WdfRequestRetrieveInputBuffer(Request, 0, &input, nullptr)) ||
        !NT_SUCCESS(WdfRequestRetrieveOutputBuffer(Request, 0, &output, nullptr))) {
        VRAX_REFUSE(Request, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    PUCHAR record = static_cast<PUCHAR>(output);
    RtlZeroMemory(record, VRAX_RESET_OUTPUT_SIZE);
    PCLIENT_CONTEXT session = SessionOfRequest(Request);
    if (session == nullptr) {
        VRAX_REFUSE(Request, STATUS_INVALID_DEVICE_REQUEST);
        return;
    }
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    session->Kind = VRAX_SESSION_KIND_BOUND;
    // The key index follows the session to its new key.
    RekeySession(session, IoctlReadU32(record));
    WdfWaitLockRelease(ClientSessionsLock);
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 0);
}

// 0x12404: the descriptor and body go to the control service as they are; the outcome is
// only traced, and the control succeeds whatever it was.
VRAX_PAGED_CODE
_Use_decl_annotations_ VOID SubmitControlRequestControl(PVRAX_DEVICE_CONTEXT Context,
                                                        WDFREQUEST Request,
                                                        size_t OutputBufferLength,
                                                        size_t InputBufferLength) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);

    PVOID input = nullptr;
    size_t length = 0;
    if (!NT_SUCCESS(WdfRequestRetrieveInputBuffer(Request, 0, &input, &length))) {
        VRAX_REFUSE(Request, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    // A buffered input never reaches 4 GiB; the cut keeps a larger one from wrapping.
    ULONG submitted = length > MAXULONG ? MAXULONG : (ULONG)length;
    // A transaction id (1..255) or 0 is a request sent or kept; only a negative result failed.
    int result = SubmitControlIoctl(static_cast<PUCHAR>(input), submitted);
    if (result < 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "submitted control request (%u bytes): %d",
                    submitted, result);
    }
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 0);
}

// 0x12408: records the stop request, which the next message-read control consumes. The
// port's I/O target is left alone.
VRAX_PAGED_CODE
_Use_decl_annotations_ VOID StopPortControl(PVRAX_DEVICE_CONTEXT Context, WDFREQUEST Request,
                                            size_t OutputBufferLength, size_t InputBufferLength) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(OutputBufferLength);

    if (InputBufferLength != VRAX_STOP_PORT_INPUT_SIZE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "stop port: in %Iu", InputBufferLength);
        VRAX_REFUSE(Request, STATUS_INVALID_PARAMETER);
        return;
    }
    PVOID input = nullptr;
    if (!NT_SUCCESS(WdfRequestRetrieveInputBuffer(Request, 0, &input, nullptr))) {
        VRAX_REFUSE(Request, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    KeSetEvent(&PortStopRequestEvent, 1, FALSE);
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, 0);
}

// 0x1240C: the first message read after a stop request fails once; otherwise the read path
// completes the request or parks it.
VRAX_PAGED_CODE
_Use_decl_annotations_ VOID ReadMessageControl(PVRAX_DEVICE_CONTEXT Context, WDFREQUEST Request,
                                               size_t OutputBufferLength,
                                               size_t InputBufferLength) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);

    LARGE_INTEGER now;
    now.QuadPart = 0;
    if (KeWaitForSingleObject(&PortStopRequestEvent, Executive, KernelMode, FALSE, &now) ==
        STATUS_SUCCESS) {
        KeClearEvent(&PortStopRequestEvent);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "message read after a stop request");
        VRAX_REFUSE(Request, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    PVOID output = nullptr;
    if (!NT_SUCCESS(WdfRequestRetrieveOutputBuffer(Request, 0, &output, nullptr))) {
        VRAX_REFUSE(Request, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    ReadServiceMessage(Request);
    WdfWaitLockRelease(ClientSessionsLock);
}

namespace {

// Writes the bound service's version words: two with 4 bytes or more, all four with exactly
// 8. The bytes written.
ULONG WriteVersionOutput(PUCHAR Output, size_t Length, const USHORT* Words) {
    if (Length < VRAX_VERSION_OUTPUT_HALF) {
        return 0;
    }
    VraxWriteU16(Output, Words[0]);
    VraxWriteU16(Output + 2, Words[1]);
    if (Length != VRAX_VERSION_OUTPUT_FULL) {
        return VRAX_VERSION_OUTPUT_HALF;
    }
    VraxWriteU16(Output + 4, Words[2]);
    VraxWriteU16(Output + 6, Words[3]);
    return VRAX_VERSION_OUTPUT_FULL;
}

}  // namespace

// 0x12418 and 0x1241C: binds the session to a service type (and, with an 8-byte input, a
// port), returns the service's version words, and posts "port ready" to a session binding
// for the first time to a service that reports its port state. The version words come from
// the input's port with an 8-byte input and from port 0 otherwise. An input shorter than the
// service type, a port above 28 or a service type above 254 is refused before the session or
// the version table is touched. A client id the session holds is given back to the control
// service: binding replaces the id, so clean-up would no longer release it.
VRAX_PAGED_CODE
_Use_decl_annotations_ VOID BindServiceControl(PVRAX_DEVICE_CONTEXT Context, WDFREQUEST Request,
                                               size_t OutputBufferLength,
                                               size_t InputBufferLength) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(OutputBufferLength);

    PVOID input = nullptr;
    if (!NT_SUCCESS(WdfRequestRetrieveInputBuffer(Request, 0, &input, nullptr))) {
        VRAX_REFUSE(Request, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    if (InputBufferLength < VRAX_BIND_INPUT_MIN) {
        VRAX_REFUSE(Request, STATUS_INVALID_PARAMETER);
        return;
    }
    const PUCHAR in = static_cast<PUCHAR>(input);
    const BOOLEAN withPort = InputBufferLength == VRAX_BIND_INPUT_WITH_PORT;
    const ULONG serviceType = IoctlReadU32(in);
    const ULONG port = withPort ? IoctlReadU32(in + 4) : 0;
    if (serviceType >= VRAX_SERVICE_TYPE_COUNT || port >= VRAX_PORT_COUNT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "bind: service %u port %u out of range",
                    serviceType, port);
        VRAX_REFUSE(Request, STATUS_INVALID_PARAMETER);
        return;
    }
    PCLIENT_CONTEXT session = SessionOfRequest(Request);
    if (session == nullptr) {
        VRAX_REFUSE(Request, STATUS_INVALID_DEVICE_REQUEST);
        return;
    }

    const VRAX_SERVICE_VERSION* version = &ServiceVersionTable[port][serviceType];
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    // The id the session holds, which the bind gives up. It is no longer the session's to
    // release at clean-up; it is released below once the lock is free, since nothing is sent
    // under ClientSessionsLock.
    const ULONG heldPort = session->PortIndex;
    const ULONG heldServiceType = session->ServiceType;
    const UCHAR heldClientId = session->ClientId;
    const ULONG key = session->SessionKey;
    const BOOLEAN releaseHeld = session->ClientIdHeld != 0 &&
                                heldServiceType != VRAX_SERVICE_CONTROL && heldClientId != 0 &&
                                heldClientId != VRAX_CLIENT_ID_REFUSED;
    const BOOLEAN notify =
        session->ServiceType == 0 && version->Words[VRAX_VERSION_WORD_READY] != 0;
    // The write path reads the addressing fields under the session's WriteLock.
    WdfWaitLockAcquire(session->WriteLock, nullptr);
    if (withPort) {
        session->PortIndex = port;
    }
    session->ServiceType = serviceType;
    session->ClientId = 0;
    session->ClientIdVoided = 0;
    WdfWaitLockRelease(session->WriteLock);
    // Id 0 is none the control service granted, so after a bind the session holds no id
    // whatever it held before (a refused request also marks the session as answered); clean-up
    // must not release (service type, 0).
    session->ClientIdHeld = 0;
    RtlCopyMemory(session->ServiceVersion, version->Words, sizeof(session->ServiceVersion));

    PVOID output = nullptr;
    size_t outputLength = 0;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, 0, &output, &outputLength);
    ULONG written = 0;
    if (NT_SUCCESS(status)) {
        written =
            WriteVersionOutput(static_cast<PUCHAR>(output), outputLength, session->ServiceVersion);
        if (notify) {
            QueuePortNotification(session, VRAX_PORT_STATE_READY);
        }
    }
    WdfWaitLockRelease(ClientSessionsLock);

    // Sent before the bind completes, so the program's next request reaches the modem after
    // it; the confirmation is not awaited and nothing about the release changes the result.
    if (releaseHeld) {
        SubmitClientIdRelease(heldPort, key, heldServiceType, heldClientId);
    }
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "bind: output %!STATUS!", status);
        VRAX_REFUSE(Request, STATUS_UNSUCCESSFUL);
        return;
    }
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, written);
}

// 0x12430: the read path completes the request with the oldest notification or parks it.
VRAX_PAGED_CODE
_Use_decl_annotations_ VOID ReadNotificationControl(PVRAX_DEVICE_CONTEXT Context,
                                                    WDFREQUEST Request, size_t OutputBufferLength,
                                                    size_t InputBufferLength) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);

    PVOID output = nullptr;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, 0, &output, nullptr);
    if (!NT_SUCCESS(status)) {
        VRAX_REFUSE(Request, status);
        return;
    }
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    ReadNotification(Request);
    WdfWaitLockRelease(ClientSessionsLock);
}
