/* The fragment's queue context, shared by both C sources. */
#pragma once

#include <wdf.h>

typedef struct _C_QUEUE_CONTEXT {
    WDFTIMER Timer;
    LONG volatile TimerRuns;
    WDFREQUEST CurrentRequest; /* guarded by the queue's synchronisation scope */
} C_QUEUE_CONTEXT, *PC_QUEUE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(C_QUEUE_CONTEXT, CQueueGetContext)
