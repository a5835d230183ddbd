// Entry to and exit from the working state. The default queue is not power managed, so
// these callbacks start it and purge it by hand; leaving for good also shuts the ports down.
#include <ntddk.h>
#include <wdf.h>

#include "../port/hardware.h"
#include "../port/port_shutdown.h"
#include "../vrax_device.h"
#include "code_sections.h"
#include "device.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "device_power.tmh"
#endif

namespace {

// Whether the queue is in one of the two states the working-state entry restarts: purged
// (not accepting, nothing queued, nothing in the driver), or stopped (accepting, not
// dispatching, nothing in the driver). A queue that runs, or still has requests out, is
// left alone.
bool QueueNeedsStart(WDF_IO_QUEUE_STATE State) {
    const bool accepting = (State & WdfIoQueueAcceptRequests) != 0;
    const bool dispatching = (State & WdfIoQueueDispatchRequests) != 0;
    const bool noRequests = (State & WdfIoQueueNoRequests) != 0;
    const bool driverNoRequests = (State & WdfIoQueueDriverNoRequests) != 0;

    if (!accepting && noRequests && driverNoRequests) {
        return true;
    }
    return accepting && !dispatching && driverNoRequests;
}

}  // namespace

VRAX_PAGED_CODE
_Use_decl_annotations_ NTSTATUS EvtDeviceD0Entry(WDFDEVICE Device,
                                                 WDF_POWER_DEVICE_STATE PreviousState) {
    PAGED_CODE();

    PVRAX_DEVICE_CONTEXT context = GetVraxDeviceContext(Device);
    if (context->ClientQueue != nullptr) {
        WDF_IO_QUEUE_STATE state = WdfIoQueueGetState(context->ClientQueue, nullptr, nullptr);
        if (QueueNeedsStart(state)) {
            WdfIoQueueStart(context->ClientQueue);
        }
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "D0 entry from %d, queue state 0x%x",
                    (int)PreviousState, (unsigned)state);
    }
    return STATUS_SUCCESS;
}

VRAX_PAGED_CODE
_Use_decl_annotations_ NTSTATUS EvtDeviceD0Exit(WDFDEVICE Device,
                                                WDF_POWER_DEVICE_STATE TargetState) {
    PAGED_CODE();

    PVRAX_DEVICE_CONTEXT context = GetVraxDeviceContext(Device);
    if (context->ClientQueue != nullptr) {
        // Cancels what waits in the queue; new requests fail until the queue starts again.
        WdfIoQueuePurgeSynchronously(context->ClientQueue);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "D0 exit to %d", (int)TargetState);

    if (TargetState == WdfPowerDeviceD3Final) {
        // With the setting on, a port thread that does not end holds up the removal for at
        // most 3 seconds; without it the shutdown waits as long as the thread takes.
        (VOID) SmdPortsStop(Device, NewHwIdSupported ? FALSE : TRUE);
    }
    return STATUS_SUCCESS;
}
