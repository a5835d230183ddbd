// Delivery of inbound service messages to client sessions and kernel clients. The
// demultiplexer calls these on the port service thread with the port's routing lock held.
#pragma once

#include <ntddk.h>

#include "../vrax_wire.h"
#include "session.h"

// Delivers one service message to the session with SessionKey, or, for
// VRAX_SESSION_KEY_NONE, to every session bound to (PortIndex, ServiceType).
_IRQL_requires_(PASSIVE_LEVEL) VOID
    DeliverServiceMessage(_In_ ULONG SessionKey, _In_ ULONG PortIndex, _In_ UCHAR ServiceType,
                          _In_reads_bytes_(Length) PUCHAR Message, _In_ ULONG Length);

// The monitor hook: offers a frame's service message to the registered kernel clients.
// A non-zero low byte of TransactionMarker renumbers control responses per kernel client,
// which writes message byte 1.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    OfferToMonitors(_In_ ULONG OwnerKey, _In_ ULONG PortIndex, _In_ UCHAR ServiceType,
                    _In_ UCHAR ClientId, _In_ UCHAR Flags, _In_ ULONG TransactionMarker,
                    _Inout_updates_bytes_(Length) PUCHAR Message, _In_ ULONG Length);

// The reply catcher for the service-2 query: whether the session waits for such a reply, and
// the hand-over of the reply's data (the first TLV's value onwards).
_IRQL_requires_(PASSIVE_LEVEL) BOOLEAN IsAwaitingReply(_In_ ULONG SessionKey);

_IRQL_requires_(PASSIVE_LEVEL) VOID
    CatchReply(_In_ ULONG SessionKey, _In_reads_bytes_(Length) PUCHAR Data, _In_ ULONG Length);

// Hands a port-state notification to the session's oldest waiting notification read, or
// stores it. The caller holds ClientSessionsLock.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    QueuePortNotification(_In_ PCLIENT_CONTEXT Session, _In_ ULONG State);

// Outcomes of control-service responses, recorded in the sessions with SessionKey (on
// PortIndex where the port matters) and signalled on their events.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    SignalAllocationResult(_In_ ULONG PortIndex, _In_ ULONG SessionKey, _In_ UCHAR ClientId,
                           _In_ USHORT ErrorCode);
_IRQL_requires_(PASSIVE_LEVEL) VOID SignalReleaseDone(_In_ ULONG PortIndex, _In_ ULONG SessionKey);
_IRQL_requires_(PASSIVE_LEVEL) VOID
    SignalValue(_In_ ULONG PortIndex, _In_ ULONG SessionKey, _In_ USHORT Value);

// Stores a port's service table (a VRAX_SERVICE_TABLE_SIZE-byte record) in the service
// version table and marks the port ready.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    StoreServiceTable(_In_ ULONG PortIndex, _In_ ULONG SessionKey,
                      _In_reads_bytes_(VRAX_SERVICE_TABLE_SIZE) const UCHAR* Record);

// The port-ready restart of the client queue. Starting the queue presents the requests
// waiting in it on the calling thread, and a presented request may take a port's routing
// lock (a submitted control of kind 5 does), so the start never runs under one:
// StoreServiceTable, which runs under the routing lock, only asks for it, and the
// demultiplexer runs it once it has released the lock. Both run on the port service thread,
// which is also the only thread that stops the queue when a port is lost, so a restart asked
// for cannot overtake a later loss.
_IRQL_requires_max_(PASSIVE_LEVEL) VOID RequestClientQueueRestart();

// Runs a restart asked for since the last call: if ClientQueueStopped is set, clears it and
// starts ClientQueue. The caller holds no lock of the driver.
_IRQL_requires_(PASSIVE_LEVEL) VOID RunClientQueueRestart();
