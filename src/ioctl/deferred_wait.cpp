// The deferred controls' wait for an answer: 5 seconds at most, on the answer event and the
// session's AbortEvent.
#include <ntddk.h>
#include <wdf.h>

#include "../driver/code_sections.h"
#include "../vrax_device.h"
#include "deferred_work.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "deferred_wait.tmh"
#endif

VRAX_PAGED_CODE
_Use_decl_annotations_ VRAX_ANSWER WaitForAnswer(PKEVENT Answer, PKEVENT Abort) {
    PAGED_CODE();

    PVOID objects[2] = {Answer, Abort};
    LARGE_INTEGER timeout;
    timeout.QuadPart = VRAX_TIMEOUT_CONTROL_ANSWER;
    NTSTATUS status = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE,
                                               &timeout, nullptr);
    switch (status) {
        case STATUS_WAIT_0:
            return VraxAnswered;
        case STATUS_WAIT_1:
            return VraxAborted;
        default:
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "answer wait ended %!STATUS!", status);
            return VraxTimedOut;
    }
}
