// The write path of a session's handle: each write is one whole service message, framed for
// the session's port, service type and client id and sent at once while fewer than
// VRAX_MAX_OUTSTANDING_WRITES are outstanding, else held back in the session's WriteBacklog
// until a delivered message of type 2 gives a unit back. A session not bound to a service
// sends its write as a whole control-service message.
//
// Only a write that was handed to the port counts as outstanding: one that could not be sent
// (port not open, send refused, the session's client id voided by a port loss) completes with
// 0 bytes written and is not counted, since no answer can come back to give its unit back.
#include <ntddk.h>
#include <wdf.h>

#include "../driver/code_sections.h"
#include "../protocol/control_requests.h"
#include "../protocol/routing.h"
#include "../vrax_lock.h"
#include "../vrax_pool.h"
#include "../vrax_wire.h"
#include "read_write.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "write_path.tmh"
#endif

// Whether writes are held back: the backlog is not empty. A new write then waits behind the
// held ones, even while fewer than the limit are outstanding (ReleaseWriteUnit sends held
// writes one lock hold at a time), so writes go out in the order they were made. The caller
// holds the session's WriteLock.
_IRQL_requires_(PASSIVE_LEVEL) static BOOLEAN WritesHeld(_In_ PCLIENT_CONTEXT Session) {
    ULONG held = 0;
    (VOID) WdfIoQueueGetState(Session->WriteBacklog, &held, nullptr);
    return held != 0;
}

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtIoWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Queue);
    UNREFERENCED_PARAMETER(Length);

    PVOID input = nullptr;
    size_t length = 0;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, 0, &input, &length);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "write: no input buffer %!STATUS!", status);
        WdfRequestCompleteWithInformation(Request, STATUS_INSUFFICIENT_RESOURCES, 0);
        return;
    }
    // The frame's 16-bit length field cannot describe a longer message.
    if (length > VRAX_MESSAGE_MAX_SIZE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "write of %Iu bytes refused %!STATUS!", length,
                    STATUS_INVALID_BUFFER_SIZE);
        WdfRequestCompleteWithInformation(Request, STATUS_INVALID_BUFFER_SIZE, 0);
        return;
    }
    PCLIENT_CONTEXT session = SessionOfRequest(Request);
    if (session == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "write without session %!STATUS!",
                    STATUS_INVALID_DEVICE_REQUEST);
        WdfRequestCompleteWithInformation(Request, STATUS_INVALID_DEVICE_REQUEST, 0);
        return;
    }

    // The lock is a child of the file object, and completing the request can drop the file
    // object's last reference (the program closed its handle meanwhile, and this callback may
    // run on another thread than the program's): the request is completed only after the lock
    // is released.
    WDFWAITLOCK writeLock = session->WriteLock;
    WdfWaitLockAcquire(writeLock, nullptr);
    if (session->OutstandingWrites < VRAX_MAX_OUTSTANDING_WRITES && !WritesHeld(session)) {
        NTSTATUS completion;
        ULONG_PTR written;
        SendSessionMessage(session, Request, &completion, &written);
        WdfWaitLockRelease(writeLock);
        WdfRequestCompleteWithInformation(Request, completion, written);
        return;
    }
    // Once forwarded the request is the backlog's: it may be cancelled, and the handle closed
    // and its file object deleted, before the lock is released. The reference keeps the lock
    // until then.
    WdfObjectReference(writeLock);
    status = WdfRequestForwardToIoQueue(Request, session->WriteBacklog);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u key 0x%x: write not held %!STATUS!",
                    session->PortIndex, session->SessionKey, status);
    }
    WdfWaitLockRelease(writeLock);
    WdfObjectDereference(writeLock);
    if (!NT_SUCCESS(status)) {
        WdfRequestCompleteWithInformation(Request, status, 0);
    }
}

// Hands the message (with frame-header room in front of it) to the port: framed for the
// bound service, or as a whole control message when the session is not bound. TRUE when it
// went out; *Written is what the write reports.
_IRQL_requires_(PASSIVE_LEVEL) static BOOLEAN
    SendToPort(_In_ PCLIENT_CONTEXT Session, _Inout_updates_bytes_(Length) PUCHAR Message,
               _In_ ULONG Length, _Out_ ULONG_PTR* Written) {
    *Written = 0;
    if (Session->ServiceType != VRAX_SERVICE_CONTROL && Session->ClientIdVoided != 0) {
        // The id went with a port loss; the modem may have granted it to another client since.
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                    "port %u service %u client %u: write of %u bytes on a voided id not sent",
                    Session->PortIndex, Session->ServiceType, Session->ClientId, Length);
        return FALSE;
    }
    if (Session->ServiceType == VRAX_SERVICE_CONTROL) {
        VRAX_CONTROL_REQUEST request;
        RtlZeroMemory(&request, sizeof(request));
        request.Kind = VRAX_REQUEST_KIND_CALLER_MESSAGE;
        request.SessionKey = Session->SessionKey;
        request.Tag = 0;
        request.PortIndex = Session->PortIndex;
        request.ClientId = Session->ClientId;
        int result = SendControlRequest(&request, 0, Message, Length, TRUE);
        if (result < 0) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                        "port %u key 0x%x: control write of %u bytes not sent, result %d",
                        Session->PortIndex, Session->SessionKey, Length, result);
            return FALSE;
        }
        return TRUE;
    }
    int result = SendServiceMessage(Session->PortIndex, (UCHAR)Session->ServiceType,
                                    Session->ClientId, Message, Length);
    if (result < 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                    "port %u service %u client %u: write of %u bytes not sent, result %d",
                    Session->PortIndex, Session->ServiceType, Session->ClientId, Length, result);
        return FALSE;
    }
    *Written = Length;
    return TRUE;
}

