// The monitor hook for kernel clients. No kernel client can register yet, so there is no one
// to offer a frame to, and the message is left as it came.
#include <ntddk.h>

#include "delivery.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "monitor_hook.tmh"
#endif

_Use_decl_annotations_ VOID OfferToMonitors(ULONG OwnerKey, ULONG PortIndex, UCHAR ServiceType,
                                            UCHAR ClientId, UCHAR Flags, ULONG TransactionMarker,
                                            PUCHAR Message, ULONG Length) {
    UNREFERENCED_PARAMETER(OwnerKey);
    UNREFERENCED_PARAMETER(ClientId);
    UNREFERENCED_PARAMETER(Flags);
    UNREFERENCED_PARAMETER(TransactionMarker);
    UNREFERENCED_PARAMETER(Message);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_VRAX, "no kernel clients: port %u service %u, %u bytes",
                PortIndex, ServiceType, Length);
}
