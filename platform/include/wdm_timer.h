// The kernel's timer and DPC part of wdm.h: deferred procedure calls and timer objects.
// Included at the end of wdm.h, so the dispatcher header and the basic types are declared.
//
// A DPC routine runs at DISPATCH_LEVEL on the platform's DPC thread, one routine at a time,
// in the order the DPCs were queued (a HighImportance DPC goes to the head of the queue).
// A timer is a dispatcher object: it is signalled when it expires, so a thread can wait on
// it, and on expiry its DPC (if it has one) is queued. Due times are in the scheduler's time,
// so in virtual time a timer expires exactly when its due time is reached.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// ---- Deferred procedure calls --------------------------------------------------------------
struct _KDPC;

typedef VOID KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef enum _KDPC_IMPORTANCE {
    LowImportance,
    MediumImportance,
    HighImportance,
    MediumHighImportance
} KDPC_IMPORTANCE;

typedef struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    volatile USHORT Number;
    LIST_ENTRY DpcListEntry;
    KAFFINITY ProcessorHistory;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    volatile PVOID DpcData;  // non-NULL while the DPC is queued
} KDPC, *PKDPC, *PRKDPC;

NTKERNELAPI VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                                 PVOID DeferredContext);
// TRUE when the DPC was queued; FALSE when it was already in the queue (nothing changes).
NTKERNELAPI BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
// TRUE when the DPC was in the queue and is removed; a routine already running is not stopped.
NTKERNELAPI BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
NTKERNELAPI VOID KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance);
// Returns once every DPC queued before the call has run (PASSIVE_LEVEL only).
NTKERNELAPI VOID KeFlushQueuedDpcs(VOID);

// ---- Timers ---------------------------------------------------------------------------------
typedef struct _KTIMER {
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime;  // interrupt time of the next expiry while the timer is set
    LIST_ENTRY TimerListEntry;
    struct _KDPC* Dpc;
    ULONG Processor;
    LONG Period;  // milliseconds; 0 for a one-shot timer
} KTIMER, *PKTIMER, *PRKTIMER;

NTKERNELAPI VOID KeInitializeTimer(PKTIMER Timer);  // a notification timer
NTKERNELAPI VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
// DueTime: negative is relative (100-ns units), positive is absolute system time. Setting a
// timer clears its signal state and replaces an earlier setting; the result is TRUE when the
// timer was still in the timer queue.
NTKERNELAPI BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
NTKERNELAPI BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
NTKERNELAPI BOOLEAN KeSetCoalescableTimer(PKTIMER Timer, LARGE_INTEGER DueTime, ULONG Period,
                                          ULONG TolerableDelay, PKDPC Dpc);
// TRUE when the timer was in the timer queue. Its signal state and a DPC already queued are
// left as they are.
NTKERNELAPI BOOLEAN KeCancelTimer(PKTIMER Timer);
NTKERNELAPI BOOLEAN KeReadStateTimer(PKTIMER Timer);

#ifdef __cplusplus
}
#endif
