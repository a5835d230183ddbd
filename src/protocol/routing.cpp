// Routing table: start-up, port opening, teardown, and the client ids held per session,
// port and service type.
#include <ntddk.h>
#include <wdf.h>

#include "routing_table.h"

#include "routing_owners.h"

#include "../port/receive_dispatch.h"
#include "../session/delivery.h"
#include "../vrax_lock.h"
#include "../vrax_pool.h"
#include "../vrax_wire.h"
#include "control_requests.h"
#include "lazy_wait_lock.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "routing.tmh"
#endif

VRAX_ROUTING_ENTRY RoutingTable[VRAX_PORT_COUNT];

// The token each port is attached with; only its address matters.
static UCHAR PortAttachContexts[VRAX_PORT_COUNT][VRAX_PORT_ATTACH_CONTEXT_SIZE];

static BOOLEAN IsClientService(UCHAR ServiceType) {
    return ServiceType != VRAX_SERVICE_CONTROL && ServiceType != VRAX_SERVICE_INVALID;
}

// The link that points at the session's record in the list, or NULL when it has none.
static PVRAX_CLIENT_RECORD* FindRecordLink(PVRAX_CLIENT_RECORD* Head, ULONG SessionKey) {
    for (PVRAX_CLIENT_RECORD* link = Head; *link != nullptr; link = &(*link)->Next) {
        if ((*link)->SessionKey == SessionKey) {
            return link;
        }
    }
    return nullptr;
}

// Empties the list of (Port, Service) with its owner table.
static VOID FreeRecordList(ULONG Port, ULONG Service) {
    PVRAX_CLIENT_RECORD* Head = &RoutingTable[Port].Clients[Service];
    FreeOwnerTable(Port, (UCHAR)Service);
    PVRAX_CLIENT_RECORD record = *Head;
    *Head = nullptr;
    while (record != nullptr) {
        PVRAX_CLIENT_RECORD next = record->Next;
        VraxFreePool(record, VRAX_TAG_CLIENT_RECORD);
        record = next;
    }
}

// Closes a port's entry for routing: open flag cleared, every client record freed, the port
// detached from the receive hand-off so that opening its routing attaches it again. The
// caller holds the port's routing lock, or none exists.
static VOID CloseRoutingEntry(ULONG Port) {
    VRAX_ROUTING_ENTRY* entry = &RoutingTable[Port];
    InterlockedExchange(&entry->Open, 0);
    for (ULONG service = 0; service < VRAX_SERVICE_TYPE_COUNT; ++service) {
        FreeRecordList(Port, service);
    }
    DetachPort(Port);
}

_Use_decl_annotations_ int InitRouting() {
    for (ULONG port = 0; port < VRAX_PORT_COUNT; ++port) {
        VRAX_ROUTING_ENTRY* entry = &RoutingTable[port];
        // Locks that exist already (a re-initialisation) are kept: another thread may be
        // waiting on them.
        WDFWAITLOCK lock = VraxEnsureWaitLock(&entry->RoutingLock);
        if (lock == nullptr || VraxEnsureWaitLock(&entry->SendLock) == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "routing: port %u lock creation failed",
                        port);
            return -1;
        }
        // A re-initialisation (the SMD interface arrived again) frees what the last one left;
        // a service thread may still be routing through the entry, hence the lock.
        VRAX_WAIT_LOCK_HOLDER holder(lock);
        CloseRoutingEntry(port);
    }

    int result = InitTransactions();
    if (result != 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "routing: transaction table result %d", result);
    }

    // On a re-arrival of the SMD interface the demultiplexer is registered already: that is
    // the normal path, not a failure. Only another handler in its place is.
    if (IsReceiveHandler(DemuxFrame)) {
        return 0;
    }
    if (RegisterReceiveHandler(DemuxFrame) != 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "routing: receive handler not registered");
        return -1;
    }
    return 0;
}

