// Transmit path: every frame leaves the driver as one asynchronous write request holding a
// private copy of the frame, sent to the port's target. The sender does not wait and never
// learns the write's outcome; the completion routine only deletes the request.
#include <ntddk.h>
#include <wdf.h>

#include "../vrax_pool.h"
#include "port_send.h"
#include "port_table.h"
#include "receive_dispatch.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "port_send.tmh"
#endif

_Use_decl_annotations_ int PortSend(ULONG PortIndex, PUCHAR Frame, ULONG Length) {
    if (PortIndex >= VRAX_PORT_COUNT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "send: bad port %u", PortIndex);
        return -1;
    }
    if (!IsPortAttached(PortIndex)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "send: port %u not attached", PortIndex);
        return -1;
    }
    NTSTATUS status = SmdPortWrite(Frame, Length, PortIndex);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "send: port %u write %!STATUS!", PortIndex,
                    status);
        return -1;
    }
    return 0;
}

_Use_decl_annotations_ NTSTATUS SmdPortWrite(PUCHAR Frame, ULONG Length, ULONG PortIndex) {
    if (Length == 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "write: port %u empty frame", PortIndex);
        return STATUS_INVALID_PARAMETER_1;
    }
    if (PortIndex >= VRAX_PORT_COUNT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "write: bad port %u", PortIndex);
        return STATUS_INVALID_PARAMETER_3;
    }
    // Read once: the service thread may close the port meanwhile. A closed target stays a
    // valid object (it is kept for the next open), so the send then fails or is cancelled.
    WDFIOTARGET target = SmdPortCurrentTarget(&SmdPortTable[PortIndex]);
    if (target == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "write: port %u closed", PortIndex);
        return STATUS_INVALID_DEVICE_STATE;
    }

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = target;
    WDFREQUEST request = nullptr;
    NTSTATUS status = WdfRequestCreate(&attributes, target, &request);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "write: port %u request %!STATUS!", PortIndex,
                    status);
        return status;
    }
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = request;
    WDFMEMORY memory = nullptr;
    PVOID buffer = nullptr;
    status = WdfMemoryCreate(&attributes, VraxPoolType, VRAX_TAG_FRAME, Length, &memory, &buffer);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "write: port %u buffer %!STATUS!", PortIndex,
                    status);
        WdfObjectDelete(request);
        return status;
    }
    RtlCopyMemory(buffer, Frame, Length);
    status = WdfIoTargetFormatRequestForWrite(target, request, memory, nullptr, nullptr);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "write: port %u format %!STATUS!", PortIndex,
                    status);
        WdfObjectDelete(request);
        return status;
    }
    WdfRequestSetCompletionRoutine(request, SmdPortWriteComplete, WDF_NO_CONTEXT);
    if (!WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS)) {
        status = WdfRequestGetStatus(request);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "write: port %u not sent %!STATUS!", PortIndex,
                    status);
        WdfObjectDelete(request);
        return status;
    }
    return STATUS_SUCCESS;
}

_Use_decl_annotations_ VOID SmdPortWriteComplete(WDFREQUEST Request, WDFIOTARGET Target,
                                                 PWDF_REQUEST_COMPLETION_PARAMS Params,
                                                 WDFCONTEXT Context) {
    UNREFERENCED_PARAMETER(Target);
    UNREFERENCED_PARAMETER(Params);
    UNREFERENCED_PARAMETER(Context);

    WdfObjectDelete(Request);
}
