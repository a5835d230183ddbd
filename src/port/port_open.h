// Opening a port (target, SMD channel, service thread), releasing its shared events, and
// bringing the ports up when the SMD interface arrives.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "port_table.h"

// Mode of SmdPortsStart the arrival work passes: open the ports and their routing.
#define VRAX_PORTS_START_OPEN 2
// Mode that does nothing.
#define VRAX_PORTS_START_NONE 1

// Opens port PortIndex into Port: an I/O target on the arrived SMD interface, the SMD
// channel with its three events and, unless NoThread (the port's own service thread
// re-opening it), the port's service thread. Owner is any record whose first field is the
// control device. On failure the record is left closed with no events.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    SmdPortOpen(_In_ PVOID Owner, _In_ ULONG PortIndex, _Inout_ PSMD_PORT_RECORD Port,
                _In_ BOOLEAN NoThread);

// Closes the handles of the three shared events of the port's current context and clears
// them; nothing when the record or its context is NULL.
_IRQL_requires_(PASSIVE_LEVEL) VOID SmdPortReleaseEvents(_In_opt_ PSMD_PORT_RECORD Port);

// Brings the ports up after the SMD interface arrived (mode 2), or does nothing (mode 1).
// STATUS_INSUFFICIENT_RESOURCES for another mode or when a port's routing cannot be opened;
// a failed open of port 0 itself is not reported.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    SmdPortsStart(_In_ WDFDEVICE Device, _In_ PCUNICODE_STRING SymbolicLink, _In_ ULONG Mode);

// Forgets the targets of the ports Device owned, which the framework deleted with it: the
// next device in the same driver image starts from closed records.
_IRQL_requires_(PASSIVE_LEVEL) VOID SmdPortsForget(_In_ WDFDEVICE Device);
