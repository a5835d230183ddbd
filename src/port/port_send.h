// Transmit path: hands one complete frame to a port as an asynchronous write.
#pragma once

#include <ntddk.h>
#include <wdf.h>

// Sends Length bytes of Frame on the port. 0 when the write was handed to the port, -1
// otherwise (bad port, port not attached, nothing could be written). The frame stays the
// caller's; it is only read during the call.
_IRQL_requires_(PASSIVE_LEVEL) int PortSend(_In_ ULONG PortIndex,
                                            _In_reads_bytes_(Length) PUCHAR Frame,
                                            _In_ ULONG Length);

// Copies the frame into a request of its own and sends it to the port's target without
// waiting. STATUS_INVALID_PARAMETER_1 for an empty frame, STATUS_INVALID_DEVICE_STATE while
// the port is closed, else the framework's status of the step that failed.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    SmdPortWrite(_In_reads_bytes_(Length) PUCHAR Frame, _In_ ULONG Length, _In_ ULONG PortIndex);

// Completion routine of every write: deletes the request and its buffer.
EVT_WDF_REQUEST_COMPLETION_ROUTINE SmdPortWriteComplete;
