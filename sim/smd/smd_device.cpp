// The SMD driver's entry and its device: the framework driver object, the device with its
// security, file-object callbacks, queues and device interface, and the Plug and Play
// callbacks that connect the device to its far end while it is started.
#include "smd_driver.h"

#include "smd_hw.h"

const GUID SmdInterfaceClass = SMD_CHANNEL_INTERFACE_GUID_INIT;

namespace {

// Opens from kernel drivers skip the check; of programs, LocalSystem and administrators only.
const WCHAR SmdSddl[] = u"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

NTSTATUS SmdCreateQueues(PSMD_DEVICE_CONTEXT Context) {
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoRead = SmdEvtIoRead;
    config.EvtIoWrite = SmdEvtIoWrite;
    config.EvtIoDeviceControl = SmdEvtIoDeviceControl;
    // The open path creates named events, which needs PASSIVE_LEVEL.
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ExecutionLevel = WdfExecutionLevelPassive;
    NTSTATUS status =
        WdfIoQueueCreate(Context->Device, &config, &attributes, &Context->DefaultQueue);
    if (!NT_SUCCESS(status))
        return status;

    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    status =
        WdfIoQueueCreate(Context->Device, &config, WDF_NO_OBJECT_ATTRIBUTES, &Context->ReadQueue);
    if (!NT_SUCCESS(status))
        return status;

    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    return WdfIoQueueCreate(Context->Device, &config, WDF_NO_OBJECT_ATTRIBUTES,
                            &Context->HeldQueue);
}

}  // namespace

_Use_decl_annotations_ NTSTATUS SmdDriverEntry(PDRIVER_OBJECT DriverObject,
                                               PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, SmdEvtDeviceAdd);
    config.DriverPoolTag = SMD_POOL_TAG;
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}

_Use_decl_annotations_ NTSTATUS SmdEvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
    UNREFERENCED_PARAMETER(Driver);

    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDeviceSelfManagedIoInit = SmdEvtSelfManagedIoInit;
    pnp.EvtDeviceSelfManagedIoFlush = SmdEvtSelfManagedIoFlush;
    pnp.EvtDeviceSurpriseRemoval = SmdEvtSurpriseRemoval;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);

    WdfDeviceInitSetIoType(DeviceInit, WdfDeviceIoBuffered);
    WdfDeviceInitSetDeviceType(DeviceInit, FILE_DEVICE_UNKNOWN);
    UNICODE_STRING sddl;
    RtlInitUnicodeString(&sddl, SmdSddl);
    NTSTATUS status = WdfDeviceInitAssignSDDLString(DeviceInit, &sddl);
    if (!NT_SUCCESS(status))
        return status;

    WDF_FILEOBJECT_CONFIG files;
    WDF_FILEOBJECT_CONFIG_INIT(&files, SmdEvtDeviceFileCreate, WDF_NO_EVENT_CALLBACK,
                               SmdEvtFileCleanup);
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&fileAttributes, SMD_CHANNEL_CONTEXT);
    fileAttributes.EvtDestroyCallback = SmdEvtChannelDestroy;
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &files, &fileAttributes);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, SMD_DEVICE_CONTEXT);
    WDFDEVICE device = nullptr;
    status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status))
        return status;

    PSMD_DEVICE_CONTEXT context = SmdGetDevice(device);
    context->Device = device;
    WDF_OBJECT_ATTRIBUTES lockAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&lockAttributes);
    lockAttributes.ParentObject = device;
    status = WdfSpinLockCreate(&lockAttributes, &context->Lock);
    if (!NT_SUCCESS(status))
        return status;
    status = SmdCreateQueues(context);
    if (!NT_SUCCESS(status))
        return status;
    // Enabled by the framework when the device starts, disabled when it stops or goes.
    return WdfDeviceCreateDeviceInterface(device, &SmdInterfaceClass, nullptr);
}

_Use_decl_annotations_ NTSTATUS SmdEvtSelfManagedIoInit(WDFDEVICE Device) {
    smd::hw::device_started(SmdGetDevice(Device));
    return STATUS_SUCCESS;
}

// The far end loses the device as soon as it is surprise-removed, and at the latest when it
// is removed; device_gone waits for far-end calls still inside the driver.
_Use_decl_annotations_ VOID SmdEvtSurpriseRemoval(WDFDEVICE Device) {
    smd::hw::device_gone(SmdGetDevice(Device));
}

_Use_decl_annotations_ VOID SmdEvtSelfManagedIoFlush(WDFDEVICE Device) {
    smd::hw::device_gone(SmdGetDevice(Device));
}

_Use_decl_annotations_ VOID SmdHwSetInterfaceState(PSMD_DEVICE_CONTEXT Device, BOOLEAN Enabled) {
    WdfDeviceSetDeviceInterfaceState(Device->Device, &SmdInterfaceClass, nullptr, Enabled);
}