_Use_decl_annotations_ VOID SendSessionMessage(PCLIENT_CONTEXT Session, WDFREQUEST Request,
                                               NTSTATUS* Status, ULONG_PTR* Information) {
    *Information = 0;
    PVOID input = nullptr;
    size_t length = 0;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, 0, &input, &length);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "key 0x%x: write without input %!STATUS!",
                    Session->SessionKey, status);
        *Status = STATUS_INSUFFICIENT_RESOURCES;
        return;
    }
    // EvtIoWrite let no write longer than VRAX_MESSAGE_MAX_SIZE through.
    const ULONG messageLength = (ULONG)length;
    const ULONG bufferLength = messageLength + VRAX_SERVICE_MESSAGE_HEADROOM;

    VRAX_POOL_BUFFER buffer(bufferLength, VRAX_TAG_SEND);
    if (buffer.Buffer == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "key 0x%x: send buffer of %u bytes failed",
                    Session->SessionKey, bufferLength);
        *Status = STATUS_INVALID_DEVICE_REQUEST;
        return;
    }
    PUCHAR bytes = static_cast<PUCHAR>(buffer.Buffer);
    RtlZeroMemory(bytes, VRAX_SERVICE_MESSAGE_HEADROOM);
    RtlCopyMemory(bytes + VRAX_SERVICE_MESSAGE_HEADROOM, input, messageLength);
    if (SendToPort(Session, bytes + VRAX_SERVICE_MESSAGE_HEADROOM, messageLength, Information)) {
        Session->OutstandingWrites += 1;
    }
    *Status = STATUS_SUCCESS;
    // The send buffer is freed on return, before the caller completes the request.
}

namespace {

// Sends held-back writes, oldest first, while fewer than the limit are outstanding. Each one
// is completed with the session's WriteLock released, which is then taken again for the next:
// a held write that cannot be sent does not count, so the next is tried at once rather than
// left behind with nothing outstanding to release it. Called with WriteLock held; returns with
// it released. The caller keeps the session's file object alive meanwhile.
_IRQL_requires_(PASSIVE_LEVEL) VOID SendHeldWritesAndUnlock(_In_ PCLIENT_CONTEXT Session) {
    while (Session->OutstandingWrites < VRAX_MAX_OUTSTANDING_WRITES) {
        WDFREQUEST held = nullptr;
        NTSTATUS status = WdfIoQueueRetrieveNextRequest(Session->WriteBacklog, &held);
        if (!NT_SUCCESS(status) || held == nullptr) {
            if (status != STATUS_NO_MORE_ENTRIES) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "key 0x%x: held write %!STATUS!",
                            Session->SessionKey, status);
            }
            break;
        }
        NTSTATUS completion;
        ULONG_PTR written;
        SendSessionMessage(Session, held, &completion, &written);
        WdfWaitLockRelease(Session->WriteLock);
        WdfRequestCompleteWithInformation(held, completion, written);
        WdfWaitLockAcquire(Session->WriteLock, nullptr);
    }
    WdfWaitLockRelease(Session->WriteLock);
}

}  // namespace

_Use_decl_annotations_ VOID ReleaseWriteUnit(PCLIENT_CONTEXT Session) {
    WdfWaitLockAcquire(Session->WriteLock, nullptr);
    if (Session->OutstandingWrites == 0) {
        WdfWaitLockRelease(Session->WriteLock);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "key 0x%x: type-2 message with no write out",
                    Session->SessionKey);
        return;
    }
    Session->OutstandingWrites -= 1;
    SendHeldWritesAndUnlock(Session);
}

_Use_decl_annotations_ VOID ForgetOutstandingWrites(PCLIENT_CONTEXT Session) {
    WdfWaitLockAcquire(Session->WriteLock, nullptr);
    if (Session->OutstandingWrites != 0) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX,
                    "key 0x%x: %u writes outstanding at the port loss forgotten",
                    Session->SessionKey, Session->OutstandingWrites);
    }
    Session->OutstandingWrites = 0;
    SendHeldWritesAndUnlock(Session);
}
