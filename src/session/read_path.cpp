// The read path of a session's handle: one whole stored service message (or port-state
// notification) per read, oldest first, or the read waits in the session's queue until
// delivery hands it one. Reading a message of type 2 gives back one unit of write flow
// control.
#include <ntddk.h>
#include <wdf.h>

#include "../driver/code_sections.h"
#include "../vrax_device.h"
#include "../vrax_lock.h"
#include "read_write.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "read_path.tmh"
#endif

// Message type of a delivered message that answers one write.
#define VRAX_MESSAGE_TYPE_RELEASES_WRITE 2

namespace {

// Which store a read takes from.
struct READ_STORE {
    WDFWAITLOCK Lock;
    WDFCOLLECTION Items;
    WDFQUEUE Waiting;
    // Whether a taken item of type 2 releases write flow control (service messages only).
    BOOLEAN ReleasesWrites;
};

// Completes Request with the oldest item of Store, or parks it in the store's queue. The
// caller holds ClientSessionsLock; the store's lock is taken here and released before the
// request is completed.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    ReadFromStore(_In_ PCLIENT_CONTEXT Session, _In_ const READ_STORE& Store,
                  _In_ WDFREQUEST Request) {
    WdfWaitLockAcquire(Store.Lock, nullptr);

    if (WdfCollectionGetCount(Store.Items) == 0) {
        NTSTATUS status = WdfRequestForwardToIoQueue(Request, Store.Waiting);
        WdfWaitLockRelease(Store.Lock);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "key 0x%x: read not parked %!STATUS!",
                        Session->SessionKey, status);
            WdfRequestCompleteWithInformation(Request, status, 0);
        }
        return;
    }

    WDFMEMORY item = static_cast<WDFMEMORY>(WdfCollectionGetFirstItem(Store.Items));
    if (item == nullptr) {
        WdfWaitLockRelease(Store.Lock);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "key 0x%x: store without first item %!STATUS!",
                    Session->SessionKey, STATUS_IO_DEVICE_ERROR);
        WdfRequestCompleteWithInformation(Request, STATUS_IO_DEVICE_ERROR, 0);
        return;
    }
    WdfObjectReference(item);
    WdfCollectionRemove(Store.Items, item);
    size_t size = 0;
    const UCHAR* message = static_cast<const UCHAR*>(WdfMemoryGetBuffer(item, &size));

    // A buffer too small for the whole item fails the read; the item is discarded.
    PVOID output = nullptr;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, size, &output, nullptr);
    if (!NT_SUCCESS(status)) {
        WdfObjectDereference(item);
        WdfObjectDelete(item);
        WdfWaitLockRelease(Store.Lock);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                    "key 0x%x: item of %Iu bytes discarded, read failed %!STATUS!",
                    Session->SessionKey, size, status);
        WdfRequestCompleteWithInformation(Request, status, 0);
        return;
    }
    RtlCopyMemory(output, message, size);
    const BOOLEAN releasesWrite =
        Store.ReleasesWrites && size != 0 && message[0] == VRAX_MESSAGE_TYPE_RELEASES_WRITE;
    WdfObjectDereference(item);
    WdfObjectDelete(item);
    WdfWaitLockRelease(Store.Lock);

    // Outside the session's locks: the writes this sends and the read are completed with no
    // lock of the session held, since a completion may drop the file object's last reference.
    // The read, still pending, keeps the session alive until it is completed last.
    if (releasesWrite) {
        ReleaseWriteUnit(Session);
    }
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, size);
}

}  // namespace

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtIoRead(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Queue);
    UNREFERENCED_PARAMETER(Length);

    PVOID output = nullptr;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, 0, &output, nullptr);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "read: no output buffer %!STATUS!", status);
        WdfRequestComplete(Request, status);
        return;
    }
    VRAX_WAIT_LOCK_HOLDER lock(ClientSessionsLock);
    ReadServiceMessage(Request);
}

_Use_decl_annotations_ VOID ReadServiceMessage(WDFREQUEST Request) {
    PCLIENT_CONTEXT session = SessionOfRequest(Request);
    if (session == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "message read without session %!STATUS!",
                    STATUS_INVALID_DEVICE_REQUEST);
        WdfRequestCompleteWithInformation(Request, STATUS_INVALID_DEVICE_REQUEST, 0);
        return;
    }
    const READ_STORE store = {session->ReceiveLock, session->ReceiveMessages, session->ReadQueue,
                              TRUE};
    ReadFromStore(session, store, Request);
}

_Use_decl_annotations_ VOID ReadNotification(WDFREQUEST Request) {
    PCLIENT_CONTEXT session = SessionOfRequest(Request);
    if (session == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "notification read without session %!STATUS!",
                    STATUS_INVALID_DEVICE_REQUEST);
        WdfRequestCompleteWithInformation(Request, STATUS_INVALID_DEVICE_REQUEST, 0);
        return;
    }
    // Every notification is 8 bytes, so its own size is the read's minimum.
    const READ_STORE store = {session->NotificationLock, session->Notifications,
                              session->NotificationReadQueue, FALSE};
    ReadFromStore(session, store, Request);
}
