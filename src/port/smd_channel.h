// The three I/O controls sent to the SMD target of a port (open the channel, close it, ask
// how much is waiting to be read) and the port's named events the SMD side signals.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "port_table.h"

// Sends the open request naming the port's three events, then creates (or opens, when the
// SMD side made them already) the events the context does not hold yet. The request's
// status when it fails (no event is made then); STATUS_UNSUCCESSFUL when an event is missing.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS SmdOpenChannel(_Inout_ PSMD_PORT_RECORD Port);

// Sends the close request (2-second limit) and returns its status.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS SmdCloseChannel(_In_ PSMD_PORT_RECORD Port);

// How many bytes the SMD side holds for reading; 0 when none or when the request fails.
_IRQL_requires_(PASSIVE_LEVEL) ULONG_PTR SmdQueryReadPending(_In_ PSMD_PORT_RECORD Port);
