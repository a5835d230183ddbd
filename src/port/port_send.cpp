// Transmit path entry. The port checks are in place; the asynchronous write to the port's
// I/O target is not built yet, so every frame that passes them is refused as if the port
// were not open. Nothing here allocates, and the caller's frame is left untouched.
#include <ntddk.h>

#include "port_send.h"
#include "receive_dispatch.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "port_send.tmh"
#endif

_Use_decl_annotations_ int PortSend(ULONG PortIndex, PUCHAR Frame, ULONG Length) {
    UNREFERENCED_PARAMETER(Frame);

    if (PortIndex >= VRAX_PORT_COUNT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "send: bad port %u", PortIndex);
        return -1;
    }
    if (!IsPortAttached(PortIndex)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "send: port %u not attached", PortIndex);
        return -1;
    }
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "send: port %u not open, %u bytes refused",
                PortIndex, Length);
    return -1;
}
