// Shutdown of every port when the control device leaves the working state for good or is
// cleaned up.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "../vrax_device.h"

// Sets PortStopEvent, waits for each port's service thread (without limit when WaitForever
// is TRUE, else at most 3 seconds each; a thread that outlives its wait is kept for
// SmdPortsAwaitAbandoned), sets and releases the named events programs registered, disables
// the device interface and empties the routing and transaction tables.
// STATUS_UNSUCCESSFUL when Device has no device context.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    SmdPortsStop(_In_ WDFDEVICE Device, _In_ BOOLEAN WaitForever);

// Waits without limit for the service threads a bounded shutdown let go, and drops their
// references. Runs before the device's objects go, so no thread outlives what it uses.
_IRQL_requires_(PASSIVE_LEVEL) VOID SmdPortsAwaitAbandoned(_Inout_ PVRAX_DEVICE_CONTEXT Context);

// Ends every port's service thread, the ones a bounded shutdown let go included: sets
// PortStopEvent and waits for each without limit, dropping the references. Runs before the
// device's objects go (self-managed I/O clean-up), so no thread outlives the I/O target,
// work item parent or device it uses, whether or not a shutdown ran before.
_IRQL_requires_(PASSIVE_LEVEL) VOID SmdPortsEndThreads(_Inout_ PVRAX_DEVICE_CONTEXT Context);

// Puts the port transport's driver-wide state back to what a freshly loaded image holds: the
// port table closed, no receive handler or attachment, the routing table closed and empty,
// "SupportNewHWID" off. Called when the driver unloads, after its device has gone, so that a
// driver loaded again meets its globals as Windows would give them.
_IRQL_requires_(PASSIVE_LEVEL) VOID SmdPortsUnload();
