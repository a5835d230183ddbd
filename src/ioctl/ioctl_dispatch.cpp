// The I/O control dispatcher of the default queue: thirteen codes, function numbers 0x900 to
// 0x90C of device type 1, each served by its own handler. A request without a file object
// (a kernel-mode sender's) belongs to no session and is refused, as is every other code.
#include <ntddk.h>
#include <wdf.h>

#include <vrax/vrax_ioctl.h>

#include "../driver/code_sections.h"
#include "ioctl_controls.h"
#include "ioctl_dispatch.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "ioctl_dispatch.tmh"
#endif

#define VRAX_FIRST_FUNCTION 0x900
#define VRAX_CONTROL_COUNT 13

// Handlers by function number - 0x900, in code order.
static PVRAX_CONTROL_HANDLER const ControlHandlers[VRAX_CONTROL_COUNT] = {
    ResetSessionControl,          // 0x12400 IOCTL_VRAX_RESET_SESSION
    SubmitControlRequestControl,  // 0x12404 IOCTL_VRAX_SUBMIT_CONTROL_REQUEST
    StopPortControl,              // 0x12408 IOCTL_VRAX_STOP_PORT
    ReadMessageControl,           // 0x1240C IOCTL_VRAX_READ_MESSAGE
    GetClientIdControl,           // 0x12410 IOCTL_VRAX_GET_CLIENT_ID
    ServiceTwoQueryControl,       // 0x12414 IOCTL_VRAX_SERVICE_TWO_QUERY
    BindServiceControl,           // 0x12418 IOCTL_VRAX_BIND_SERVICE
    BindServiceControl,           // 0x1241C IOCTL_VRAX_BIND_SERVICE_2, the same control
    OpenEventControl,             // 0x12420 IOCTL_VRAX_OPEN_EVENT
    OpenEventWideControl,         // 0x12424 IOCTL_VRAX_OPEN_EVENT_W
    CloseEventControl,            // 0x12428 IOCTL_VRAX_CLOSE_EVENT
    ValueQueryControl,            // 0x1242C IOCTL_VRAX_VALUE_QUERY
    ReadNotificationControl,      // 0x12430 IOCTL_VRAX_READ_NOTIFICATION
};

static_assert(IOCTL_VRAX_READ_NOTIFICATION ==
                  VRAX_IOCTL(VRAX_FIRST_FUNCTION + VRAX_CONTROL_COUNT - 1),
              "one handler per code");

// The handler of a code, or NULL when the code is not one of the driver's.
static PVRAX_CONTROL_HANDLER HandlerOf(ULONG IoControlCode) {
    for (ULONG i = 0; i < VRAX_CONTROL_COUNT; ++i) {
        if (IoControlCode == VRAX_IOCTL(VRAX_FIRST_FUNCTION + i)) {
            return ControlHandlers[i];
        }
    }
    return nullptr;
}

_Use_decl_annotations_ VOID RefuseControl(WDFREQUEST Request, NTSTATUS Status, ULONG Line) {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "control refused (line %u) %!STATUS!", Line, Status);
    WdfRequestComplete(Request, Status);
}

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request,
                                               size_t OutputBufferLength, size_t InputBufferLength,
                                               ULONG IoControlCode) {
    PAGED_CODE();

    PVRAX_DEVICE_CONTEXT context = GetVraxDeviceContext(WdfIoQueueGetDevice(Queue));
    if (WdfRequestGetFileObject(Request) == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "control 0x%x without file object",
                    IoControlCode);
        VRAX_REFUSE(Request, STATUS_INVALID_DEVICE_REQUEST);
        return;
    }
    PVRAX_CONTROL_HANDLER handler = HandlerOf(IoControlCode);
    if (handler == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "control 0x%x (in %Iu, out %Iu) unknown",
                    IoControlCode, InputBufferLength, OutputBufferLength);
        VRAX_REFUSE(Request, STATUS_INVALID_DEVICE_REQUEST);
        return;
    }
    handler(context, Request, OutputBufferLength, InputBufferLength);
}
