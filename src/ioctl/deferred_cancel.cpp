// Cancellation of deferred requests: the cancel routine, which only wakes the waiting work
// item, and the take-back through which the work item completes its request exactly once
// (see deferred_work.h for the whole story).
#include <ntddk.h>
#include <wdf.h>

#include "../driver/code_sections.h"
#include "deferred_work.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "deferred_cancel.tmh"
#endif

// May run at DISPATCH_LEVEL on the cancelling thread, or on the thread that runs the queue's
// dispatch loop; it only sets events.
_Use_decl_annotations_ VOID EvtDeferredRequestCancel(WDFREQUEST Request) {
    PVRAX_DEFERRED_REQUEST_CONTEXT context = GetDeferredRequestContext(Request);
    // The dispatcher marks a request cancelable only once it has found its session and
    // given it to a work item; the session lives with the file object the request holds.
    PCLIENT_CONTEXT session = SessionOfRequest(Request);
    if (session != nullptr) {
        KeSetEvent(&session->AbortEvent, 1, FALSE);
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "cancel: request %p without session", Request);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "deferred request %p cancelled", Request);
    // Last touch: from here on the work item may complete the request.
    KeSetEvent(&context->CancelDelivered, 0, FALSE);
}

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID CompleteDeferredRequest(WDFREQUEST Request, NTSTATUS Status,
                                                    ULONG_PTR Information) {
    PAGED_CODE();

    NTSTATUS taken = WdfRequestUnmarkCancelable(Request);
    if (NT_SUCCESS(taken)) {
        if (!NT_SUCCESS(Status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "deferred request %p: %!STATUS!", Request,
                        Status);
        }
        WdfRequestCompleteWithInformation(Request, Status, Information);
        return;
    }
    // The cancel routine has run or is about to; the request may be completed only once it
    // has been called.
    PVRAX_DEFERRED_REQUEST_CONTEXT context = GetDeferredRequestContext(Request);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                "deferred request %p being cancelled (%!STATUS!), outcome %!STATUS! dropped",
                Request, taken, Status);
    (VOID) KeWaitForSingleObject(&context->CancelDelivered, Executive, KernelMode, FALSE, nullptr);
    WdfRequestCompleteWithInformation(Request, STATUS_CANCELLED, 0);
}
