// Hardware preparation and release, self-managed I/O and surprise removal of the control
// device, and the "SupportNewHWID" setting read from its hardware key.
#pragma once

#include <ntddk.h>
#include <wdf.h>

EVT_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT EvtDeviceSelfManagedIoInit;
EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP EvtDeviceSelfManagedIoCleanup;
EVT_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;

// Characters the hardware-preparation reads of a registry string can hold, terminator
// included.
#define VRAX_REGISTRY_STRING_CHARS 256

// TRUE when the hardware key's "SupportNewHWID" value begins with "True" or "true"; FALSE at
// load and whenever the value is missing or says anything else. Written by hardware
// preparation only. With it, the final power-down waits at most 3 seconds for each port
// thread instead of without limit.
extern BOOLEAN NewHwIdSupported;

// Reads the string value ValueName of the device's hardware key into Destination
// (DestinationChars characters, terminator included). Returns FALSE, leaving Destination
// untouched, when the key, the value or a string object cannot be had, or when the value
// does not fit.
_IRQL_requires_(PASSIVE_LEVEL) BOOLEAN
    ReadRegistryString(_In_ WDFDEVICE Device, _Out_writes_z_(DestinationChars) PWCHAR Destination,
                       _In_ ULONG DestinationChars, _In_ PCWSTR ValueName);
