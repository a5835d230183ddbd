// The port service thread: waits for the SMD side's events, reads what is pending into the
// receive hand-off, and closes and re-opens the port when the SMD side closes the channel.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "port_table.h"

// Thread routine; StartContext is the port's SMD_PORT_RECORD. Ends with
// PsTerminateSystemThread(STATUS_SUCCESS).
KSTART_ROUTINE SmdPortServiceThread;

// One synchronous read of up to 8193 bytes (1-second limit) handed to ReceiveDispatch.
// STATUS_SUCCESS after a completed or timed-out read and when the request or its buffer
// cannot be made; the request's status when the framework refuses to send it.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS SmdPortRead(_In_ PSMD_PORT_RECORD Port);