_Use_decl_annotations_ int OpenPortRouting(ULONG PortIndex) {
    if (PortIndex >= VRAX_PORT_COUNT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "open routing: bad port %u", PortIndex);
        return -1;
    }
    VRAX_ROUTING_ENTRY* entry = &RoutingTable[PortIndex];
    WDFWAITLOCK lock = VraxEnsureWaitLock(&entry->RoutingLock);
    if (lock == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "open routing: port %u lock creation failed",
                    PortIndex);
        return -1;
    }

    // The port-open notice is not sent from here: the port's service thread sends it each
    // time the SMD side opens the channel, which a routing opened at start-up precedes and a
    // re-open of the channel does not repeat.
    VRAX_WAIT_LOCK_HOLDER holder(lock);
    if (VraxReadFlag(&entry->Open) != 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "open routing: port %u already open", PortIndex);
        return -1;
    }
    InterlockedExchange(&entry->Open, 1);
    int result = AttachPort(PortIndex, PortAttachContexts[PortIndex]);
    if (result != 0) {
        InterlockedExchange(&entry->Open, 0);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "open routing: port %u not attached", PortIndex);
    }
    return result;
}

_Use_decl_annotations_ VOID ResetRouting() {
    for (ULONG port = 0; port < VRAX_PORT_COUNT; ++port) {
        VRAX_ROUTING_ENTRY* entry = &RoutingTable[port];
        // A service thread that outlived a bounded shutdown may still be routing through the
        // records. No lock is created here: without one, nothing can be routing.
        WDFWAITLOCK lock = VraxExistingWaitLock(&entry->RoutingLock);
        if (lock != nullptr) {
            WdfWaitLockAcquire(lock, nullptr);
        }
        for (ULONG service = 0; service < VRAX_SERVICE_TYPE_COUNT; ++service) {
            FreeRecordList(port, service);
        }
        // Without this the next arrival of the SMD interface could not attach the port again.
        DetachPort(port);
        if (lock != nullptr) {
            WdfWaitLockRelease(lock);
        }
    }
    ResetTransactions();
}

_Use_decl_annotations_ int RegisterClientId(ULONG SessionKey, ULONG PortIndex, UCHAR ServiceType,
                                            UCHAR ClientId) {
    if (PortIndex >= VRAX_PORT_COUNT || !IsClientService(ServiceType)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "register: bad port %u or service %u", PortIndex,
                    ServiceType);
        return -1;
    }
    // The key "none" would turn every unicast to the id into a broadcast, and the broadcast
    // id cannot be owned: it is the free-slot mark.
    if (SessionKey == VRAX_SESSION_KEY_NONE || ClientId == VRAX_CLIENT_SLOT_FREE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "register: key 0x%x client id %u refused",
                    SessionKey, ClientId);
        return -1;
    }

    PVRAX_CLIENT_RECORD* head = &RoutingTable[PortIndex].Clients[ServiceType];
    PVRAX_CLIENT_RECORD* link = FindRecordLink(head, SessionKey);
    if (link != nullptr) {
        PVRAX_CLIENT_RECORD record = *link;
        for (ULONG slot = 0; slot < VRAX_CLIENT_SLOTS; ++slot) {
            if (record->ClientIds[slot] == VRAX_CLIENT_SLOT_FREE) {
                record->ClientIds[slot] = ClientId;
                NoteOwnerAdded(PortIndex, ServiceType, record, ClientId, FALSE);
                return 0;
            }
        }
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                    "register: key 0x%x holds %u ids on port %u service %u", SessionKey,
                    VRAX_CLIENT_SLOTS, PortIndex, ServiceType);
        return -1;
    }

    PVRAX_CLIENT_RECORD record =
        (PVRAX_CLIENT_RECORD)VraxAllocatePool(sizeof(VRAX_CLIENT_RECORD), VRAX_TAG_CLIENT_RECORD);
    if (record == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "register: no memory for key 0x%x", SessionKey);
        return -1;
    }
    record->SessionKey = SessionKey;
    RtlFillMemory(record->ClientIds, sizeof(record->ClientIds), VRAX_CLIENT_SLOT_FREE);
    record->ClientIds[0] = ClientId;
    record->Next = *head;
    *head = record;
    NoteOwnerAdded(PortIndex, ServiceType, record, ClientId, TRUE);
    return 0;
}

