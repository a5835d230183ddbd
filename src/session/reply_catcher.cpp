// The reply catcher for the service-2 query. No session waits for such a reply yet, so no
// reply is ever caught and the demultiplexer delivers it like any other message.
#include <ntddk.h>

#include "delivery.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "reply_catcher.tmh"
#endif

_Use_decl_annotations_ BOOLEAN IsAwaitingReply(ULONG SessionKey) {
    UNREFERENCED_PARAMETER(SessionKey);
    return FALSE;
}

_Use_decl_annotations_ VOID CatchReply(ULONG SessionKey, PUCHAR Data, ULONG Length) {
    UNREFERENCED_PARAMETER(Data);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "reply for key 0x%x (%u bytes) has no taker",
                SessionKey, Length);
}
