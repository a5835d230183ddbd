// The port-open notice. Building it needs a transaction id from the port's transaction
// table, which is not built yet, so the notice is not sent; opening the port's routing does
// not depend on it.
#include <ntddk.h>

#include "control_requests.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "control_requests.tmh"
#endif

_Use_decl_annotations_ int SendPortOpenNotice(ULONG PortIndex) {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: port-open notice not sent", PortIndex);
    return -1;
}
