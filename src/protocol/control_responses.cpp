// Control-service responses. The transaction table that answers are matched against is not
// built yet, so no answer can be matched: every control message is dropped and traced.
#include <ntddk.h>

#include "control_responses.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "control_responses.tmh"
#endif

_Use_decl_annotations_ VOID HandleControlMessage(ULONG PortIndex, PUCHAR Message, ULONG Length) {
    UNREFERENCED_PARAMETER(Message);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                "port %u: control message of %u bytes dropped, no transaction to match", PortIndex,
                Length);
}
