// The I/O controls of the control device, one handler per code, and the buffer rules they
// share. EvtIoDeviceControl (ioctl_dispatch.cpp) finds the handler by the code's function
// number; each handler completes its request, or hands it to the read path or a work item,
// before it returns.
//
// Buffers are METHOD_BUFFERED: input and output are one system buffer, so a handler reads
// everything it needs from the input before it writes any output. Every multi-byte field is
// little-endian and may be unaligned.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "../session/session.h"
#include "../vrax_device.h"

// Binding input of the client-id and bind controls: the service type, then, when the input
// is exactly 8 bytes, the port index.
#define VRAX_BIND_INPUT_MIN 4
#define VRAX_BIND_INPUT_WITH_PORT 8
// Version output of the bind controls: two words with 4 bytes or more, all four with 8.
#define VRAX_VERSION_OUTPUT_HALF 4
#define VRAX_VERSION_OUTPUT_FULL 8
// Reset control: exactly 8 bytes in, exactly 12 bytes out (zeroed, not returned).
#define VRAX_RESET_INPUT_SIZE 8
#define VRAX_RESET_OUTPUT_SIZE 12
// Stop-port control: exactly 4 bytes in, not interpreted.
#define VRAX_STOP_PORT_INPUT_SIZE 4
// Value query: 32-bit value, 16-bit value, 2 unused bytes, 32-bit port index; out a 16-bit
// value.
#define VRAX_VALUE_INPUT_SIZE 12
#define VRAX_VALUE_INPUT_VALUE16_OFFSET 4
#define VRAX_VALUE_INPUT_PORT_OFFSET 8
#define VRAX_VALUE_OUTPUT_SIZE 2
// Client-id output: the granted id.
#define VRAX_CLIENT_ID_OUTPUT_SIZE 1
// The service-2 query with an output of exactly this length also moves the session to port 0.
#define VRAX_SERVICE_TWO_RESET_OUTPUT 8
// Service type the service-2 query needs its session bound to.
#define VRAX_SERVICE_TWO 2
// Version word that says a service reports its port state (a first bind posts "ready").
#define VRAX_VERSION_WORD_READY 2

// Port-state notification values.
#define VRAX_PORT_STATE_READY 0

// One control's handler. Context is the control device's context; the lengths are those the
// queue presented.
typedef VOID VRAX_CONTROL_HANDLER(_In_ PVRAX_DEVICE_CONTEXT Context, _In_ WDFREQUEST Request,
                                  _In_ size_t OutputBufferLength, _In_ size_t InputBufferLength);
typedef VRAX_CONTROL_HANDLER* PVRAX_CONTROL_HANDLER;

// Controls completed at once (session_controls.cpp).
VRAX_CONTROL_HANDLER ResetSessionControl;
VRAX_CONTROL_HANDLER SubmitControlRequestControl;
VRAX_CONTROL_HANDLER StopPortControl;
VRAX_CONTROL_HANDLER ReadMessageControl;
VRAX_CONTROL_HANDLER BindServiceControl;
VRAX_CONTROL_HANDLER ReadNotificationControl;

// Controls completed by deferred work (deferred_controls.cpp).
VRAX_CONTROL_HANDLER GetClientIdControl;
VRAX_CONTROL_HANDLER ServiceTwoQueryControl;
VRAX_CONTROL_HANDLER ValueQueryControl;

// The named-event controls (named_events.cpp).
VRAX_CONTROL_HANDLER OpenEventControl;
VRAX_CONTROL_HANDLER OpenEventWideControl;
VRAX_CONTROL_HANDLER CloseEventControl;

// A 32-bit little-endian field of an input buffer.
inline ULONG IoctlReadU32(const UCHAR* Field) {
    return (ULONG)Field[0] | ((ULONG)Field[1] << 8) | ((ULONG)Field[2] << 16) |
           ((ULONG)Field[3] << 24);
}

// Completes a request with a status and no information, tracing the refusal.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    RefuseControl(_In_ WDFREQUEST Request, _In_ NTSTATUS Status, _In_ ULONG Line);

#define VRAX_REFUSE(Request, Status) RefuseControl((Request), (Status), __LINE__)
