// Device add: builds the control device \Device\VRAX with its symbolic link, its single
// default queue, the driver-wide locks, collections and events, and the driver-to-driver
// query interface. Every framework object made here is a child of the device, so a failed
// step needs no undoing: the framework deletes the partly built device and its children.
#include <ntddk.h>
#include <wdf.h>

#include <vrax/vrax_names.h>

#include "../port/hardware.h"
#include "../session/session.h"
#include "../vrax_device.h"
#include "client_queue.h"
#include "code_sections.h"
#include "device.h"
#include "driver_objects.h"
#include "query_interface.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "device_add.tmh"
#endif

namespace {

VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) VOID SetPnpPowerCallbacks(_Inout_ PWDFDEVICE_INIT DeviceInit) {
    PAGED_CODE();

    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDeviceD0Entry = EvtDeviceD0Entry;
    callbacks.EvtDeviceD0Exit = EvtDeviceD0Exit;
    callbacks.EvtDevicePrepareHardware = EvtDevicePrepareHardware;
    callbacks.EvtDeviceReleaseHardware = EvtDeviceReleaseHardware;
    callbacks.EvtDeviceSelfManagedIoInit = EvtDeviceSelfManagedIoInit;
    callbacks.EvtDeviceSelfManagedIoCleanup = EvtDeviceSelfManagedIoCleanup;
    callbacks.EvtDeviceSurpriseRemoval = EvtDeviceSurpriseRemoval;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &callbacks);
}

// Fills the device's initialisation structure: callbacks, I/O type, name, file objects and
// security descriptor. Only the name can fail the device.
VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS InitializeDeviceInit(_Inout_ PWDFDEVICE_INIT DeviceInit) {
    PAGED_CODE();

    SetPnpPowerCallbacks(DeviceInit);
    WdfDeviceInitSetIoType(DeviceInit, WdfDeviceIoBuffered);

    DECLARE_CONST_UNICODE_STRING(deviceName, VRAX_DEVICE_NAME);
    NTSTATUS status = WdfDeviceInitAssignName(DeviceInit, &deviceName);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "WdfDeviceInitAssignName failed %!STATUS!",
                    status);
        return status;
    }

    // Sessions keep their state in the framework's context, never in the FsContext fields;
    // a create without a file object is accepted. Sessions attach their own context when
    // they open, so the file objects get no attributes here.
    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, EvtDeviceFileCreate, WDF_NO_EVENT_CALLBACK,
                               EvtFileCleanup);
    fileConfig.FileObjectClass = static_cast<WDF_FILEOBJECT_CLASS>(
        WdfFileObjectWdfCannotUseFsContexts | WdfFileObjectCanBeOptional);
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, WDF_NO_OBJECT_ATTRIBUTES);

    // Without it the device keeps the default descriptor; that is no reason to refuse it.
    DECLARE_CONST_UNICODE_STRING(sddl, VRAX_DEVICE_SDDL);
    NTSTATUS sddlStatus = WdfDeviceInitAssignSDDLString(DeviceInit, &sddl);
    if (!NT_SUCCESS(sddlStatus)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                    "WdfDeviceInitAssignSDDLString failed %!STATUS!, going on", sddlStatus);
    }
    return STATUS_SUCCESS;
}

// Creates the device and records it in ControlDevice and in its own context.
VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    CreateControlDevice(_Inout_ PWDFDEVICE_INIT DeviceInit, _Out_ PVRAX_DEVICE_CONTEXT* Context) {
    PAGED_CODE();

    *Context = nullptr;

    // The device's clean-up sets PortStopEvent, and it runs whenever the device goes, also
    // when device add fails after the device exists: the events are ready before that.
    VraxInitializeDriverEvents();

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, VRAX_DEVICE_CONTEXT);
    attributes.EvtCleanupCallback = EvtDeviceContextCleanup;

    PWDFDEVICE_INIT init = DeviceInit;
    WDFDEVICE device = nullptr;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "WdfDeviceCreate failed %!STATUS!", status);
        return status;
    }
    ControlDevice = device;

    // Query-stop and query-remove are refused: ports and sessions cannot move elsewhere.
    WdfDeviceSetStaticStopRemove(device, FALSE);

    PVRAX_DEVICE_CONTEXT context = GetVraxDeviceContext(device);
    context->Device = device;
    *Context = context;
    return STATUS_SUCCESS;
}

VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS CreateSymbolicLink(_In_ WDFDEVICE Device) {
    PAGED_CODE();

    DECLARE_CONST_UNICODE_STRING(linkName, VRAX_SYMBOLIC_LINK_NAME);
    NTSTATUS status = WdfDeviceCreateSymbolicLink(Device, &linkName);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "WdfDeviceCreateSymbolicLink failed %!STATUS!",
                    status);
    }
    return status;
}

}  // namespace

VRAX_PAGED_CODE
_Use_decl_annotations_ NTSTATUS EvtDriverDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Driver);

    NTSTATUS status = InitializeDeviceInit(DeviceInit);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVRAX_DEVICE_CONTEXT context = nullptr;
    status = CreateControlDevice(DeviceInit, &context);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = CreateSymbolicLink(context->Device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = VraxCreateClientQueue(context);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = VraxCreateDriverObjects(context);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = VraxAddQueryInterface(context->Device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlZeroMemory(ServiceVersionTable, sizeof(ServiceVersionTable));
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "control device %p ready", context->Device);
    return STATUS_SUCCESS;
}
