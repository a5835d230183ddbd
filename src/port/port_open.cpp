// The port table, opening a port and bringing the ports up when the SMD interface arrives.
// A port is an I/O target opened by the SMD interface's symbolic link, the SMD channel
// opened on it with three named events, and one service thread that owns the port from its
// first open until the ports shut down.
#include <ntddk.h>
#include <wdf.h>

#include "../driver/code_sections.h"
#include "../protocol/routing.h"
#include "../vrax_device.h"
#include "port_open.h"
#include "service_thread.h"
#include "smd_channel.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "port_open.tmh"
#endif

SMD_PORT_RECORD SmdPortTable[VRAX_PORT_COUNT];

namespace {

// A target for the port: the closed one kept from an earlier open of the port (its context
// zeroed, as a new target's would be), or a new one on the device.
VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    TakeTarget(_In_ WDFDEVICE Device, _Inout_ PSMD_PORT_RECORD Port, _Out_ WDFIOTARGET* Target) {
    PAGED_CODE();

    if (Port->SpareTarget != nullptr) {
        *Target = Port->SpareTarget;
        Port->SpareTarget = nullptr;
        RtlZeroMemory(GetSmdPortContext(*Target), sizeof(IOTARGET_SMD_PORT_CONTEXT));
        return STATUS_SUCCESS;
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, IOTARGET_SMD_PORT_CONTEXT);
    attributes.ParentObject = Device;
    return WdfIoTargetCreate(Device, &attributes, Target);
}

VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    OpenTarget(_In_ WDFIOTARGET Target, _In_ PCUNICODE_STRING SymbolicLink) {
    PAGED_CODE();

    WDF_IO_TARGET_OPEN_PARAMS params;
    WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&params, SymbolicLink, STANDARD_RIGHTS_ALL);
    params.ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
    params.CreateDisposition = FILE_OPEN;
    params.CreateOptions = FILE_NON_DIRECTORY_FILE;
    return WdfIoTargetOpen(Target, &params);
}

// Starts the port's service thread and keeps a reference to it in PortThreads.
VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    StartServiceThread(_Inout_ PVRAX_DEVICE_CONTEXT Context, _Inout_ PSMD_PORT_RECORD Port) {
    PAGED_CODE();

    const ULONG index = Port->PortIndex;
    Context->PortThreads[index] = nullptr;
    KeInitializeEvent(&Port->RestartEvent, SynchronizationEvent, FALSE);
    InterlockedExchange(&Port->RestartState, VRAX_RESTART_NONE);
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                           SmdPortServiceThread, Port);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: PsCreateSystemThread %!STATUS!", index,
                    status);
        return status;
    }
    PVOID thread = nullptr;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                       &thread, nullptr);
    if (NT_SUCCESS(status)) {
        Context->PortThreads[index] = (PETHREAD)thread;
    } else {
        // The thread runs and owns the port already; without a reference the shutdown
        // cannot wait for it, which only PortStopEvent then ends.
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: thread not referenced %!STATUS!",
                    index, status);
    }
    ZwClose(handle);
    return STATUS_SUCCESS;
}

// Whether a referenced service thread has ended.
VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) BOOLEAN ThreadEnded(_In_ PETHREAD Thread) {
    PAGED_CODE();

    LARGE_INTEGER now;
    now.QuadPart = 0;
    return KeWaitForSingleObject(Thread, Executive, KernelMode, FALSE, &now) == STATUS_SUCCESS
               ? TRUE
               : FALSE;
}

}  // namespace

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID SmdPortReleaseEvents(PSMD_PORT_RECORD Port) {
    PAGED_CODE();

    if (Port == nullptr || Port->PortContext == nullptr) {
        return;
    }
    PIOTARGET_SMD_PORT_CONTEXT context = Port->PortContext;
    PKEVENT* events[] = {&context->ReadEvent, &context->CloseEvent, &context->OpenEvent};
    PHANDLE handles[] = {&context->ReadEventHandle, &context->CloseEventHandle,
                         &context->OpenEventHandle};
    for (ULONG i = 0; i < 3; ++i) {
        if (*events[i] == nullptr) {
            continue;
        }
        NTSTATUS status = ZwClose(*handles[i]);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: event %u ZwClose %!STATUS!",
                        Port->PortIndex, i, status);
        }
        *events[i] = nullptr;
        *handles[i] = nullptr;
    }
}

