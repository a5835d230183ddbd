// The I/O control dispatcher. No control is served yet: every code is refused as an invalid
// request, which a program sees as ERROR_INVALID_FUNCTION.
#include <ntddk.h>
#include <wdf.h>

#include "../driver/code_sections.h"
#include "ioctl_dispatch.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "ioctl_dispatch.tmh"
#endif

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request,
                                               size_t OutputBufferLength, size_t InputBufferLength,
                                               ULONG IoControlCode) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Queue);

    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "control 0x%x (in %Iu, out %Iu) refused",
                IoControlCode, InputBufferLength, OutputBufferLength);
    WdfRequestComplete(Request, STATUS_INVALID_DEVICE_REQUEST);
}
