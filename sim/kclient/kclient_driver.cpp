// The kernel client driver: its entry, its one device, and the connection to VRAX's
// driver-to-driver interface.
#include "kclient_driver.h"

// This driver keeps its own copy of the interface GUID, as a separately built driver does.
#include <initguid.h>

#include <vrax/vrax_interface.h>

namespace {

// The one device; written by device add and self-managed I/O clean-up on the PnP thread.
WDFDEVICE volatile ServedDevice = nullptr;
KCLIENT_RECEIVE_HOOK* volatile ReceiveHook = nullptr;

VOID KclientEvtDeviceContextCleanup(WDFOBJECT Object) {
    if (ServedDevice == static_cast<WDFDEVICE>(Object))
        ServedDevice = nullptr;
}

}  // namespace

_Use_decl_annotations_ NTSTATUS KclientDriverEntry(PDRIVER_OBJECT DriverObject,
                                                   PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, KclientEvtDeviceAdd);
    config.DriverPoolTag = KCLIENT_POOL_TAG;
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}

_Use_decl_annotations_ NTSTATUS KclientEvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
    UNREFERENCED_PARAMETER(Driver);

    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDeviceSelfManagedIoCleanup = KclientEvtSelfManagedIoCleanup;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnp);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, KCLIENT_DEVICE_CONTEXT);
    attributes.EvtCleanupCallback = KclientEvtDeviceContextCleanup;
    WDFDEVICE device = nullptr;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status))
        return status;
    ServedDevice = device;
    return STATUS_SUCCESS;
}

// The device is going away: give the interface back before VRAX may go too.
_Use_decl_annotations_ VOID KclientEvtSelfManagedIoCleanup(WDFDEVICE Device) {
    KclientDisconnect(Device);
}

_Use_decl_annotations_ WDFDEVICE KclientDevice() {
    return ServedDevice;
}

_Use_decl_annotations_ NTSTATUS KclientConnect(WDFDEVICE Device, PDEVICE_OBJECT VraxDevice,
                                               const GUID* InterfaceType, USHORT Size,
                                               USHORT Version) {
    PKCLIENT_DEVICE_CONTEXT context = KclientGetContext(Device);
    if (context->VraxTarget != nullptr)
        return STATUS_INVALID_DEVICE_STATE;

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    WDFIOTARGET target = nullptr;
    NTSTATUS status = WdfIoTargetCreate(Device, &attributes, &target);
    if (!NT_SUCCESS(status))
        return status;

    // An existing device: no file is opened on it.
    WDF_IO_TARGET_OPEN_PARAMS open;
    WDF_IO_TARGET_OPEN_PARAMS_INIT_EXISTING_DEVICE(&open, VraxDevice);
    status = WdfIoTargetOpen(target, &open);
    if (!NT_SUCCESS(status))
        goto Exit;

    // The caller's Size may be smaller than the structure (to see the refusal); the buffer
    // is always the whole structure.
    VRAX_KERNEL_INTERFACE answer;
    RtlZeroMemory(&answer, sizeof(answer));
    status = WdfIoTargetQueryForInterface(
        target, InterfaceType, reinterpret_cast<PINTERFACE>(&answer), Size, Version, nullptr);
    if (!NT_SUCCESS(status))
        goto Exit;

    context->Interface = answer;
    context->HaveInterface = TRUE;
    context->VraxTarget = target;
    target = nullptr;

Exit:
    if (target != nullptr)
        WdfObjectDelete(target);
    return status;
}

_Use_decl_annotations_ VOID KclientDisconnect(WDFDEVICE Device) {
    PKCLIENT_DEVICE_CONTEXT context = KclientGetContext(Device);
    if (context->HaveInterface) {
        if (context->Registered) {
            context->Interface.KernelClientDeregister(context->ClientHandle);
            context->Registered = FALSE;
            context->ClientHandle = nullptr;
        }
        if (context->Interface.InterfaceHeader.InterfaceDereference != nullptr) {
            context->Interface.InterfaceHeader.InterfaceDereference(
                context->Interface.InterfaceHeader.Context);
        }
        context->HaveInterface = FALSE;
    }
    if (context->VraxTarget != nullptr) {
        WdfObjectDelete(context->VraxTarget);
        context->VraxTarget = nullptr;
    }
}

_Use_decl_annotations_ VOID KclientReceive(ULONG PortIndex, ULONG ServiceType, ULONG ClientId,
                                           ULONG Flags, PUCHAR Message, ULONG MessageLength) {
    KCLIENT_RECEIVE_HOOK* hook = ReceiveHook;
    if (hook != nullptr)
        hook(PortIndex, ServiceType, ClientId, Flags, Message, MessageLength);
}

VOID KclientSetReceiveHook(KCLIENT_RECEIVE_HOOK* Hook) {
    ReceiveHook = Hook;
}