_Use_decl_annotations_ int ReleaseClientId(ULONG SessionKey, ULONG PortIndex, UCHAR ServiceType,
                                           UCHAR ClientId) {
    if (PortIndex >= VRAX_PORT_COUNT || !IsClientService(ServiceType)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "release: bad port %u or service %u", PortIndex,
                    ServiceType);
        return -1;
    }
    PVRAX_CLIENT_RECORD* link =
        FindRecordLink(&RoutingTable[PortIndex].Clients[ServiceType], SessionKey);
    if (link == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "release: key 0x%x has no ids on port %u",
                    SessionKey, PortIndex);
        return -1;
    }

    PVRAX_CLIENT_RECORD record = *link;
    BOOLEAN matched = FALSE;
    BOOLEAN empty = TRUE;
    for (ULONG slot = 0; slot < VRAX_CLIENT_SLOTS; ++slot) {
        // A free slot never counts as holding the id being released.
        if (ClientId != VRAX_CLIENT_SLOT_FREE && record->ClientIds[slot] == ClientId) {
            record->ClientIds[slot] = VRAX_CLIENT_SLOT_FREE;
            matched = TRUE;
        }
        if (record->ClientIds[slot] != VRAX_CLIENT_SLOT_FREE) {
            empty = FALSE;
        }
    }
    if (empty) {
        *link = record->Next;
    }
    // The record no longer holds the id and, when empty, is out of the list.
    if (matched) {
        NoteOwnerRemoved(PortIndex, ServiceType, record, &ClientId, 1);
    }
    if (empty) {
        VraxFreePool(record, VRAX_TAG_CLIENT_RECORD);
    }
    if (!matched) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "release: key 0x%x does not hold id %u",
                    SessionKey, ClientId);
        return -1;
    }
    return 0;
}

_Use_decl_annotations_ VOID PurgeSessionClients(ULONG SessionKey) {
    for (ULONG port = 0; port < VRAX_PORT_COUNT; ++port) {
        WDFWAITLOCK lock = VraxEnsureWaitLock(&RoutingTable[port].RoutingLock);
        if (lock == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "purge: port %u lock creation failed", port);
            return;
        }
        VRAX_WAIT_LOCK_HOLDER holder(lock);
        for (ULONG service = 1; service < VRAX_SERVICE_INVALID; ++service) {
            PVRAX_CLIENT_RECORD* link =
                FindRecordLink(&RoutingTable[port].Clients[service], SessionKey);
            if (link != nullptr) {
                PVRAX_CLIENT_RECORD record = *link;
                *link = record->Next;
                NoteOwnerRemoved(port, (UCHAR)service, record, record->ClientIds,
                                 VRAX_CLIENT_SLOTS);
                VraxFreePool(record, VRAX_TAG_CLIENT_RECORD);
            }
        }
    }
}

_Use_decl_annotations_ VOID ForgetPortClients(ULONG PortIndex) {
    if (PortIndex >= VRAX_PORT_COUNT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "forget clients: bad port %u", PortIndex);
        return;
    }
    WDFWAITLOCK lock = VraxEnsureWaitLock(&RoutingTable[PortIndex].RoutingLock);
    if (lock == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "forget clients: port %u lock creation failed",
                    PortIndex);
        return;
    }
    VRAX_WAIT_LOCK_HOLDER holder(lock);
    for (ULONG service = 0; service < VRAX_SERVICE_TYPE_COUNT; ++service) {
        FreeRecordList(PortIndex, service);
    }
}

_Use_decl_annotations_ VOID ForgetRouting() {
    // No thread is left by now; ResetRouting frees what remains under whatever lock exists.
    ResetRouting();
    for (ULONG port = 0; port < VRAX_PORT_COUNT; ++port) {
        InterlockedExchange(&RoutingTable[port].Open, 0);
    }
}
