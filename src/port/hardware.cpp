// Hardware preparation and release, self-managed I/O and surprise removal of the control
// device. The control device has no hardware of its own: preparation only reads the
// device's one registry setting, self-managed I/O is the subscription to the SMD interface,
// and release and surprise removal withdraw the driver's device interface.
#include <ntddk.h>
#include <wdf.h>

#include <initguid.h>

#include <vrax/smd_channel.h>

#include "../driver/code_sections.h"
#include "../vrax_device.h"
#include "hardware.h"
#include "interface.h"
#include "port_shutdown.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "hardware.tmh"
#endif

BOOLEAN NewHwIdSupported = FALSE;

VRAX_PAGED_CODE
_Use_decl_annotations_ BOOLEAN ReadRegistryString(WDFDEVICE Device, PWCHAR Destination,
                                                  ULONG DestinationChars, PCWSTR ValueName) {
    PAGED_CODE();

    WDFKEY key = nullptr;
    NTSTATUS status = WdfDeviceOpenRegistryKey(Device, PLUGPLAY_REGKEY_DEVICE, KEY_READ,
                                               WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "WdfDeviceOpenRegistryKey failed %!STATUS!",
                    status);
        return FALSE;
    }

    BOOLEAN copied = FALSE;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    WDFSTRING string = nullptr;
    status = WdfStringCreate(nullptr, &attributes, &string);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "WdfStringCreate failed %!STATUS!", status);
        goto Exit;
    }

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    status = WdfRegistryQueryString(key, &name, string);
    if (!NT_SUCCESS(status)) {
        // A missing value is the usual case, not a failure of the device.
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "registry value not read %!STATUS!",
                    status);
        goto Exit;
    }

    {
        // The string object's buffer is counted, not necessarily terminated: copy by its
        // length, and only when it fits with the terminator.
        UNICODE_STRING value;
        WdfStringGetUnicodeString(string, &value);
        const ULONG chars = value.Length / sizeof(WCHAR);
        if (chars >= DestinationChars) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "registry value of %u characters too long",
                        chars);
            goto Exit;
        }
        if (chars != 0) {
            RtlCopyMemory(Destination, value.Buffer, chars * sizeof(WCHAR));
        }
        Destination[chars] = L'\0';
        copied = TRUE;
    }

Exit:
    if (string != nullptr) {
        WdfObjectDelete(string);
    }
    WdfRegistryClose(key);
    return copied;
}

VRAX_PAGED_CODE
_Use_decl_annotations_ NTSTATUS EvtDevicePrepareHardware(WDFDEVICE Device,
                                                         WDFCMRESLIST ResourcesRaw,
                                                         WDFCMRESLIST ResourcesTranslated) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ResourcesRaw);
    UNREFERENCED_PARAMETER(ResourcesTranslated);

    WCHAR value[VRAX_REGISTRY_STRING_CHARS];
    RtlZeroMemory(value, sizeof(value));
    (VOID) ReadRegistryString(Device, value, VRAX_REGISTRY_STRING_CHARS, L"SupportNewHWID");

    // Only these two spellings count, and only their four characters: "TrueX" is on,
    // "TRUE" is not.
    NewHwIdSupported =
        (wcsncmp(value, L"True", 4) == 0 || wcsncmp(value, L"true", 4) == 0) ? TRUE : FALSE;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "SupportNewHWID %!bool!", NewHwIdSupported);
    return STATUS_SUCCESS;
}

VRAX_PAGED_CODE
_Use_decl_annotations_ NTSTATUS EvtDeviceReleaseHardware(WDFDEVICE Device,
                                                         WDFCMRESLIST ResourcesTranslated) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ResourcesTranslated);

    SetDeviceInterface(Device, VRAX_INTERFACE_DISABLE);
    return STATUS_SUCCESS;
}

VRAX_PAGED_CODE
_Use_decl_annotations_ NTSTATUS EvtDeviceSelfManagedIoInit(WDFDEVICE Device) {
    PAGED_CODE();

    PVRAX_DEVICE_CONTEXT context = GetVraxDeviceContext(Device);
    if (context->InterfaceNotificationEntry != nullptr) {
        return STATUS_SUCCESS;
    }
    if (!context->InterfaceWorkGateReady) {
        KeInitializeEvent(&context->InterfaceWorkGate, SynchronizationEvent, TRUE);
        context->InterfaceWorkGateReady = TRUE;
    }
    // An SMD interface that exists already is reported at once, possibly before the call
    // returns; the notification only queues a work item.
    NTSTATUS status = IoRegisterPlugPlayNotification(
        EventCategoryDeviceInterfaceChange, PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
        (PVOID)&GUID_DEVINTERFACE_SMD_CHANNEL, WdfDriverWdmGetDriverObject(WdfGetDriver()),
        SmdInterfaceNotification, context, &context->InterfaceNotificationEntry);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "IoRegisterPlugPlayNotification %!STATUS!",
                    status);
        context->InterfaceNotificationEntry = nullptr;
    }
    return status;
}

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtDeviceSelfManagedIoCleanup(WDFDEVICE Device) {
    PAGED_CODE();

    PVRAX_DEVICE_CONTEXT context = GetVraxDeviceContext(Device);
    if (context->InterfaceNotificationEntry != nullptr) {
        NTSTATUS status = IoUnregisterPlugPlayNotificationEx(context->InterfaceNotificationEntry);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                        "IoUnregisterPlugPlayNotificationEx %!STATUS!", status);
        }
        context->InterfaceNotificationEntry = nullptr;
    }
    // The last point before the device's objects go: every service thread ends here, one
    // that a bounded shutdown let go as well as one no shutdown has stopped yet, and whatever
    // it switched on meanwhile is off again.
    SmdPortsEndThreads(context);
    SetDeviceInterface(Device, VRAX_INTERFACE_DISABLE);
}

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtDeviceSurpriseRemoval(WDFDEVICE Device) {
    PAGED_CODE();

    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "control device surprise-removed");
    SetDeviceInterface(Device, VRAX_INTERFACE_DISABLE);
}
