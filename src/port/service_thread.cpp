// The port service thread. One per open port, started by the port's first open; it is the
// port's only reader and the only one to close and re-open it:
//
//   waiting for open --open event--> serving --read event--> reads until nothing is pending
//          |                            |  --close event--> re-opening --> waiting for open
//          +--PortStopEvent--> ended    +--PortStopEvent--> close request, ended
//
// A restart asked by a new arrival of the SMD interface (RestartEvent) is served like a
// close from the SMD side, except that the old channel may be gone with its device, so a
// failed close request does not end the thread.
//
// Each time the open event fires the thread sends the port-open notice, and only then
// queues the port-open work item: the notice is the first frame of every open of the
// channel, written when the SMD side can take it, and the service-table request that the
// work item sends carries the transaction id after the notice's.
#include <ntddk.h>
#include <wdf.h>

#include "../driver/code_sections.h"
#include "../ioctl/port_open_work.h"
#include "../protocol/control_requests.h"
#include "../session/port_state.h"
#include "../vrax_device.h"
#include "../vrax_lock.h"
#include "../vrax_pool.h"
#include "interface.h"
#include "port_open.h"
#include "receive_dispatch.h"
#include "service_thread.h"
#include "smd_channel.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "service_thread.tmh"
#endif

// Bytes of one port read; one more than the largest chunk the SMD side hands out.
#define VRAX_PORT_READ_SIZE 8193

namespace {

// What a wait of the thread ended with.
enum PORT_WAKE { WakeOpen, WakeRead, WakeClose, WakeStop, WakeRestart, WakeOther };

// The objects the thread waits on, rebuilt from the port context after every re-open.
struct PORT_WAIT_SETS {
    PVOID Open[3];  // open event, PortStopEvent, RestartEvent
    PVOID Main[4];  // read event, close event, PortStopEvent, RestartEvent
    // Four objects are more than a thread's built-in wait blocks hold.
    KWAIT_BLOCK WaitBlocks[4];
};

VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) VOID
    BuildWaitSets(_In_ PSMD_PORT_RECORD Port, _Out_ PORT_WAIT_SETS* Sets) {
    PAGED_CODE();

    PIOTARGET_SMD_PORT_CONTEXT context = Port->PortContext;
    Sets->Open[0] = context->OpenEvent;
    Sets->Open[1] = &PortStopEvent;
    Sets->Open[2] = &Port->RestartEvent;
    Sets->Main[0] = context->ReadEvent;
    Sets->Main[1] = context->CloseEvent;
    Sets->Main[2] = &PortStopEvent;
    Sets->Main[3] = &Port->RestartEvent;
}

VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) PORT_WAKE WaitForOpen(_In_ PORT_WAIT_SETS* Sets) {
    PAGED_CODE();

    NTSTATUS status = KeWaitForMultipleObjects(3, Sets->Open, WaitAny, Executive, KernelMode, FALSE,
                                               nullptr, nullptr);
    switch (status) {
        case STATUS_WAIT_0:
            return WakeOpen;
        case STATUS_WAIT_1:
            return WakeStop;
        case STATUS_WAIT_2:
            return WakeRestart;
        default:
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "open wait ended with %!STATUS!", status);
            return WakeOther;
    }
}

VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) PORT_WAKE WaitForWork(_In_ PORT_WAIT_SETS* Sets) {
    PAGED_CODE();

    NTSTATUS status = KeWaitForMultipleObjects(4, Sets->Main, WaitAny, Executive, KernelMode, FALSE,
                                               nullptr, Sets->WaitBlocks);
    switch (status) {
        case STATUS_WAIT_0:
            return WakeRead;
        case STATUS_WAIT_1:
            return WakeClose;
        case STATUS_WAIT_2:
            return WakeStop;
        case STATUS_WAIT_3:
            return WakeRestart;
        default:
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "main wait ended with %!STATUS!", status);
            return WakeOther;
    }
}

// A port-open work item for the port, not yet queued; NULL when it cannot be made.
VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) WDFWORKITEM CreatePortOpenWorkItem(_In_ PSMD_PORT_RECORD Port) {
    PAGED_CODE();

    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, EvtPortOpenWorkItem);
    config.AutomaticSerialization = TRUE;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, VRAX_WORK_ITEM_CONTEXT_CONN_ID);
    attributes.ParentObject = Port->Device;
    WDFWORKITEM workItem = nullptr;
    NTSTATUS status = WdfWorkItemCreate(&config, &attributes, &workItem);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: work item %!STATUS!", Port->PortIndex,
                    status);
        return nullptr;
    }
    PVRAX_WORK_ITEM_CONTEXT_CONN_ID context = GetConnIdContext(workItem);
    if (context == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: work item without context",
                    Port->PortIndex);
        WdfObjectDelete(workItem);
        return nullptr;
    }
    context->PortIndex = Port->PortIndex;
    return workItem;
}

VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) VOID DelayAfterOpen() {
    PAGED_CODE();

    LARGE_INTEGER delay;
    delay.QuadPart = VRAX_DELAY_AFTER_OPEN;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

// The port-open notice, written on a channel the SMD side has just opened. A notice that
// cannot be sent is traced; the port stays in service (the modem ignores the notice).
VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) VOID AnnounceOpen(_In_ PSMD_PORT_RECORD Port) {
    PAGED_CODE();

    int result = SendPortOpenNotice(Port->PortIndex);
    if (result != 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: open notice result %d",
                    Port->PortIndex, result);
    }
}

// Reads while the SMD side reports data pending. The shutdown also ends the loop: an SMD
// side that never stops reporting data must not keep the thread from ending.
VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) VOID ReadPending(_In_ PSMD_PORT_RECORD Port) {
    PAGED_CODE();

    while (SmdQueryReadPending(Port) != 0) {
        if (KeReadStateEvent(&PortStopEvent) != 0) {
            return;
        }
        (VOID) SmdPortRead(Port);
    }
}

// Closes the port's target (kept, closed, for the next open) and releases its events.
VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) VOID ClosePort(_Inout_ PSMD_PORT_RECORD Port) {
    PAGED_CODE();

    SmdPortReleaseEvents(Port);
    WDFIOTARGET target = SmdPortCurrentTarget(Port);
    if (target != nullptr) {
        SmdPortSetTarget(Port, nullptr);
        WdfIoTargetClose(target);
        Port->SpareTarget = target;
    }
    Port->PortContext = nullptr;
}

// The close event (or a restart): withdraws the device, closes and re-opens the port.
// FALSE when the thread has to end.
VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) BOOLEAN
    ReopenPort(_Inout_ PSMD_PORT_RECORD Port, _In_ PVRAX_DEVICE_CONTEXT Context,
               _In_ BOOLEAN Restart) {
    PAGED_CODE();

    if (Restart) {
        // The arrival's request is taken.
        (VOID)
            InterlockedCompareExchange(&Port->RestartState, VRAX_RESTART_NONE, VRAX_RESTART_ASKED);
    }
    SetDeviceInterface(Port->Device, VRAX_INTERFACE_DISABLE);
    {
        VRAX_WAIT_LOCK_HOLDER holder(ClientQueueLock);
        if (!ClientQueueStopped) {
            ClientQueueStopped = TRUE;
            WdfIoQueueStopAndPurgeSynchronously(Context->ClientQueue);
        }
    }
    KeClearEvent(Port->PortContext->OpenEvent);
    NTSTATUS status = SmdCloseChannel(Port);
    if (!NT_SUCCESS(status) && !Restart) {
        return FALSE;
    }
    ClosePort(Port);
    NotifyPortState(Port->PortIndex, VRAX_PORT_STATE_LOST);
    {
        // Control requests on other threads read the table under this lock.
        VRAX_WAIT_LOCK_HOLDER lock(ClientSessionsLock);
        RtlZeroMemory(ServiceVersionTable[Port->PortIndex], sizeof(ServiceVersionTable[0]));
    }

    status = SmdPortOpen(Port, Port->PortIndex, Port, TRUE);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: re-open %!STATUS!", Port->PortIndex,
                    status);
        return FALSE;
    }
    return TRUE;
}

