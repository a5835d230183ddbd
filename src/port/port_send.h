// Transmit path entry: hands one complete frame to a port.
#pragma once

#include <ntddk.h>

// Sends Length bytes of Frame on the port. 0 when the write was handed to the port, -1
// otherwise (bad port, port not attached, nothing could be written). The frame stays the
// caller's; it is only read during the call.
_IRQL_requires_(PASSIVE_LEVEL) int PortSend(_In_ ULONG PortIndex,
                                            _In_reads_bytes_(Length) PUCHAR Frame,
                                            _In_ ULONG Length);
