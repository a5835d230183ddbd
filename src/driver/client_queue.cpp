// The default queue of the control device, and the completion of requests cancelled while
// they still wait in it.
#include <ntddk.h>
#include <wdf.h>

#include "../ioctl/ioctl_dispatch.h"
#include "../session/read_write.h"
#include "../session/session.h"
#include "client_queue.h"
#include "code_sections.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "client_queue.tmh"
#endif

VRAX_PAGED_CODE
_Use_decl_annotations_ NTSTATUS VraxCreateClientQueue(PVRAX_DEVICE_CONTEXT Context) {
    PAGED_CODE();

    // Sequential: at most one request of any kind is in the driver's hands at a time, so the
    // control dispatcher never runs beside the read or write paths.
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchSequential);
    config.PowerManaged = WdfFalse;
    config.EvtIoRead = EvtIoRead;
    config.EvtIoWrite = EvtIoWrite;
    config.EvtIoDeviceControl = EvtIoDeviceControl;
    config.EvtIoStop = EvtIoStop;
    config.EvtIoCanceledOnQueue = EvtIoCanceledOnQueue;

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ExecutionLevel = WdfExecutionLevelPassive;
    attributes.ParentObject = Context->Device;

    WDFQUEUE queue = nullptr;
    NTSTATUS status = WdfIoQueueCreate(Context->Device, &config, &attributes, &queue);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "WdfIoQueueCreate failed %!STATUS!", status);
        return status;
    }
    Context->ClientQueue = queue;
    return STATUS_SUCCESS;
}

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtIoCanceledOnQueue(WDFQUEUE Queue, WDFREQUEST Request) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Queue);

    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "request %p cancelled in the queue", Request);
    WdfRequestComplete(Request, STATUS_CANCELLED);
}
