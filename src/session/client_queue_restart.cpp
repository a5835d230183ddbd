// The port-ready restart of the client queue, made by the demultiplexer after it has released
// the port's routing lock (see delivery.h).
#include <ntddk.h>
#include <wdf.h>

#include "../vrax_device.h"
#include "../vrax_lock.h"
#include "delivery.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "client_queue_restart.tmh"
#endif

// 1 while a service table has arrived and the restart it asks for has not run yet.
static LONG volatile ClientQueueRestartPending = 0;

_Use_decl_annotations_ VOID RequestClientQueueRestart() {
    InterlockedExchange(&ClientQueueRestartPending, 1);
}

_Use_decl_annotations_ VOID RunClientQueueRestart() {
    if (InterlockedExchange(&ClientQueueRestartPending, 0) == 0) {
        return;
    }
    // Under ClientQueueLock, as the stop on port loss is, so the flag and the queue's state
    // change together. The requests the start presents run on this thread with that lock
    // held; no request callback takes it.
    VRAX_WAIT_LOCK_HOLDER lock(ClientQueueLock);
    if (!ClientQueueStopped) {
        return;
    }
    ClientQueueStopped = FALSE;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "client queue started again");
    WdfIoQueueStart(GetVraxDeviceContext(ControlDevice)->ClientQueue);
}
