// The per-port transaction table. No control request is tracked yet, so there are no
// records to prepare or free.
#include <ntddk.h>

#include "control_requests.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "transactions.tmh"
#endif

_Use_decl_annotations_ int InitTransactions() {
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_VRAX, "transaction table: nothing to prepare");
    return 0;
}

_Use_decl_annotations_ VOID ResetTransactions() {
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_VRAX, "transaction table: nothing to free");
}
