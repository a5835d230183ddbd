// The work-item routines of the deferred controls: send the request to the control service
// (or, for the service-2 query, to service 2), wait up to 5 seconds for the answer or an
// abort, and complete the I/O request through CompleteDeferredRequest.
#include <ntddk.h>
#include <wdf.h>

#include "../driver/code_sections.h"
#include "../protocol/control_requests.h"
#include "deferred_work.h"
#include "ioctl_controls.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "deferred_work.tmh"
#endif

namespace {

// The answer of a client-id request: the id the control service granted the session.
VRAX_PAGED_CODE
NTSTATUS ClientIdAnswer(WDFREQUEST Request, PCLIENT_CONTEXT Session, PULONG_PTR Information) {
    PAGED_CODE();

    KeClearEvent(&Session->AllocationEvent);
    PVOID output = nullptr;
    NTSTATUS status =
        WdfRequestRetrieveOutputBuffer(Request, VRAX_CLIENT_ID_OUTPUT_SIZE, &output, nullptr);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "client id: output %!STATUS!", status);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    const UCHAR clientId = Session->ClientId;
    WdfWaitLockRelease(ClientSessionsLock);
    *static_cast<PUCHAR>(output) = clientId;
    if (clientId == VRAX_CLIENT_ID_REFUSED || clientId == 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "client id %u not granted", clientId);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *Information = VRAX_CLIENT_ID_OUTPUT_SIZE;
    return STATUS_SUCCESS;
}

// The answer of a value query: the 16-bit value, little-endian. A buffer too small for it
// cannot be given the answer.
VRAX_PAGED_CODE
NTSTATUS ValueAnswer(WDFREQUEST Request, PCLIENT_CONTEXT Session, PULONG_PTR Information) {
    PAGED_CODE();

    KeClearEvent(&Session->ResultEvent);
    PVOID output = nullptr;
    NTSTATUS status =
        WdfRequestRetrieveOutputBuffer(Request, VRAX_VALUE_OUTPUT_SIZE, &output, nullptr);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "value query: output %!STATUS!", status);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    const USHORT result = Session->RequestResult;
    WdfWaitLockRelease(ClientSessionsLock);
    VraxWriteU16(static_cast<PUCHAR>(output), result);
    *Information = VRAX_VALUE_OUTPUT_SIZE;
    return STATUS_SUCCESS;
}

}  // namespace

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtClientIdWorkItem(WDFWORKITEM WorkItem) {
    PAGED_CODE();

    PVRAX_WORK_ITEM_CONTEXT work = GetWorkItemContext(WorkItem);
    const WDFREQUEST request = work->Request;
    const PCLIENT_CONTEXT session = work->Session;
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    const ULONG key = session->SessionKey;
    const ULONG serviceType = session->ServiceType;
    const ULONG port = session->PortIndex;
    WdfWaitLockRelease(ClientSessionsLock);

    NTSTATUS status;
    ULONG_PTR information = 0;
    int sent = RequestClientId(key, serviceType, port);
    if (sent < 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "client id: request not sent (%d)", sent);
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        switch (WaitForAnswer(&session->AllocationEvent, &session->AbortEvent)) {
            case VraxAnswered:
                status = ClientIdAnswer(request, session, &information);
                break;
            case VraxAborted:
                status = STATUS_CANCELLED;
                break;
            default:
                status = STATUS_IO_TIMEOUT;
                break;
        }
    }
    CompleteDeferredRequest(request, status, information);
    WdfObjectDelete(WorkItem);
}

// The reply's data stays in the session's ReplyData; the caller gets no data back.
VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtServiceTwoQueryWorkItem(WDFWORKITEM WorkItem) {
    PAGED_CODE();

    PVRAX_WORK_ITEM_CONTEXT work = GetWorkItemContext(WorkItem);
    const WDFREQUEST request = work->Request;
    const PCLIENT_CONTEXT session = work->Session;
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    const ULONG port = session->PortIndex;
    const UCHAR clientId = session->ClientId;
    WdfWaitLockRelease(ClientSessionsLock);

    NTSTATUS status;
    int sent = SendServiceTwoQuery(port, clientId, 0);
    if (sent < 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "service-2 query: not sent (%d)", sent);
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        switch (WaitForAnswer(&session->ReplyEvent, &session->AbortEvent)) {
            case VraxAnswered:
                KeClearEvent(&session->ReplyEvent);
                status = STATUS_UNSUCCESSFUL;
                break;
            case VraxAborted:
                status = STATUS_CANCELLED;
                break;
            default:
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
        }
    }
    // The query is over: later replies go to the session's reads again.
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    if (session->Kind == VRAX_SESSION_KIND_AWAITING_REPLY) {
        session->Kind = VRAX_SESSION_KIND_BOUND;
    }
    WdfWaitLockRelease(ClientSessionsLock);
    CompleteDeferredRequest(request, status, 0);
    WdfObjectDelete(WorkItem);
}

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtValueQueryWorkItem(WDFWORKITEM WorkItem) {
    PAGED_CODE();

    PVRAX_WORK_ITEM_CONTEXT work = GetWorkItemContext(WorkItem);
    const WDFREQUEST request = work->Request;
    const PCLIENT_CONTEXT session = work->Session;
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    const ULONG key = session->SessionKey;
    const ULONG port = session->PortIndex;
    const ULONG value = session->RequestValue;
    const USHORT value16 = session->RequestResult;
    WdfWaitLockRelease(ClientSessionsLock);

    NTSTATUS status;
    ULONG_PTR information = 0;
    int sent = RequestValueQuery(key, port, value, value16);
    if (sent < 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "value query: not sent (%d)", sent);
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        switch (WaitForAnswer(&session->ResultEvent, &session->AbortEvent)) {
            case VraxAnswered:
                status = ValueAnswer(request, session, &information);
                break;
            case VraxAborted:
                status = STATUS_CANCELLED;
                break;
            default:
                status = STATUS_IO_TIMEOUT;
                break;
        }
    }
    CompleteDeferredRequest(request, status, information);
    WdfObjectDelete(WorkItem);
}
