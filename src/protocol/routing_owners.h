// The owner index of the routing table: per port and client service type, a table from client
// id to the record that owns it, so that routing a unicast frame costs the same whatever the
// number of sessions. Not for use outside the protocol layer.
//
// Invariant, under the port's routing lock: while Owners[service] of a port's entry is set,
// Owners[service][id] is, for every id 0..254, the first record of Clients[service] (newest
// first) one of whose slots holds id, or NULL when no record holds it: exactly what a walk of
// the list would find. Every change to a list or to a record's slots is followed, under the
// same hold of the lock, by the matching call below. A table that could not be allocated is
// simply absent, and the look-up walks the list instead.
#pragma once

#include <ntddk.h>

#include "routing_table.h"

// The record that owns ClientId on (PortIndex, ServiceType), newest first, or NULL. The caller
// holds the port's routing lock and has checked PortIndex and ServiceType.
_IRQL_requires_(PASSIVE_LEVEL) PVRAX_CLIENT_RECORD
    LookUpOwner(_In_ ULONG PortIndex, _In_ UCHAR ServiceType, _In_ UCHAR ClientId);

// ClientId was just stored in a slot of Record, which is in the list of (PortIndex,
// ServiceType); Pushed when Record was just pushed at the head of that list. Makes the table
// if there is none yet (a failure is traced, and look-ups go on walking the list).
_IRQL_requires_(PASSIVE_LEVEL) VOID
    NoteOwnerAdded(_In_ ULONG PortIndex, _In_ UCHAR ServiceType, _In_ PVRAX_CLIENT_RECORD Record,
                   _In_ UCHAR ClientId, _In_ BOOLEAN Pushed);

// Record no longer holds any of the Count ids in Ids: their slots were freed, or the record was
// unlinked from the list of (PortIndex, ServiceType). Record may be freed already; only its
// address is compared.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    NoteOwnerRemoved(_In_ ULONG PortIndex, _In_ UCHAR ServiceType, _In_ const VOID* Record,
                     _In_reads_(Count) const UCHAR* Ids, _In_ ULONG Count);

// Frees the table of (PortIndex, ServiceType): its list was emptied.
_IRQL_requires_(PASSIVE_LEVEL) VOID FreeOwnerTable(_In_ ULONG PortIndex, _In_ UCHAR ServiceType);
