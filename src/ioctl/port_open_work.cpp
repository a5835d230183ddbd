// The port-open work item: once the SMD side has opened a port, the control service of the
// port is asked for its service table (session key 0, the driver's own), and the routine waits
// up to 5 seconds for the answer to mark the port ready or for the ports to stop. The port's
// readiness itself is established where the answer is handled; this routine only consumes
// the ready signal. The work item is deleted on every path.
#include <ntddk.h>
#include <wdf.h>

#include "../driver/code_sections.h"
#include "../protocol/control_requests.h"
#include "../vrax_device.h"
#include "port_open_work.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "port_open_work.tmh"
#endif

// The session key of the driver's own requests.
#define VRAX_DRIVER_SESSION_KEY 0

namespace {

// Sends the service-table request and waits for its outcome.
VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) VOID RequestPortReady(_In_ ULONG PortIndex) {
    PAGED_CODE();

    int result = RequestServiceTable(VRAX_DRIVER_SESSION_KEY, PortIndex);
    if (result < 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u open: service table not requested, %d",
                    PortIndex, result);
        return;
    }

    PVOID objects[2] = {&PortReadyEvent, &PortStopEvent};
    LARGE_INTEGER timeout;
    timeout.QuadPart = VRAX_TIMEOUT_CONTROL_ANSWER;
    NTSTATUS status = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE,
                                               &timeout, nullptr);
    if (status == STATUS_WAIT_0) {
        KeClearEvent(&PortReadyEvent);
        return;
    }
    if (status == STATUS_WAIT_1) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u open: ports stopping, transaction %d",
                    PortIndex, result);
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u open: transaction %d ended %!STATUS!",
                    PortIndex, result, status);
    }
}

}  // namespace

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtPortOpenWorkItem(WDFWORKITEM WorkItem) {
    PAGED_CODE();

    PVRAX_WORK_ITEM_CONTEXT_CONN_ID context = GetConnIdContext(WorkItem);
    if (context == nullptr || context->PortIndex >= VRAX_PORT_COUNT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port open: work item without a port");
    } else {
        RequestPortReady(context->PortIndex);
    }
    WdfObjectDelete(WorkItem);
}
