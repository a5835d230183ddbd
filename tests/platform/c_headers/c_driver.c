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

_Use_decl_annotations_ VOID CFragmentEvtRequestCancel(WDFREQUEST Request) {
    PC_QUEUE_CONTEXT context = CQueueGetContext(WdfRequestGetIoQueue(Request));
    context->CurrentRequest = NULL;
    WdfRequestCompleteWithInformation(Request, STATUS_CANCELLED, 0);
}

_Use_decl_annotations_ VOID CFragmentEvtIoRead(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
    PC_QUEUE_CONTEXT context = CQueueGetContext(Queue);
    WDF_REQUEST_PARAMETERS parameters;
    PWCHAR buffer;
    size_t size;
    NTSTATUS status;

    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(Request, &parameters);
    status = WdfRequestRetrieveOutputBuffer(Request, sizeof(WCHAR), (PVOID*)&buffer, &size);
    if (!NT_SUCCESS(status)) {
        KdPrint(("CFragmentEvtIoRead: no buffer 0x%x (%Iu bytes asked)\n", status, Length));
        WdfRequestComplete(Request, status);
        return;
    }
    status = RtlStringCbPrintfW(buffer, size, L"runs %d", (int)context->TimerRuns);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
        return;
    }
    status = WdfRequestMarkCancelableEx(Request, CFragmentEvtRequestCancel);
    if (!NT_SUCCESS(status)) {
        WdfRequestCompleteWithInformation(Request, status, 0);
        return;
    }
    context->CurrentRequest = Request;
}

_Use_decl_annotations_ VOID CFragmentEvtQueueDestroy(WDFOBJECT Object) {
    PC_QUEUE_CONTEXT context = CQueueGetContext(Object);
    context->Timer = NULL;
}

_Use_decl_annotations_ VOID CFragmentEvtTimer(WDFTIMER Timer) {
    WDFQUEUE queue = (WDFQUEUE)WdfTimerGetParentObject(Timer);
    PC_QUEUE_CONTEXT context = CQueueGetContext(queue);
    InterlockedIncrement(&context->TimerRuns);
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

    /* The timer is parented to the queue: the framework deletes it with the queue. */
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

VOID CFragmentStartTimer(WDFQUEUE Queue, LONG DueMs) {
    WdfTimerStart(CQueueGetContext(Queue)->Timer, WDF_REL_TIMEOUT_IN_MS((ULONGLONG)DueMs));
}

VOID CFragmentStopTimer(WDFQUEUE Queue) {
    WdfTimerStop(CQueueGetContext(Queue)->Timer, TRUE);
}

LONG CFragmentTimerRuns(WDFQUEUE Queue) {
    return CQueueGetContext(Queue)->TimerRuns;
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
