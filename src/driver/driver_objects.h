// The driver-wide locks and collections that live under the control device.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "../vrax_device.h"

// Initialises PortStopRequestEvent, PortStopEvent and PortReadyEvent as notification events,
// not signalled.
_IRQL_requires_(PASSIVE_LEVEL) VOID VraxInitializeDriverEvents(VOID);

// Creates ClientSessions, ClientSessionsLock, ClientQueueLock, the context's InterfaceLock,
// then KernelClientsLock and KernelClients, each a child of the device. Stops at the first
// failure and returns its status; what was created dies with the device.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    VraxCreateDriverObjects(_Inout_ PVRAX_DEVICE_CONTEXT Context);