VRAX_PAGED_CODE
_Use_decl_annotations_ NTSTATUS SmdPortOpen(PVOID Owner, ULONG PortIndex, PSMD_PORT_RECORD Port,
                                            BOOLEAN NoThread) {
    PAGED_CODE();

    if (Owner == nullptr || Port == nullptr || PortIndex >= VRAX_PORT_COUNT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port open: bad port %u", PortIndex);
        return STATUS_INVALID_PARAMETER;
    }
    WDFDEVICE device = *(WDFDEVICE*)Owner;
    PVRAX_DEVICE_CONTEXT context = GetVraxDeviceContext(device);
    Port->Device = device;
    Port->PortIndex = PortIndex;

    // Refused while the port is open for routing already, and before the first start-up has
    // registered the receive handler: the start-up opens the routing again afterwards.
    (VOID) OpenPortRouting(PortIndex);

    WDFIOTARGET target = nullptr;
    NTSTATUS status = TakeTarget(device, Port, &target);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: WdfIoTargetCreate %!STATUS!",
                    PortIndex, status);
        SmdPortSetTarget(Port, nullptr);
        return status;
    }
    SmdPortSetTarget(Port, target);
    Port->PortContext = GetSmdPortContext(target);

    status = OpenTarget(target, &context->SmdSymbolicLink);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: WdfIoTargetOpen %!STATUS!", PortIndex,
                    status);
        goto Failed;
    }
    status = SmdOpenChannel(Port);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: channel open %!STATUS!", PortIndex,
                    status);
        goto Failed;
    }
    if (NoThread) {
        return STATUS_SUCCESS;
    }
    status = StartServiceThread(context, Port);
    if (!NT_SUCCESS(status)) {
        goto Failed;
    }
    return STATUS_SUCCESS;

Failed:
    // The target is closed and kept for the next open rather than deleted: a sender may
    // have read IoTarget already.
    SmdPortReleaseEvents(Port);
    SmdPortSetTarget(Port, nullptr);
    Port->PortContext = nullptr;
    WdfIoTargetClose(target);
    Port->SpareTarget = target;
    return status;
}

VRAX_PAGED_CODE
_Use_decl_annotations_ NTSTATUS SmdPortsStart(WDFDEVICE Device, PCUNICODE_STRING SymbolicLink,
                                              ULONG Mode) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(SymbolicLink);  // the open reads the device context's own copy

    if (Mode == VRAX_PORTS_START_NONE) {
        return STATUS_SUCCESS;
    }
    if (Mode != VRAX_PORTS_START_OPEN) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "ports start: mode %u refused", Mode);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PVRAX_DEVICE_CONTEXT context = GetVraxDeviceContext(Device);
    context->PortCount = 1;

    // An earlier arrival may have left port 0 with its service thread. One that has ended
    // only leaves its reference behind. One still alive owns the record: it is asked to
    // close the port and open it again on the interface that has just arrived, and no
    // second open may take the record from under it.
    PSMD_PORT_RECORD port = &SmdPortTable[0];
    PETHREAD previous = context->PortThreads[0];
    if (previous != nullptr && ThreadEnded(previous)) {
        ObDereferenceObject(previous);
        context->PortThreads[0] = nullptr;
        previous = nullptr;
    }
    if (previous != nullptr &&
        InterlockedCompareExchange(&port->RestartState, VRAX_RESTART_ASKED, VRAX_RESTART_NONE) ==
            VRAX_RESTART_THREAD_LEAVING) {
        // The thread has closed the port to end (its re-open failed) and will not look at the
        // request: once it has ended, this arrival opens the port itself.
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "port 0: thread leaving, open anew");
        (VOID) KeWaitForSingleObject(previous, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(previous);
        context->PortThreads[0] = nullptr;
        previous = nullptr;
    }
    if (previous != nullptr) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "port 0: thread alive, restart asked");
        KeSetEvent(&port->RestartEvent, 1, FALSE);
    } else {
        WDFDEVICE owner = Device;
        NTSTATUS status = SmdPortOpen(&owner, 0, port, FALSE);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port 0 not opened %!STATUS!", status);
        }
    }

    KeClearEvent(&PortStopRequestEvent);
    int result = InitRouting();
    if (result != 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "ports start: routing result %d", result);
    }
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < context->PortCount; ++i) {
        if (OpenPortRouting(i) != 0) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "ports start: port %u routing not opened",
                        i);
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    return status;
}

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID SmdPortsForget(WDFDEVICE Device) {
    PAGED_CODE();

    for (ULONG i = 0; i < VRAX_PORT_COUNT; ++i) {
        PSMD_PORT_RECORD port = &SmdPortTable[i];
        if (port->Device == Device) {
            SmdPortSetTarget(port, nullptr);
            port->PortContext = nullptr;
            port->SpareTarget = nullptr;
            port->Device = nullptr;
        }
    }
}
