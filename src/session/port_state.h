// Port-state notifications to client sessions: port ready (0) and port lost (1).
#pragma once

#include <ntddk.h>

#define VRAX_PORT_STATE_READY 0
#define VRAX_PORT_STATE_LOST 1

// Tells the sessions bound to the port that it is ready or lost.
_IRQL_requires_(PASSIVE_LEVEL) VOID NotifyPortState(_In_ ULONG PortIndex, _In_ ULONG State);
