// The SMD device-interface notification and its work item, and the switch of the driver's
// own device interface, which tells programs whether the message service is usable.
#pragma once

#include <ntddk.h>
#include <wdf.h>

// SetDeviceInterface actions.
#define VRAX_INTERFACE_DISABLE 1
#define VRAX_INTERFACE_ENABLE 2

// The Plug and Play callback for the SMD interface class; Context is the device context.
DRIVER_NOTIFICATION_CALLBACK_ROUTINE SmdInterfaceNotification;

// The work item the notification queues: starts the ports on an arrival, disables the
// device interface on a removal.
EVT_WDF_WORKITEM SmdInterfaceWork;

// Enables (2) or disables (1) the driver's device interface, creating it on first enable;
// any other action does nothing.
_IRQL_requires_(PASSIVE_LEVEL) VOID SetDeviceInterface(_In_ WDFDEVICE Device, _In_ ULONG Action);
