// Outcomes of control-service responses recorded in sessions. Interim: sessions keep no such
// state yet, so each outcome is only traced.
#include <ntddk.h>

#include "delivery.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "signals.tmh"
#endif

_Use_decl_annotations_ VOID SignalAllocationResult(ULONG PortIndex, ULONG SessionKey,
                                                   UCHAR ClientId, USHORT ErrorCode) {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u key 0x%x: id %u error %u not recorded",
                PortIndex, SessionKey, ClientId, ErrorCode);
}

_Use_decl_annotations_ VOID SignalReleaseDone(ULONG PortIndex, ULONG SessionKey) {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u key 0x%x: release not recorded", PortIndex,
                SessionKey);
}

_Use_decl_annotations_ VOID SignalValue(ULONG PortIndex, ULONG SessionKey, USHORT Value) {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u key 0x%x: value %u not recorded", PortIndex,
                SessionKey, Value);
}

_Use_decl_annotations_ VOID StoreServiceTable(ULONG PortIndex, ULONG SessionKey,
                                              const UCHAR* Record) {
    UNREFERENCED_PARAMETER(Record);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u key 0x%x: service table not stored",
                PortIndex, SessionKey);
}
