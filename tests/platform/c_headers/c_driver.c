/* A small KMDF driver fragment written in C, as most KMDF drivers are: it includes the WDK
 * headers the way the framework's samples do (INITGUID defined before ntddk.h) and uses the
 * framework's initialisers, context types, queues, requests and timers. It is compiled with
 * the project's warning flags and -Werror. */
#define INITGUID

#include <ntddk.h>
#include <wdf.h>
#include <ntstrsafe.h>
#include <wdmguid.h>

#include "c_fragment.h"
#include "c_fragment_context.h"
#include "c_fragment_guids.h"

EVT_WDF_IO_QUEUE_IO_READ CFragmentEvtIoRead;
EVT_WDF_REQUEST_CANCEL CFragmentEvtRequestCancel;
EVT_WDF_IO_QUEUE_CONTEXT_DESTROY_CALLBACK CFragmentEvtQueueDestroy;
EVT_WDF_TIMER CFragmentEvtTimer;

C_ASSERT(sizeof(WCHAR) == 2);

/* Every callback of the queue brackets its work with these: an entry while another callback
 * of the same queue is running means the callback lock did not serialise them. */
static VOID CFragmentEnterCallback(PC_QUEUE_CONTEXT Context) {
    if (InterlockedIncrement(&Context->Running) != 1) {
        InterlockedIncrement(&Context->Overlaps);
    }
}

static VOID CFragmentLeaveCallback(PC_QUEUE_CONTEXT Context) {
    InterlockedDecrement(&Context->Running);
}

/* Runs under the queue's callback lock, so it never meets the timer routine halfway. */
_Use_decl_annotations_ VOID CFragmentEvtRequestCancel(WDFREQUEST Request) {
    PC_QUEUE_CONTEXT context = CQueueGetContext(WdfRequestGetIoQueue(Request));
    CFragmentEnterCallback(context);
    context->CurrentRequest = NULL;
    InterlockedIncrement(&context->CancelCompleted);
    WdfRequestCompleteWithInformation(Request, STATUS_CANCELLED, 0);
    CFragmentLeaveCallback(context);
}

_Use_decl_annotations_ VOID CFragmentEvtIoRead(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
    PC_QUEUE_CONTEXT context = CQueueGetContext(Queue);
    WDF_REQUEST_PARAMETERS parameters;
    PWCHAR buffer;
    size_t size;
    size_t written = 0;
    NTSTATUS status;

    CFragmentEnterCallback(context);
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(Request, &parameters);
    status = WdfRequestRetrieveOutputBuffer(Request, sizeof(WCHAR), (PVOID*)&buffer, &size);
    if (!NT_SUCCESS(status)) {
        KdPrint(("CFragmentEvtIoRead: no buffer 0x%x (%Iu bytes asked)\n", status, Length));
        WdfRequestComplete(Request, status);
        goto Exit;
    }
    status = RtlStringCbPrintfW(buffer, size, L"runs %d", (int)context->TimerRuns);
    if (NT_SUCCESS(status)) {
        status = RtlStringCbLengthW(buffer, size, &written);
    }
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
        goto Exit;
    }
    /* The timer routine completes the request; until then a cancel may take it. */
    status = WdfRequestMarkCancelableEx(Request, CFragmentEvtRequestCancel);
    if (!NT_SUCCESS(status)) {
        if (status == STATUS_CANCELLED) {
            InterlockedIncrement(&context->CancelCompleted);
        }
        WdfRequestCompleteWithInformation(Request, status, 0);
        goto Exit;
    }
    context->CurrentRequest = Request;
    context->CurrentLength = written + sizeof(WCHAR); /* with the terminator */

Exit:
    CFragmentLeaveCallback(context);
}

_Use_decl_annotations_ VOID CFragmentEvtQueueDestroy(WDFOBJECT Object) {
    PC_QUEUE_CONTEXT context = CQueueGetContext(Object);
    context->Timer = NULL;
}

/* Completes the request the read left pending. The timer is serialised with the queue
 * (AutomaticSerialization), so CurrentRequest cannot change underneath it; a cancel that has
 * already taken the request makes WdfRequestUnmarkCancelable return STATUS_CANCELLED, and the
 * cancel routine, which runs once this routine has released the lock, completes it. */
_Use_decl_annotations_ VOID CFragmentEvtTimer(WDFTIMER Timer) {
    WDFQUEUE queue = (WDFQUEUE)WdfTimerGetParentObject(Timer);
    PC_QUEUE_CONTEXT context = CQueueGetContext(queue);
    WDFREQUEST request;

    CFragmentEnterCallback(context);
    if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
        InterlockedIncrement(&context->TimerOffDispatch);
    }
    InterlockedIncrement(&context->TimerRuns);
    request = context->CurrentRequest;
    if (request != NULL) {
        if (WdfRequestUnmarkCancelable(request) != STATUS_CANCELLED) {
            context->CurrentRequest = NULL;
            InterlockedIncrement(&context->TimerCompleted);
            WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, context->CurrentLength);
        } else {
            InterlockedIncrement(&context->TimerLeftToCancel);
        }
    }
    CFragmentLeaveCallback(context);
}

