/* The fragment's queue context, shared by both C sources. */
#pragma once

#include <wdf.h>

typedef struct _C_QUEUE_CONTEXT {
    WDFTIMER Timer;
    LONG volatile TimerRuns;
    WDFREQUEST CurrentRequest; /* guarded by the queue's synchronisation scope */
    size_t CurrentLength;      /* bytes the read wrote into CurrentRequest, guarded likewise */
    /* What the callbacks saw, for the test: the queue's callbacks, its cancel routine and
     * its timer share one callback lock, so at most one of them is ever running. */
    LONG volatile Running;           /* callbacks running now */
    LONG volatile Overlaps;          /* entries while another callback was running */
    LONG volatile TimerOffDispatch;  /* timer runs not at DISPATCH_LEVEL */
    LONG volatile TimerCompleted;    /* requests the timer completed */
    LONG volatile TimerLeftToCancel; /* requests the timer found being cancelled */
    LONG volatile CancelCompleted;   /* requests completed as cancelled */
} C_QUEUE_CONTEXT, *PC_QUEUE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(C_QUEUE_CONTEXT, CQueueGetContext)
