// Delivery to sessions. The sessions, their read queues and stores are not built yet, so
// there is no one to deliver to: every message is dropped and traced.
#include <ntddk.h>

#include "delivery.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "delivery.tmh"
#endif

_Use_decl_annotations_ VOID DeliverServiceMessage(ULONG SessionKey, ULONG PortIndex,
                                                  UCHAR ServiceType, PUCHAR Message, ULONG Length) {
    UNREFERENCED_PARAMETER(Message);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                "no sessions: message for key 0x%x port %u service %u (%u bytes) dropped",
                SessionKey, PortIndex, ServiceType, Length);
}
