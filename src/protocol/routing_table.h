// The routing table's storage, shared by the routing operations, the demultiplexer and the
// send primitive. Not for use outside the protocol layer.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "../vrax_device.h"
#include "routing.h"

// One session's client ids for one port and service type (pool tag "vrx7"). A list holds at
// most one record per session key; a record never holds VRAX_SESSION_KEY_NONE. Slots are
// scanned 0..7, free slots hold VRAX_CLIENT_SLOT_FREE.
typedef struct _VRAX_CLIENT_RECORD {
    struct _VRAX_CLIENT_RECORD* Next;
    ULONG SessionKey;
    UCHAR ClientIds[VRAX_CLIENT_SLOTS];
} VRAX_CLIENT_RECORD, *PVRAX_CLIENT_RECORD;

// One port.
typedef struct _VRAX_ROUTING_ENTRY {
    // Guards Clients and the transitions of Open; held for all routing and delivery on the
    // port. Created at start-up or on first use.
    WDFWAITLOCK volatile RoutingLock;
    // Serializes sends on the port; taken after any transaction lock, never before the
    // routing lock.
    WDFWAITLOCK volatile SendLock;
    // 1 while the port is open for routing. Written under RoutingLock; read by the
    // demultiplexer without a lock and by senders under SendLock.
    LONG volatile Open;
    // Per service type, newest record first. Service type 0 never holds records.
    PVRAX_CLIENT_RECORD Clients[VRAX_SERVICE_TYPE_COUNT];
    // Per service type, the owner of each client id (routing_owners.h): NULL until the list's
    // first id, or while no memory could be had for it. Guarded by RoutingLock with Clients.
    PVRAX_CLIENT_RECORD* Owners[VRAX_SERVICE_TYPE_COUNT];
} VRAX_ROUTING_ENTRY;

extern VRAX_ROUTING_ENTRY RoutingTable[VRAX_PORT_COUNT];

// Reads a flag that another thread may be writing.
inline LONG VraxReadFlag(LONG volatile* Flag) {
    return InterlockedCompareExchange(Flag, 0, 0);
}
