// Delivery of inbound service messages to client sessions and kernel clients. The
// demultiplexer calls these on the port service thread with the port's routing lock held.
#pragma once

#include <ntddk.h>

// Session key meaning "no session"; as a delivery key, every session bound to the port and
// service type (broadcast).
#define VRAX_SESSION_KEY_NONE 0xFFFFFFFFu

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
