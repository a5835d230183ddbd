// Delivery of a service message to client sessions: to the sessions with a key (unicast),
// found through the key index, or to every session bound to the port and service type
// (broadcast), found by walking ClientSessions. The message goes straight
// into the oldest read waiting in the session's ReadQueue, or into the session's store until
// a read takes it.
//
// What goes wrong with one session stays with that session: a waiting read too small for the
// message is failed and that session loses the message, a copy that cannot be stored is lost
// for that session only, and delivery goes on to the other sessions either way.
#include <ntddk.h>
#include <wdf.h>

#include "../vrax_device.h"
#include "../vrax_lock.h"
#include "../vrax_pool.h"
#include "../vrax_wire.h"
#include "delivery.h"
#include "read_write.h"
#include "session_index.h"
#include "session_walk.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "delivery.tmh"
#endif

// Message type of the answers that hand a unit of write flow control back.
#define VRAX_MESSAGE_TYPE_WRITE_RELEASE 2

namespace {

// Completes Request, taken from the session's ReadQueue, with the message. A message of
// type 2 hands one unit of write flow control back at once.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    HandToRead(_In_ PCLIENT_CONTEXT Session, _In_ WDFREQUEST Request,
               _In_reads_bytes_(Length) const UCHAR* Message, _In_ ULONG Length) {
    PVOID buffer = nullptr;
    size_t size = 0;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, Length, &buffer, &size);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                    "key 0x%x: read too small for %u bytes, message lost %!STATUS!",
                    Session->SessionKey, Length, status);
        WdfWaitLockRelease(Session->ReceiveLock);
        WdfRequestCompleteWithInformation(Request, status, 0);
        return;
    }
    RtlCopyMemory(buffer, Message, Length);
    WdfWaitLockRelease(Session->ReceiveLock);

    // The held writes this sends are completed outside the session's WriteLock, and the read,
    // which keeps the session alive meanwhile, last.
    if (Length != 0 && Message[0] == VRAX_MESSAGE_TYPE_WRITE_RELEASE) {
        ReleaseWriteUnit(Session);
    }
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, Length);
}

// Appends a copy of the message to the session's ReceiveMessages. The caller holds the
// session's ReceiveLock.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    Store(_In_ WDFFILEOBJECT FileObject, _In_ PCLIENT_CONTEXT Session,
          _In_reads_bytes_(Length) const UCHAR* Message, _In_ ULONG Length) {
    // Owned by the session: freed when read, or with the file object at the latest.
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = FileObject;
    WDFMEMORY memory = nullptr;
    PVOID copy = nullptr;
    NTSTATUS status =
        WdfMemoryCreate(&attributes, VraxPoolType, VRAX_TAG_FRAME, Length, &memory, &copy);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                    "key 0x%x: %u bytes not stored, message lost %!STATUS!", Session->SessionKey,
                    Length, status);
        return;
    }
    RtlCopyMemory(copy, Message, Length);
    status = WdfCollectionAdd(Session->ReceiveMessages, memory);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                    "key 0x%x: %u bytes not listed, message lost %!STATUS!", Session->SessionKey,
                    Length, status);
        WdfObjectDelete(memory);
    }
}

// Gives one matching session the message.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    DeliverToSession(_In_ WDFFILEOBJECT FileObject, _In_ PCLIENT_CONTEXT Session,
                     _In_reads_bytes_(Length) const UCHAR* Message, _In_ ULONG Length) {
    WdfWaitLockAcquire(Session->ReceiveLock, nullptr);
    WDFREQUEST request = nullptr;
    NTSTATUS status = WdfIoQueueRetrieveNextRequest(Session->ReadQueue, &request);
    if (NT_SUCCESS(status) && request != nullptr) {
        // Releases ReceiveLock.
        HandToRead(Session, request, Message, Length);
        return;
    }
    if (status == STATUS_NO_MORE_ENTRIES || NT_SUCCESS(status)) {
        Store(FileObject, Session, Message, Length);
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                    "key 0x%x: read queue %!STATUS!, %u bytes not delivered", Session->SessionKey,
                    status, Length);
    }
    WdfWaitLockRelease(Session->ReceiveLock);
}

}  // namespace

_Use_decl_annotations_ VOID DeliverServiceMessage(ULONG SessionKey, ULONG PortIndex,
                                                  UCHAR ServiceType, PUCHAR Message, ULONG Length) {
    VRAX_WAIT_LOCK_HOLDER lock(ClientSessionsLock);
    if (SessionKey != VRAX_SESSION_KEY_NONE) {
        // Every session with the key, in the order of ClientSessions, whatever its port and
        // service type.
        for (PCLIENT_CONTEXT session = FirstSessionWithKey(SessionKey); session != nullptr;
             session = NextSessionWithKey(session, SessionKey)) {
            WDFFILEOBJECT fileObject =
                static_cast<WDFFILEOBJECT>(WdfObjectContextGetObject(session));
            DeliverToSession(fileObject, session, Message, Length);
        }
        return;
    }

    ULONG count = WdfCollectionGetCount(ClientSessions);
    for (ULONG i = 0; i < count; ++i) {
        WDFFILEOBJECT fileObject =
            static_cast<WDFFILEOBJECT>(WdfCollectionGetItem(ClientSessions, i));
        PCLIENT_CONTEXT session = fileObject != nullptr ? GetClientContext(fileObject) : nullptr;
        if (session == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "delivery: no session at %u of %u", i,
                        count);
            return;
        }
        if (session->PortIndex == PortIndex && session->ServiceType == (ULONG)ServiceType) {
            DeliverToSession(fileObject, session, Message, Length);
        }
    }
}