// The thread's states; returns when the thread is to end.
VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) VOID ServePort(_Inout_ PSMD_PORT_RECORD Port) {
    PAGED_CODE();

    PVRAX_DEVICE_CONTEXT context = GetVraxDeviceContext(Port->Device);
    PORT_WAIT_SETS sets;
    BuildWaitSets(Port, &sets);

    WDFWORKITEM workItem = CreatePortOpenWorkItem(Port);
    if (workItem == nullptr) {
        return;
    }
    PORT_WAKE wake = WaitForOpen(&sets);
    if (wake == WakeOpen) {
        DelayAfterOpen();
        AnnounceOpen(Port);
        SetDeviceInterface(Port->Device, VRAX_INTERFACE_ENABLE);
        KeClearEvent(&PortReadyEvent);
        WdfWorkItemEnqueue(workItem);
    } else {
        // Never queued: deleted here rather than left to the device, so that restarts do
        // not pile work items up under it.
        WdfObjectDelete(workItem);
    }
    if (wake == WakeStop) {
        return;
    }

    for (;;) {
        if (wake != WakeRestart) {
            wake = WaitForWork(&sets);
        }
        switch (wake) {
            case WakeRead:
                ReadPending(Port);
                break;
            case WakeStop:
                (VOID) SmdCloseChannel(Port);
                return;
            case WakeClose:
            case WakeRestart:
                if (!ReopenPort(Port, context, wake == WakeRestart ? TRUE : FALSE)) {
                    return;
                }
                BuildWaitSets(Port, &sets);
                wake = WaitForOpen(&sets);
                if (wake == WakeStop) {
                    return;
                }
                if (wake == WakeOpen) {
                    workItem = CreatePortOpenWorkItem(Port);
                    if (workItem == nullptr) {
                        return;
                    }
                    KeClearEvent(&PortReadyEvent);
                    DelayAfterOpen();
                    AnnounceOpen(Port);
                    WdfWorkItemEnqueue(workItem);
                    SetDeviceInterface(Port->Device, VRAX_INTERFACE_ENABLE);
                }
                break;
            default:
                break;
        }
    }
}

}  // namespace

VRAX_PAGED_CODE
_Use_decl_annotations_ NTSTATUS SmdPortRead(PSMD_PORT_RECORD Port) {
    PAGED_CODE();

    WDFIOTARGET target = SmdPortCurrentTarget(Port);
    if (target == nullptr) {
        return STATUS_SUCCESS;
    }
    WDFREQUEST request = nullptr;
    NTSTATUS status = WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target, &request);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: read request %!STATUS!",
                    Port->PortIndex, status);
        return STATUS_SUCCESS;
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = request;
    WDFMEMORY memory = nullptr;
    status = WdfMemoryCreate(&attributes, VraxPoolType, VRAX_TAG_FRAME, VRAX_PORT_READ_SIZE,
                             &memory, nullptr);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: read buffer %!STATUS!",
                    Port->PortIndex, status);
        WdfObjectDelete(request);
        return STATUS_SUCCESS;
    }
    status = WdfIoTargetFormatRequestForRead(target, request, memory, nullptr, nullptr);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: read format %!STATUS!",
                    Port->PortIndex, status);
        WdfObjectDelete(memory);
        WdfObjectDelete(request);
        return STATUS_SUCCESS;
    }

    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(
        &options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS | WDF_REQUEST_SEND_OPTION_TIMEOUT);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, VRAX_TIMEOUT_PORT_READ);
    NTSTATUS result = STATUS_SUCCESS;
    if (!WdfRequestSend(request, target, &options)) {
        result = WdfRequestGetStatus(request);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: read not sent %!STATUS!",
                    Port->PortIndex, result);
    } else if (WdfRequestGetStatus(request) != STATUS_IO_TIMEOUT) {
        // Whatever the completion status, the read goes on with the count it reports.
        WDF_REQUEST_COMPLETION_PARAMS params;
        WDF_REQUEST_COMPLETION_PARAMS_INIT(&params);
        WdfRequestGetCompletionParams(request, &params);
        ReceiveDispatch(request, target, &params, Port);
    }
    WdfObjectDelete(memory);
    WdfObjectDelete(request);
    return result;
}

_Use_decl_annotations_ VOID SmdPortServiceThread(PVOID StartContext) {
    PSMD_PORT_RECORD port = (PSMD_PORT_RECORD)StartContext;
    ServePort(port);
    for (;;) {
        // Thread end: whatever state the port was left in, it is closed now.
        ClosePort(port);
        if (KeReadStateEvent(&PortStopEvent) != 0) {
            break;
        }
        // An arrival that found this thread alive may have asked it to restart after it
        // decided to end (a re-open that failed): the request is served here, as the arrival
        // left the port to this thread. Any later arrival sees the thread leaving.
        if (InterlockedCompareExchange(&port->RestartState, VRAX_RESTART_THREAD_LEAVING,
                                       VRAX_RESTART_NONE) != VRAX_RESTART_ASKED) {
            break;
        }
        InterlockedExchange(&port->RestartState, VRAX_RESTART_NONE);
        KeClearEvent(&port->RestartEvent);
        NTSTATUS status = SmdPortOpen(port, port->PortIndex, port, TRUE);
        if (NT_SUCCESS(status)) {
            ServePort(port);
        } else {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: restart open %!STATUS!",
                        port->PortIndex, status);
        }
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "port %u: service thread ends",
                port->PortIndex);
    PsTerminateSystemThread(STATUS_SUCCESS);
}
