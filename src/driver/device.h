// The control device: device add, working-state entry and exit, and device clean-up.
#pragma once

#include <ntddk.h>
#include <wdf.h>

EVT_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
EVT_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
EVT_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
EVT_WDF_OBJECT_CONTEXT_CLEANUP EvtDeviceContextCleanup;

// The control device's security descriptor: generic-all access for LocalSystem, built-in
// Administrators and user-mode drivers, nobody else (protected DACL).
#define VRAX_DEVICE_SDDL L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;UD)"
