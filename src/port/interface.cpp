// Arrival and removal of the SMD device interface, and the driver's own device interface.
// The notification runs in the Plug and Play notification context and only records what
// happened; the port is opened, or the device interface withdrawn, in a work item.
#include <ntddk.h>
#include <wdf.h>

#include <initguid.h>

#include <wdmguid.h>

#include <vrax/vrax_names.h>

#include "../driver/code_sections.h"
#include "../vrax_device.h"
#include "../vrax_lock.h"
#include "interface.h"
#include "port_open.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "interface.tmh"
#endif

namespace {

// GUIDs compared as four 32-bit words.
BOOLEAN SameGuid(const GUID* A, const GUID* B) {
    const ULONG* a = (const ULONG*)A;
    const ULONG* b = (const ULONG*)B;
    return (a[0] == b[0] && a[1] == b[1] && a[2] == b[2] && a[3] == b[3]) ? TRUE : FALSE;
}

// Whether the device interface has been created; the enable path may be writing the flag.
BOOLEAN InterfaceCreated(PVRAX_DEVICE_CONTEXT Context) {
    return InterlockedCompareExchange(&Context->InterfaceCreated, 0, 0) != FALSE ? TRUE : FALSE;
}

// The arrival flag is written by the notification and read by the work items it queues,
// which may already be running; both sides use interlocked access.
ULONG InterfaceArrived(PVRAX_DEVICE_CONTEXT Context) {
    return (ULONG)InterlockedCompareExchange((volatile LONG*)&Context->SmdInterfaceArrived, 0, 0);
}

VOID SetInterfaceArrived(PVRAX_DEVICE_CONTEXT Context, ULONG Arrived) {
    (VOID) InterlockedExchange((volatile LONG*)&Context->SmdInterfaceArrived, (LONG)Arrived);
}

}  // namespace

VRAX_PAGED_CODE
_Use_decl_annotations_ NTSTATUS SmdInterfaceNotification(PVOID NotificationStructure,
                                                         PVOID Context) {
    PAGED_CODE();

    PVRAX_DEVICE_CONTEXT context = (PVRAX_DEVICE_CONTEXT)Context;
    if (context == nullptr || NotificationStructure == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "interface notification without context");
        return STATUS_INTERNAL_ERROR;
    }
    PDEVICE_INTERFACE_CHANGE_NOTIFICATION notification =
        (PDEVICE_INTERFACE_CHANGE_NOTIFICATION)NotificationStructure;

    if (SameGuid(&notification->Event, &GUID_DEVICE_INTERFACE_ARRIVAL)) {
        // Only the first instance is used.
        if (InterfaceArrived(context) != 0) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "further SMD interface ignored");
            return STATUS_SUCCESS;
        }
        SetInterfaceArrived(context, 1);
    } else if (SameGuid(&notification->Event, &GUID_DEVICE_INTERFACE_REMOVAL)) {
        if (InterfaceArrived(context) != 1) {
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "SMD interface removal ignored");
            return STATUS_SUCCESS;
        }
        SetInterfaceArrived(context, 0);
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "unknown interface notification 0x%08x",
                    notification->Event.Data1);
        return STATUS_UNSUCCESSFUL;
    }

    // A removal overwrites the stored link with the removed instance's; the next arrival
    // writes its own before any port is opened by it.
    context->SmdSymbolicLink.Length = 0;
    context->SmdSymbolicLink.MaximumLength = sizeof(context->SmdSymbolicLinkBuffer);
    context->SmdSymbolicLink.Buffer = context->SmdSymbolicLinkBuffer;
    if (notification->SymbolicLinkName != nullptr) {
        RtlCopyUnicodeString(&context->SmdSymbolicLink, notification->SymbolicLinkName);
    }

    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, SmdInterfaceWork);
    config.AutomaticSerialization = TRUE;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = context->Device;
    WDFWORKITEM workItem = nullptr;
    NTSTATUS status = WdfWorkItemCreate(&config, &attributes, &workItem);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "interface work item %!STATUS!", status);
        return status;
    }
    WdfWorkItemEnqueue(workItem);
    return STATUS_SUCCESS;
}

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID SmdInterfaceWork(WDFWORKITEM WorkItem) {
    PAGED_CODE();

    WDFDEVICE device = (WDFDEVICE)WdfWorkItemGetParentObject(WorkItem);
    PVRAX_DEVICE_CONTEXT context = GetVraxDeviceContext(device);
    (VOID)
        KeWaitForSingleObject(&context->InterfaceWorkGate, Executive, KernelMode, FALSE, nullptr);
    // Read now, not when queued: an arrival quickly followed by a removal runs two work
    // items that both see the removal.
    const ULONG arrived = InterfaceArrived(context);
    if (arrived == 1 && KeReadStateEvent(&PortStopEvent) != 0) {
        // The ports have shut down (the device is leaving): a port opened now would have a
        // service thread nobody waits for.
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "SMD interface arrived after port shutdown");
    } else if (arrived == 1) {
        NTSTATUS status = SmdPortsStart(device, &context->SmdSymbolicLink, VRAX_PORTS_START_OPEN);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "ports start %!STATUS!", status);
            SetDeviceInterface(device, VRAX_INTERFACE_DISABLE);
        }
    } else if (arrived == 0) {
        // The port itself is torn down by its service thread when the SMD side closes it.
        SetDeviceInterface(device, VRAX_INTERFACE_DISABLE);
    }
    KeSetEvent(&context->InterfaceWorkGate, 0, FALSE);
    WdfObjectDelete(WorkItem);
}

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID SetDeviceInterface(WDFDEVICE Device, ULONG Action) {
    PAGED_CODE();

    PVRAX_DEVICE_CONTEXT context = GetVraxDeviceContext(Device);
    if (Action == VRAX_INTERFACE_ENABLE) {
        if (!InterfaceCreated(context)) {
            NTSTATUS status =
                WdfDeviceCreateDeviceInterface(Device, &GUID_DEVINTERFACE_VRAX, nullptr);
            if (NT_SUCCESS(status)) {
                InterlockedExchange(&context->InterfaceCreated, TRUE);
            } else {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                            "WdfDeviceCreateDeviceInterface %!STATUS!", status);
            }
        }
        if (InterfaceCreated(context)) {
            WdfDeviceSetDeviceInterfaceState(Device, &GUID_DEVINTERFACE_VRAX, nullptr, TRUE);
            VRAX_WAIT_LOCK_HOLDER holder(context->InterfaceLock);
            InterlockedExchange(&context->InterfaceEnabled, TRUE);
        }
    } else if (Action == VRAX_INTERFACE_DISABLE) {
        // Both read without the lock: an enable on the port's service thread may be writing.
        if (InterfaceCreated(context) && VraxInterfaceEnabled(context)) {
            WdfDeviceSetDeviceInterfaceState(Device, &GUID_DEVINTERFACE_VRAX, nullptr, FALSE);
            VRAX_WAIT_LOCK_HOLDER holder(context->InterfaceLock);
            InterlockedExchange(&context->InterfaceEnabled, FALSE);
        }
    }
}
