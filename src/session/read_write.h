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

// Sends the service message a write request carries and says how the request is to be
// completed (*Status, *Information). The caller holds the session's WriteLock and completes
// the request only after releasing it: the lock is a child of the file object, and the
// completion may drop the file object's last reference.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    SendSessionMessage(_In_ PCLIENT_CONTEXT Session, _In_ WDFREQUEST Request,
                       _Out_ NTSTATUS* Status, _Out_ ULONG_PTR* Information);

// One unit of write flow control comes back (a message of type 2 reached the session): lowers
// OutstandingWrites and sends the oldest held-back writes while fewer than the limit are
// outstanding. Takes the session's WriteLock itself and completes the writes it sends outside
// it. The caller holds no lock of the session, and keeps its file object alive (it still owns
// a request of the session, or holds ClientSessionsLock with the session listed).
_IRQL_requires_(PASSIVE_LEVEL) VOID ReleaseWriteUnit(_In_ PCLIENT_CONTEXT Session);

// The session's port was lost: the answers to its outstanding writes cannot come any more, so
// OutstandingWrites goes back to 0 and the held-back writes are sent (each completes, with 0
// bytes written while the port is closed). Same conditions as ReleaseWriteUnit.
_IRQL_requires_(PASSIVE_LEVEL) VOID ForgetOutstandingWrites(_In_ PCLIENT_CONTEXT Session);
