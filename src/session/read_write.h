// Reads and writes of a client session's handle, and the write flow control that delivered
// messages of type 2 release.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "session.h"

EVT_WDF_IO_QUEUE_IO_READ EvtIoRead;
EVT_WDF_IO_QUEUE_IO_WRITE EvtIoWrite;

// Completes Request with the oldest stored service message of its session, or parks it in
// the session's ReadQueue. The caller holds ClientSessionsLock. On return the request has
// been completed or parked.
_IRQL_requires_(PASSIVE_LEVEL) VOID ReadServiceMessage(_In_ WDFREQUEST Request);

// The same for port-state notifications and NotificationReadQueue.
_IRQL_requires_(PASSIVE_LEVEL) VOID ReadNotification(_In_ WDFREQUEST Request);

// Sends the service message a write request carries and completes the request. The caller
// holds the session's WriteLock.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    SendSessionMessage(_In_ PCLIENT_CONTEXT Session, _In_ WDFREQUEST Request);

// One unit of write flow control comes back (a message of type 2 reached the session): lowers
// OutstandingWrites and, while writes remain outstanding, sends the oldest held-back write.
// The caller holds the session's WriteLock.
_IRQL_requires_(PASSIVE_LEVEL) VOID ReleaseWriteUnit(_In_ PCLIENT_CONTEXT Session);
