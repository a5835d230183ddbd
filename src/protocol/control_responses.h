// Control-service responses: the handler for every control-service frame that no client
// record owns. Called by the demultiplexer under the port's routing lock.
#pragma once

#include <ntddk.h>

_IRQL_requires_(PASSIVE_LEVEL) VOID
    HandleControlMessage(_In_ ULONG PortIndex, _Inout_updates_bytes_(Length) PUCHAR Message,
                         _In_ ULONG Length);
