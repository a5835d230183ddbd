/* The C driver fragment's interface to its C++ test. */
#pragma once

#include <ntddk.h>
#include <wdf.h>

EXTERN_C_START

/* What the fragment saw, for the test to check. */
typedef struct _C_FRAGMENT_RESULT {
    BOOLEAN FirstStartWasQueued;  /* WdfTimerStart on a fresh timer */
    BOOLEAN SecondStartWasQueued; /* WdfTimerStart again before it fired */
    BOOLEAN StopWasQueued;        /* WdfTimerStop(FALSE) while queued */
    BOOLEAN ParentIsQueue;        /* WdfTimerGetParentObject is the queue */
    NTSTATUS Status;
} C_FRAGMENT_RESULT, *PC_FRAGMENT_RESULT;

/* Creates a sequential queue with a context and a periodic timer parented to it
 * (dispatch level, serialised with the queue), then starts and stops the timer. A read is
 * left pending, cancelable, until the timer routine completes it. */
NTSTATUS CFragmentCreateQueueAndTimer(WDFDEVICE Device, LONG PeriodMs, WDFQUEUE* Queue,
                                      PC_FRAGMENT_RESULT Result);
/* Has the device's reads dispatched to the queue; from then on only the framework deletes
 * the queue, with the device. */
NTSTATUS CFragmentDispatchReadsTo(WDFDEVICE Device, WDFQUEUE Queue);
/* Starts the queue's timer after DueMs; StopTimer stops it and waits for its callback. */
VOID CFragmentStartTimer(WDFQUEUE Queue, LONG DueMs);
VOID CFragmentStopTimer(WDFQUEUE Queue);
/* How often the timer has run. */
LONG CFragmentTimerRuns(WDFQUEUE Queue);
/* Whether a read is pending for the timer to complete (read under the queue's lock). */
BOOLEAN CFragmentHasCurrentRequest(WDFQUEUE Queue);

/* What the queue's callbacks and its timer counted. */
typedef struct _C_FRAGMENT_COUNTS {
    LONG TimerRuns;
    LONG TimerCompleted;    /* reads the timer completed with success */
    LONG TimerLeftToCancel; /* reads the timer found being cancelled and left alone */
    LONG CancelCompleted;   /* reads completed with STATUS_CANCELLED */
    LONG Overlaps;          /* callbacks entered while another was running */
    LONG TimerOffDispatch;  /* timer runs not at DISPATCH_LEVEL */
} C_FRAGMENT_COUNTS, *PC_FRAGMENT_COUNTS;
VOID CFragmentGetCounts(WDFQUEUE Queue, PC_FRAGMENT_COUNTS Counts);
/* Prints the framework's version string, as the echo sample's EchoPrintDriverVersion does. */
NTSTATUS CFragmentPrintDriverVersion(VOID);
/* Prints one line with each of the kernel's own conversions. */
VOID CFragmentPrintConversions(VOID);
/* InterlockedCompareExchange as the echo sample's increment-unless-zero uses it. */
LONG CFragmentIncrementIfPositive(LONG volatile* Target);
/* The GUID as each of the two C sources that define it sees it. */
const GUID* CFragmentGuidFromDriver(VOID);
const GUID* CFragmentGuidFromSecondSource(VOID);
/* The address of the queue context type descriptor as the second source sees it. */
PCWDF_OBJECT_CONTEXT_TYPE_INFO CFragmentContextTypeFromSecondSource(VOID);
PCWDF_OBJECT_CONTEXT_TYPE_INFO CFragmentContextTypeFromDriver(VOID);

EXTERN_C_END
