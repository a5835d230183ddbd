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

// Reads a control's answer from the session into the request's output; returns the status
// to complete with and sets *Information when the answer is returned.
typedef NTSTATUS (*PVRAX_ANSWER_HANDLER)(WDFREQUEST Request, PCLIENT_CONTEXT Session,
                                         PULONG_PTR Information);

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

// The answer of a service-2 query: its data stays in the session's ReplyData, and the caller
// gets none back.
VRAX_PAGED_CODE
NTSTATUS ServiceTwoAnswer(WDFREQUEST Request, PCLIENT_CONTEXT Session, PULONG_PTR Information) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Request);
    UNREFERENCED_PARAMETER(Information);

    KeClearEvent(&Session->ReplyEvent);
    return STATUS_UNSUCCESSFUL;
}

// The status a deferred control ends with once its request went out (Sent >= 0) or could not
// go (Sent < 0): the answer's, as OnAnswer reads it; STATUS_CANCELLED on an abort; TimedOut
// after 5 seconds without either.
VRAX_PAGED_CODE
NTSTATUS OutcomeOf(int Sent, WDFREQUEST Request, PCLIENT_CONTEXT Session, PKEVENT Answer,
                   PVRAX_ANSWER_HANDLER OnAnswer, NTSTATUS TimedOut, PULONG_PTR Information) {
    PAGED_CODE();

    if (Sent < 0) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    switch (WaitForAnswer(Answer, &Session->AbortEvent)) {
        case VraxAnswered:
            return OnAnswer(Request, Session, Information);
        case VraxAborted:
            return STATUS_CANCELLED;
        default:
            return TimedOut;
    }
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

    int sent = RequestClientId(key, serviceType, port);
    if (sent < 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "client id: request not sent (%d)", sent);
    }
    ULONG_PTR information = 0;
    NTSTATUS status = OutcomeOf(sent, request, session, &session->AllocationEvent, ClientIdAnswer,
                                STATUS_IO_TIMEOUT, &information);
    CompleteDeferredRequest(request, status, information);
    WdfObjectDelete(WorkItem);
}

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

    int sent = SendServiceTwoQuery(port, clientId, 0);
    if (sent < 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "service-2 query: not sent (%d)", sent);
    }
    ULONG_PTR information = 0;
    NTSTATUS status = OutcomeOf(sent, request, session, &session->ReplyEvent, ServiceTwoAnswer,
                                STATUS_INSUFFICIENT_RESOURCES, &information);
    // The query is over: later replies go to the session's reads again.
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    if (session->Kind == VRAX_SESSION_KIND_AWAITING_REPLY) {
        session->Kind = VRAX_SESSION_KIND_BOUND;
    }
    WdfWaitLockRelease(ClientSessionsLock);
    CompleteDeferredRequest(request, status, information);
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

    int sent = RequestValueQuery(key, port, value, value16);
    if (sent < 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "value query: not sent (%d)", sent);
    }
    ULONG_PTR information = 0;
    NTSTATUS status = OutcomeOf(sent, request, session, &session->ResultEvent, ValueAnswer,
                                STATUS_IO_TIMEOUT, &information);
    CompleteDeferredRequest(request, status, information);
    WdfObjectDelete(WorkItem);
}
