// Port-state notifications: port ready (0) when a port's service table has arrived, port lost
// (1) when the SMD side closed it. Each is 8 bytes, the state and then the session's service
// type, handed to the session's oldest waiting notification read or stored until one comes.
#include <ntddk.h>
#include <wdf.h>

#include "../vrax_device.h"
#include "../vrax_lock.h"
#include "../vrax_pool.h"
#include "../protocol/routing.h"
#include "delivery.h"
#include "port_state.h"
#include "read_write.h"
#include "session_walk.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "port_state.tmh"
#endif

// Bytes of one notification: state, then service type, each 32-bit little-endian.
#define VRAX_NOTIFICATION_SIZE 8

namespace {

VOID WriteNotification(_Out_writes_bytes_(VRAX_NOTIFICATION_SIZE) PUCHAR Bytes, _In_ ULONG State,
                       _In_ ULONG ServiceType) {
    for (ULONG i = 0; i < 4; ++i) {
        Bytes[i] = (UCHAR)(State >> (8 * i));
        Bytes[4 + i] = (UCHAR)(ServiceType >> (8 * i));
    }
}

// Stores the notification in the session's Notifications. A notification that cannot be
// stored is dropped (traced).
_IRQL_requires_(PASSIVE_LEVEL) VOID
    StoreNotification(_In_ PCLIENT_CONTEXT Session, _In_ ULONG State) {
    VRAX_WAIT_LOCK_HOLDER lock(Session->NotificationLock);
    // Owned by the session: freed when read, or with the file object at the latest.
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = WdfObjectContextGetObject(Session);
    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    NTSTATUS status = WdfMemoryCreate(&attributes, VraxPoolType, VRAX_TAG_FRAME,
                                      VRAX_NOTIFICATION_SIZE, &memory, &buffer);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "key 0x%x: state %u dropped %!STATUS!",
                    Session->SessionKey, State, status);
        return;
    }
    WriteNotification(static_cast<PUCHAR>(buffer), State, Session->ServiceType);
    status = WdfCollectionAdd(Session->Notifications, memory);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "key 0x%x: state %u not listed %!STATUS!",
                    Session->SessionKey, State, status);
        WdfObjectDelete(memory);
    }
}

}  // namespace

// A lost port also ends what the driver kept for the ids and writes on it: the modem frees
// every client id of the port when the channel opens again, so the routing table forgets the
// port's ids, held by sessions and kernel clients alike (else a frame for an id granted anew
// could reach its old owner); and no answer to a write sent before the loss can come any
// more, so each session of the port starts again with nothing outstanding. A session that held
// an id on the port sends no more service writes under it (the modem may grant it to another
// client) until it is granted one again.
_Use_decl_annotations_ VOID NotifyPortState(ULONG PortIndex, ULONG State) {
    if (State == VRAX_PORT_STATE_LOST) {
        ForgetPortClients(PortIndex);
    }
    VRAX_WAIT_LOCK_HOLDER lock(ClientSessionsLock);
    ULONG count = WdfCollectionGetCount(ClientSessions);
    for (ULONG i = 0; i < count; ++i) {
        PCLIENT_CONTEXT session = SessionAt(i);
        if (session == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port state: no session at %u of %u", i,
                        count);
            return;
        }
        // A lost port ends every held client id, whatever port the session is bound to.
        if (State == VRAX_PORT_STATE_LOST) {
            if (session->PortIndex == PortIndex) {
                if (session->ClientIdHeld != 0 && session->ServiceType != VRAX_SERVICE_CONTROL &&
                    session->ClientId != 0 && session->ClientId != VRAX_CLIENT_ID_REFUSED) {
                    WdfWaitLockAcquire(session->WriteLock, nullptr);
                    session->ClientIdVoided = 1;
                    WdfWaitLockRelease(session->WriteLock);
                }
                session->ClientIdHeld = 0;
                ForgetOutstandingWrites(session);
            } else {
                session->ClientIdHeld = 0;
            }
        }
        if (session->PortIndex == PortIndex && session->ClientId != VRAX_CLIENT_ID_REFUSED &&
            session->ServiceType != VRAX_SERVICE_CONTROL && session->LastPortState != State) {
            QueuePortNotification(session, State);
        }
    }
}

// Only a notification handed straight to a read sets LastPortState; a stored one leaves it,
// so the same state is offered again until a reader has seen it.
_Use_decl_annotations_ VOID QueuePortNotification(PCLIENT_CONTEXT Session, ULONG State) {
    WDFREQUEST request = nullptr;
    NTSTATUS status = WdfIoQueueRetrieveNextRequest(Session->NotificationReadQueue, &request);
    if (status == STATUS_NO_MORE_ENTRIES || (NT_SUCCESS(status) && request == nullptr)) {
        StoreNotification(Session, State);
        return;
    }
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "key 0x%x: state %u dropped %!STATUS!",
                    Session->SessionKey, State, status);
        return;
    }
    if (WdfRequestIsCanceled(request)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "key 0x%x: state %u for a cancelled read",
                    Session->SessionKey, State);
        WdfRequestCompleteWithInformation(request, STATUS_CANCELLED, 0);
        return;
    }
    PVOID buffer = nullptr;
    status = WdfRequestRetrieveOutputBuffer(request, VRAX_NOTIFICATION_SIZE, &buffer, nullptr);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "key 0x%x: state %u, read %!STATUS!",
                    Session->SessionKey, State, status);
        WdfRequestCompleteWithInformation(request, status, 0);
        return;
    }
    WriteNotification(static_cast<PUCHAR>(buffer), State, Session->ServiceType);
    Session->LastPortState = State;
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, VRAX_NOTIFICATION_SIZE);
}
