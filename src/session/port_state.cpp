// Port-state notifications. Sessions have no notification queues yet, so nobody is told;
// the change of state is only traced.
#include <ntddk.h>

#include "delivery.h"
#include "port_state.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "port_state.tmh"
#endif

_Use_decl_annotations_ VOID NotifyPortState(ULONG PortIndex, ULONG State) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "port %u state %u: no session told", PortIndex,
                State);
}

_Use_decl_annotations_ VOID QueuePortNotification(PCLIENT_CONTEXT Session, ULONG State) {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "key 0x%x: state %u not queued", Session->SessionKey,
                State);
}
