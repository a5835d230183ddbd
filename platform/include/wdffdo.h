// Function-device set-up: the physical device object below, the device's registry keys
// before the device exists, and interfaces queried from the stack below.
#pragma once

#include <wdfobject.h>

WDF_EXTERN_C_START

PDEVICE_OBJECT WdfFdoInitWdmGetPhysicalDevice(PWDFDEVICE_INIT DeviceInit);
NTSTATUS WdfFdoInitOpenRegistryKey(PWDFDEVICE_INIT DeviceInit, ULONG DeviceInstanceKeyType,
                                   ACCESS_MASK DesiredAccess, PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                   WDFKEY* Key);
NTSTATUS WdfFdoQueryForInterface(WDFDEVICE Fdo, LPCGUID InterfaceType, PINTERFACE Interface,
                                 USHORT Size, USHORT Version, PVOID InterfaceSpecificData);

WDF_EXTERN_C_END
