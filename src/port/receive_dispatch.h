// Receive hand-off: the seam between the port transport and the protocol layer. It holds the
// one receive handler, the table of ports the protocol layer has attached, and the dispatch
// the port service thread calls for every completed read.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "port_table.h"

// The receive handler: (port index, frame, frame length). Registered once, never replaced.
typedef VOID VRAX_RECEIVE_HANDLER(_In_ ULONG PortIndex, _In_reads_bytes_(Length) PUCHAR Frame,
                                  _In_ ULONG Length);
typedef VRAX_RECEIVE_HANDLER* PFN_VRAX_RECEIVE_HANDLER;

// Called by the port service thread for every completed read: Params->Parameters.Read gives
// the read's memory object and the byte count, Port the port index. Drops a read whose buffer
// is missing or shorter than the count, and answers to the driver's port-open notice.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    ReceiveDispatch(_In_ WDFREQUEST Request, _In_ WDFIOTARGET Target,
                    _In_ PWDF_REQUEST_COMPLETION_PARAMS Params, _In_ PSMD_PORT_RECORD Port);

// Stores the receive handler. 0, or -1 when one is registered already (the first stays).
_IRQL_requires_(PASSIVE_LEVEL) int RegisterReceiveHandler(_In_ PFN_VRAX_RECEIVE_HANDLER Handler);

// Whether Handler is the receive handler registered.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN IsReceiveHandler(_In_ PFN_VRAX_RECEIVE_HANDLER Handler);

// Marks a port as taken on by the protocol layer; Context is a non-null token. 0, or -1 for a
// bad port, a null context, no handler registered yet or a port attached already.
_IRQL_requires_(PASSIVE_LEVEL) int AttachPort(_In_ ULONG PortIndex, _In_ PVOID Context);

// Passes the frame to the handler, if one is registered, then records it for the port.
// 0, or -1 for a bad port.
_IRQL_requires_(PASSIVE_LEVEL) int DispatchReceivedFrame(_In_reads_bytes_(Length) PUCHAR Frame,
                                                         _In_ ULONG Length, _In_ ULONG PortIndex);

// Whether the port has been attached; read without a lock by senders.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN IsPortAttached(_In_ ULONG PortIndex);

// Forgets the attachment of a port. Called when the routing table is torn down at shutdown,
// after the port's service thread has ended, so that the next arrival of the SMD interface
// can attach the port again.
_IRQL_requires_(PASSIVE_LEVEL) VOID DetachPort(_In_ ULONG PortIndex);

// Forgets the receive handler and every port's attachment, as the driver image had them at
// load. Called when the driver unloads: a driver loaded again starts from a fresh image.
_IRQL_requires_(PASSIVE_LEVEL) VOID ResetReceiveHandoff();
