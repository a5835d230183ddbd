// The driver-wide objects every subsystem shares: the handles of the framework objects that
// live under the control device, the three notification events and the service version
// table. The driver serves one device, so these are globals.
#include <ntddk.h>
#include <wdf.h>

#include "code_sections.h"
#include "driver_objects.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "driver_objects.tmh"
#endif

WDFDEVICE ControlDevice = nullptr;
WDFCOLLECTION ClientSessions = nullptr;
WDFWAITLOCK ClientSessionsLock = nullptr;
WDFWAITLOCK ClientQueueLock = nullptr;
// TRUE at load, not set by device add: a port loss before the first service table leaves
// the queue running, and the first service table "starts" a queue that already runs.
BOOLEAN ClientQueueStopped = TRUE;
WDFCOLLECTION KernelClients = nullptr;
WDFWAITLOCK KernelClientsLock = nullptr;
KEVENT PortStopRequestEvent;
KEVENT PortStopEvent;
KEVENT PortReadyEvent;
VRAX_SERVICE_VERSION ServiceVersionTable[VRAX_PORT_COUNT][VRAX_SERVICE_TYPE_COUNT];

namespace {

VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    CreateWaitLock(_In_ WDFDEVICE Device, _Out_ WDFWAITLOCK* Lock) {
    PAGED_CODE();

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    NTSTATUS status = WdfWaitLockCreate(&attributes, Lock);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "WdfWaitLockCreate failed %!STATUS!", status);
    }
    return status;
}

VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    CreateCollection(_In_ WDFDEVICE Device, _Out_ WDFCOLLECTION* Collection) {
    PAGED_CODE();

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    NTSTATUS status = WdfCollectionCreate(&attributes, Collection);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "WdfCollectionCreate failed %!STATUS!", status);
    }
    return status;
}

}  // namespace

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID VraxInitializeDriverEvents(VOID) {
    PAGED_CODE();

    KeInitializeEvent(&PortStopRequestEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&PortStopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&PortReadyEvent, NotificationEvent, FALSE);
}

VRAX_PAGED_CODE
_Use_decl_annotations_ NTSTATUS VraxCreateDriverObjects(PVRAX_DEVICE_CONTEXT Context) {
    PAGED_CODE();

    WDFDEVICE device = Context->Device;
    NTSTATUS status = CreateCollection(device, &ClientSessions);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = CreateWaitLock(device, &ClientSessionsLock);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = CreateWaitLock(device, &ClientQueueLock);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = CreateWaitLock(device, &Context->InterfaceLock);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = CreateWaitLock(device, &KernelClientsLock);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return CreateCollection(device, &KernelClients);
}
