// Reads and writes of a session's handle. No session is bound to a service yet, so there is
// nothing to read or write: both are refused as invalid requests.
#include <ntddk.h>
#include <wdf.h>

#include "../driver/code_sections.h"
#include "read_write.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "read_write.tmh"
#endif

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtIoRead(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Queue);

    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "read of %Iu bytes refused", Length);
    WdfRequestComplete(Request, STATUS_INVALID_DEVICE_REQUEST);
}

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtIoWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Queue);

    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "write of %Iu bytes refused", Length);
    WdfRequestComplete(Request, STATUS_INVALID_DEVICE_REQUEST);
}

// Interim: no session stores messages yet.
_Use_decl_annotations_ VOID ReadServiceMessage(WDFREQUEST Request) {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "message read refused");
    WdfRequestComplete(Request, STATUS_INVALID_DEVICE_REQUEST);
}

_Use_decl_annotations_ VOID ReadNotification(WDFREQUEST Request) {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "notification read refused");
    WdfRequestComplete(Request, STATUS_INVALID_DEVICE_REQUEST);
}

_Use_decl_annotations_ VOID SendSessionMessage(PCLIENT_CONTEXT Session, WDFREQUEST Request) {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "key 0x%x: write refused", Session->SessionKey);
    WdfRequestComplete(Request, STATUS_INVALID_DEVICE_REQUEST);
}

_Use_decl_annotations_ VOID ReleaseWriteUnit(PCLIENT_CONTEXT Session) {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "key 0x%x: no write to release",
                Session->SessionKey);
}
