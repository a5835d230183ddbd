// Shutdown of every port when the control device leaves the working state for good or is
// cleaned up.
#pragma once

#include <ntddk.h>
#include <wdf.h>

// Sets PortStopEvent, waits for each port's service thread (without limit when WaitForever
// is TRUE, else at most 3 seconds each) and drops its reference, then sets and releases the
// named events programs registered. STATUS_UNSUCCESSFUL when Device has no device context.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    SmdPortsStop(_In_ WDFDEVICE Device, _In_ BOOLEAN WaitForever);
