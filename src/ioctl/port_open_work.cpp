// The port-open work item. The service-table request it is to send and the wait for the
// port-ready answer need the control requests that come later; until then the routine only
// records which port opened and deletes its work item.
#include <ntddk.h>
#include <wdf.h>

#include "../driver/code_sections.h"
#include "port_open_work.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "port_open_work.tmh"
#endif

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtPortOpenWorkItem(WDFWORKITEM WorkItem) {
    PAGED_CODE();

    PVRAX_WORK_ITEM_CONTEXT_CONN_ID context = GetConnIdContext(WorkItem);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "port %u open: service table not requested",
                context != nullptr ? context->PortIndex : 0xFFFFFFFFu);
    WdfObjectDelete(WorkItem);
}
