// The driver-to-driver interface the control device offers to other kernel-mode drivers.
#pragma once

#include <ntddk.h>
#include <wdf.h>

// Registers the kernel client interface (GUID_VRAX_KERNEL_INTERFACE) on the device.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS VraxAddQueryInterface(_In_ WDFDEVICE Device);
