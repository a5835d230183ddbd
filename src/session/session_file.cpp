// Opening and ending client sessions. A handle can be opened only while the driver's device
// interface is enabled, which is while the modem channel is open; otherwise the create is
// refused with STATUS_NOINTERFACE.
#include <ntddk.h>
#include <wdf.h>

#include "../driver/code_sections.h"
#include "../vrax_device.h"
#include "../vrax_lock.h"
#include "session.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "session_file.tmh"
#endif

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtDeviceFileCreate(WDFDEVICE Device, WDFREQUEST Request,
                                                WDFFILEOBJECT FileObject) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(FileObject);

    PVRAX_DEVICE_CONTEXT context = GetVraxDeviceContext(Device);
    BOOLEAN enabled;
    {
        VRAX_WAIT_LOCK_HOLDER lock(context->InterfaceLock);
        enabled = context->InterfaceEnabled;
    }
    if (!enabled) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "create refused, interface disabled %!STATUS!",
                    STATUS_NOINTERFACE);
        WdfRequestComplete(Request, STATUS_NOINTERFACE);
        return;
    }
    WdfRequestComplete(Request, STATUS_SUCCESS);
}

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtFileCleanup(WDFFILEOBJECT FileObject) {
    PAGED_CODE();

    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_VRAX, "file object %p cleaned up", FileObject);
}

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtIoStop(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Queue);

    // The driver keeps no request across a stop: let the framework go on with it.
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "stop of request %p, flags 0x%x", Request,
                ActionFlags);
    WdfRequestStopAcknowledge(Request, FALSE);
}

// Owner keys of sessions and kernel clients; the next key to hand out.
static LONG volatile NextSessionKey = 1;

_Use_decl_annotations_ ULONG DrawSessionKey() {
    return (ULONG)(InterlockedIncrement(&NextSessionKey) - 1);
}

_Use_decl_annotations_ VOID ResetSessionKeys() {
    InterlockedExchange(&NextSessionKey, 1);
}

_Use_decl_annotations_ PCLIENT_CONTEXT SessionOfRequest(WDFREQUEST Request) {
    WDFFILEOBJECT fileObject = WdfRequestGetFileObject(Request);
    if (fileObject == nullptr) {
        return nullptr;
    }
    return GetClientContext(fileObject);
}
