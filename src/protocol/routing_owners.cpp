// The owner index of the routing table: per port and client service type, the record that
// owns each client id, kept in step with the record lists under the port's routing lock.
#include <ntddk.h>
#include <wdf.h>

#include "routing_owners.h"

#include "../vrax_pool.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "routing_owners.tmh"
#endif

// Ids a table holds: every id but the free-slot mark.
#define VRAX_OWNER_TABLE_IDS VRAX_CLIENT_SLOT_FREE

// The first record, newest first, whose slots hold the client id.
static PVRAX_CLIENT_RECORD WalkForOwner(PVRAX_CLIENT_RECORD Head, UCHAR ClientId) {
    for (PVRAX_CLIENT_RECORD record = Head; record != nullptr; record = record->Next) {
        for (ULONG slot = 0; slot < VRAX_CLIENT_SLOTS; ++slot) {
            if (record->ClientIds[slot] == ClientId) {
                return record;
            }
        }
    }
    return nullptr;
}

// Makes the table of (PortIndex, ServiceType) from its list; none when there is no memory.
static VOID MakeOwnerTable(ULONG PortIndex, UCHAR ServiceType) {
    PVRAX_CLIENT_RECORD* table = (PVRAX_CLIENT_RECORD*)VraxAllocatePool(
        sizeof(PVRAX_CLIENT_RECORD) * VRAX_OWNER_TABLE_IDS, VRAX_TAG_OWNER_TABLE);
    if (table == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                    "owners: no memory for port %u service %u, ids looked up by walking", PortIndex,
                    ServiceType);
        return;
    }
    RtlZeroMemory(table, sizeof(PVRAX_CLIENT_RECORD) * VRAX_OWNER_TABLE_IDS);
    // Newest first: the first record met for an id owns it.
    for (PVRAX_CLIENT_RECORD record = RoutingTable[PortIndex].Clients[ServiceType];
         record != nullptr; record = record->Next) {
        for (ULONG slot = 0; slot < VRAX_CLIENT_SLOTS; ++slot) {
            UCHAR id = record->ClientIds[slot];
            if (id != VRAX_CLIENT_SLOT_FREE && table[id] == nullptr) {
                table[id] = record;
            }
        }
    }
    RoutingTable[PortIndex].Owners[ServiceType] = table;
}

_Use_decl_annotations_ PVRAX_CLIENT_RECORD LookUpOwner(ULONG PortIndex, UCHAR ServiceType,
                                                       UCHAR ClientId) {
    PVRAX_CLIENT_RECORD* table = RoutingTable[PortIndex].Owners[ServiceType];
    // The free-slot mark is not in the table: a walk finds what it always found for it.
    if (table == nullptr || ClientId == VRAX_CLIENT_SLOT_FREE) {
        return WalkForOwner(RoutingTable[PortIndex].Clients[ServiceType], ClientId);
    }
    return table[ClientId];
}

_Use_decl_annotations_ VOID NoteOwnerAdded(ULONG PortIndex, UCHAR ServiceType,
                                           PVRAX_CLIENT_RECORD Record, UCHAR ClientId,
                                           BOOLEAN Pushed) {
    PVRAX_CLIENT_RECORD* table = RoutingTable[PortIndex].Owners[ServiceType];
    if (table == nullptr) {
        // Made from the list, which already holds the id.
        MakeOwnerTable(PortIndex, ServiceType);
        return;
    }
    PVRAX_CLIENT_RECORD owner = table[ClientId];
    if (Pushed || owner == nullptr) {
        // The head of the list is the newest record; an id nobody held is Record's.
        table[ClientId] = Record;
    } else if (owner != Record) {
        // An older record than the owner may have taken the id: only the list order tells.
        table[ClientId] = WalkForOwner(RoutingTable[PortIndex].Clients[ServiceType], ClientId);
    }
}

_Use_decl_annotations_ VOID NoteOwnerRemoved(ULONG PortIndex, UCHAR ServiceType, const VOID* Record,
                                             const UCHAR* Ids, ULONG Count) {
    PVRAX_CLIENT_RECORD* table = RoutingTable[PortIndex].Owners[ServiceType];
    if (table == nullptr) {
        return;
    }
    for (ULONG i = 0; i < Count; ++i) {
        UCHAR id = Ids[i];
        // An id held by an older record as well passes to the newest of those.
        if (id != VRAX_CLIENT_SLOT_FREE && table[id] == Record) {
            table[id] = WalkForOwner(RoutingTable[PortIndex].Clients[ServiceType], id);
        }
    }
}

_Use_decl_annotations_ VOID FreeOwnerTable(ULONG PortIndex, UCHAR ServiceType) {
    PVRAX_CLIENT_RECORD* table = RoutingTable[PortIndex].Owners[ServiceType];
    RoutingTable[PortIndex].Owners[ServiceType] = nullptr;
    if (table != nullptr) {
        VraxFreePool(table, VRAX_TAG_OWNER_TABLE);
    }
}
