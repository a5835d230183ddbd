// Deferred control work: the client-id (0x12410), service-2 query (0x12414) and value query
// (0x1242C) controls wait for an answer, so the dispatcher marks their request cancelable
// and hands it to a framework work item, whose routine sends the request to the control
// service, waits up to 5 seconds for the answer or an abort, and completes the request.
//
// Who completes a deferred request. Always its work item's routine, exactly once, and
// never while the request is cancelable:
//
//   1. The dispatcher allocates the request's VRAX_DEFERRED_REQUEST_CONTEXT, fills the work
//      item's context, marks the request cancelable and queues the work item. A request
//      cancelled before it could be marked is completed there, as cancelled.
//   2. A cancel (CancelIo, CancelIoEx, the issuing thread's or process's exit, a queue
//      purge) runs EvtDeferredRequestCancel. It sets the session's AbortEvent, which wakes
//      the routine, then sets the request's CancelDelivered, and completes nothing. After
//      CancelDelivered is set the routine touches nothing of the request's.
//   3. The routine takes the request back with WdfRequestUnmarkCancelable before it
//      completes it, on every path (the answer, a time-out, an abort, a failed send). When
//      the take-back reports STATUS_CANCELLED, a cancel has begun and its routine has run
//      or is about to: the routine waits for CancelDelivered and then completes the request
//      as cancelled. The framework holds its own reference on the request while the cancel
//      routine runs, so the completion may follow as soon as the event is set.
//   4. After completing the request the routine touches neither the request nor the
//      session (the handle may close at once), and deletes its work item.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "../session/session.h"

// Context of the work items of the deferred controls.
typedef struct _VRAX_WORK_ITEM_CONTEXT {
    // The deferred request; owned by the routine until it completes it.
    WDFREQUEST Request;
    // The request's session. Its fields are read under ClientSessionsLock; its events are
    // waited on without it.
    PCLIENT_CONTEXT Session;
} VRAX_WORK_ITEM_CONTEXT, *PVRAX_WORK_ITEM_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(VRAX_WORK_ITEM_CONTEXT, GetWorkItemContext)

// Context of a deferred request, allocated by the dispatcher before the request is marked
// cancelable.
typedef struct _VRAX_DEFERRED_REQUEST_CONTEXT {
    // Notification event, set by the cancel routine as its last touch of the request.
    KEVENT CancelDelivered;
} VRAX_DEFERRED_REQUEST_CONTEXT, *PVRAX_DEFERRED_REQUEST_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(VRAX_DEFERRED_REQUEST_CONTEXT, GetDeferredRequestContext)

// The routines of the three deferred controls; each completes its request and deletes its
// work item on every path.
EVT_WDF_WORKITEM EvtClientIdWorkItem;
EVT_WDF_WORKITEM EvtServiceTwoQueryWorkItem;
EVT_WDF_WORKITEM EvtValueQueryWorkItem;

// The cancel routine attached to every deferred request.
EVT_WDF_REQUEST_CANCEL EvtDeferredRequestCancel;

// How a wait for an answer ended.
typedef enum _VRAX_ANSWER {
    VraxAnswered,  // the answer event fired
    VraxAborted,   // the session's AbortEvent fired (a cancel, a queue stop, or left set)
    VraxTimedOut,  // 5 seconds passed
} VRAX_ANSWER;

// Waits up to 5 seconds for Answer or Abort; the answer wins when both are set.
_IRQL_requires_(PASSIVE_LEVEL) VRAX_ANSWER WaitForAnswer(_In_ PKEVENT Answer, _In_ PKEVENT Abort);

// Takes a deferred request back from cancellation and completes it: with Status and
// Information when the take-back succeeds, as cancelled (no information) once its cancel
// routine has run otherwise.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    CompleteDeferredRequest(_In_ WDFREQUEST Request, _In_ NTSTATUS Status,
                            _In_ ULONG_PTR Information);