NTSTATUS CFragmentCreateQueueAndTimer(WDFDEVICE Device, LONG PeriodMs, WDFQUEUE* Queue,
                                      PC_FRAGMENT_RESULT Result) {
    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_OBJECT_ATTRIBUTES queueAttributes;
    WDF_TIMER_CONFIG timerConfig;
    WDF_OBJECT_ATTRIBUTES timerAttributes;
    PC_QUEUE_CONTEXT context;
    WDFQUEUE queue;
    NTSTATUS status;

    PAGED_CODE();
    RtlZeroMemory(Result, sizeof(*Result));

    WDF_IO_QUEUE_CONFIG_INIT(&queueConfig, WdfIoQueueDispatchSequential);
    queueConfig.EvtIoRead = CFragmentEvtIoRead;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&queueAttributes, C_QUEUE_CONTEXT);
    queueAttributes.SynchronizationScope = WdfSynchronizationScopeQueue;
    queueAttributes.EvtDestroyCallback = CFragmentEvtQueueDestroy;
    status = WdfIoQueueCreate(Device, &queueConfig, &queueAttributes, &queue);
    if (!NT_SUCCESS(status)) {
        Result->Status = status;
        return status;
    }
    context = CQueueGetContext(queue);

    /* The timer is parented to the queue: the framework deletes it with the queue. Its
     * AutomaticSerialization (set by the initialiser) takes the queue's callback lock around
     * the routine. */
    WDF_TIMER_CONFIG_INIT_PERIODIC(&timerConfig, CFragmentEvtTimer, PeriodMs);
    WDF_OBJECT_ATTRIBUTES_INIT(&timerAttributes);
    timerAttributes.ParentObject = queue;
    timerAttributes.ExecutionLevel = WdfExecutionLevelDispatch;
    status = WdfTimerCreate(&timerConfig, &timerAttributes, &context->Timer);
    if (!NT_SUCCESS(status)) {
        Result->Status = status;
        return status;
    }
    Result->ParentIsQueue = WdfTimerGetParentObject(context->Timer) == (WDFOBJECT)queue;
    Result->FirstStartWasQueued = WdfTimerStart(context->Timer, WDF_REL_TIMEOUT_IN_MS(1000));
    Result->SecondStartWasQueued = WdfTimerStart(context->Timer, WDF_REL_TIMEOUT_IN_MS(1000));
    Result->StopWasQueued = WdfTimerStop(context->Timer, FALSE);
    *Queue = queue;
    Result->Status = STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

NTSTATUS CFragmentDispatchReadsTo(WDFDEVICE Device, WDFQUEUE Queue) {
    PAGED_CODE();
    return WdfDeviceConfigureRequestDispatching(Device, Queue, WdfRequestTypeRead);
}

VOID CFragmentStartTimer(WDFQUEUE Queue, LONG DueMs) {
    WdfTimerStart(CQueueGetContext(Queue)->Timer, WDF_REL_TIMEOUT_IN_MS((ULONGLONG)DueMs));
}

VOID CFragmentStopTimer(WDFQUEUE Queue) {
    WdfTimerStop(CQueueGetContext(Queue)->Timer, TRUE);
}

LONG CFragmentTimerRuns(WDFQUEUE Queue) {
    return CQueueGetContext(Queue)->TimerRuns;
}

BOOLEAN CFragmentHasCurrentRequest(WDFQUEUE Queue) {
    BOOLEAN pending;
    WdfObjectAcquireLock(Queue);
    pending = CQueueGetContext(Queue)->CurrentRequest != NULL;
    WdfObjectReleaseLock(Queue);
    return pending;
}

VOID CFragmentGetCounts(WDFQUEUE Queue, PC_FRAGMENT_COUNTS Counts) {
    PC_QUEUE_CONTEXT context = CQueueGetContext(Queue);
    Counts->TimerRuns = context->TimerRuns;
    Counts->TimerCompleted = context->TimerCompleted;
    Counts->TimerLeftToCancel = context->TimerLeftToCancel;
    Counts->CancelCompleted = context->CancelCompleted;
    Counts->Overlaps = context->Overlaps;
    Counts->TimerOffDispatch = context->TimerOffDispatch;
}

NTSTATUS CFragmentPrintDriverVersion(VOID) {
    NTSTATUS status;
    WDFSTRING string;
    UNICODE_STRING us;
    WDF_DRIVER_VERSION_AVAILABLE_PARAMS ver;

    status = WdfStringCreate(NULL, WDF_NO_OBJECT_ATTRIBUTES, &string);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WdfDriverRetrieveVersionString(WdfGetDriver(), string);
    if (!NT_SUCCESS(status)) {
        WdfObjectDelete(string);
        return status;
    }
    WdfStringGetUnicodeString(string, &us);
    KdPrint(("C fragment on %wZ\n", &us));
    WdfObjectDelete(string);
    WDF_DRIVER_VERSION_AVAILABLE_PARAMS_INIT(&ver, 1, 15);
    if (WdfDriverIsVersionAvailable(WdfGetDriver(), &ver) == TRUE) {
        KdPrint(("framework 1.15 is available\n"));
    }
    return STATUS_SUCCESS;
}

VOID CFragmentPrintConversions(VOID) {
    DECLARE_CONST_UNICODE_STRING(name, L"echo");
    size_t length = 40;
    ULONG64 big = 0x123456789ABCULL;
    ULONG small = 7;
    KdPrint(("c: %wZ %ws %S %Iu %I64x %lu\n", &name, L"wide", L"upper", length, big, small));
    DbgPrintEx(0, 0, "c: %d%%\n", 100);
}

LONG CFragmentIncrementIfPositive(LONG volatile* Target) {
    LONG current = *Target;
    for (;;) {
        LONG seen;
        if (current <= 0) {
            return current;
        }
        seen = InterlockedCompareExchange(Target, current + 1, current);
        if (seen == current) {
            return current + 1;
        }
        current = seen;
    }
}

const GUID* CFragmentGuidFromDriver(VOID) {
    return &GUID_DEVINTERFACE_C_FRAGMENT;
}

PCWDF_OBJECT_CONTEXT_TYPE_INFO CFragmentContextTypeFromDriver(VOID) {
    return WDF_GET_CONTEXT_TYPE_INFO(C_QUEUE_CONTEXT);
}
