// Client sessions: one per open handle of the control device, opened by the file-create
// callback and ended by the file clean-up; and the default queue's stop callback.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "../vrax_device.h"
#include "../vrax_wire.h"

// Writes a session may have sent and not yet seen answered (a delivered message of type 2);
// further writes wait in its WriteBacklog.
#define VRAX_MAX_OUTSTANDING_WRITES 15
// Bytes of a service-2 reply value a session keeps.
#define VRAX_REPLY_DATA_SIZE 28
// LastPortState before any port state was handed to a waiting notification read.
#define VRAX_PORT_STATE_NONE 0xFFFFFFFFu
// Session kinds: 0 after open, 1 once bound by a control, 2 waiting for a service-2 reply.
// Opening and the bind controls never set 2: only the service-2 query control may, for the
// time it waits on ReplyEvent (set under ClientSessionsLock before the query is sent, back to
// 1 when the wait ends), since it is the one reader of ReplyData. Until then the reply
// catcher takes nothing and service-2 answers reach the session as ordinary messages.
#define VRAX_SESSION_KIND_OPEN 0
#define VRAX_SESSION_KIND_BOUND 1
#define VRAX_SESSION_KIND_AWAITING_REPLY 2

// One client session, the context of a handle's file object; zero-filled by the framework.
// Fields other parts of the driver change are changed under ClientSessionsLock; the stores
// under the session's own locks (ReceiveLock, NotificationLock, WriteLock). The fields a
// write is addressed by (PortIndex, ServiceType, ClientId, ClientIdVoided) are changed under
// ClientSessionsLock and the session's WriteLock both, since the write path reads them
// holding the WriteLock alone.
typedef struct _CLIENT_CONTEXT {
    // Reads waiting for a service message; manual.
    WDFQUEUE ReadQueue;
    // Guards ReceiveMessages and handing a message to a request taken from ReadQueue.
    WDFWAITLOCK ReceiveLock;
    // Service messages received and not yet read, oldest first; one memory object each.
    WDFCOLLECTION ReceiveMessages;
    // Notification reads waiting for a port-state notification; manual.
    WDFQUEUE NotificationReadQueue;
    // Guards Notifications.
    WDFWAITLOCK NotificationLock;
    // Port-state notifications not yet read, oldest first; 8-byte memory objects.
    WDFCOLLECTION Notifications;
    // The port the session is bound to, 0..28.
    ULONG PortIndex;
    // Owner value of what the routing and transaction tables record for this session.
    ULONG SessionKey;
    // The bound service type; 0 = not bound (the control service).
    ULONG ServiceType;
    // The granted client id; VRAX_CLIENT_ID_REFUSED when the control service refused one.
    UCHAR ClientId;
    // Notification events (see the controls that wait on them).
    KEVENT AllocationEvent;
    KEVENT ReleaseEvent;
    KEVENT ReplyEvent;
    KEVENT ResultEvent;
    KEVENT AbortEvent;
    // Value copied out of a service-2 reply.
    UCHAR ReplyData[VRAX_REPLY_DATA_SIZE];
    // The bound service's version words, copied when the session binds.
    USHORT ServiceVersion[VRAX_SERVICE_VERSION_WORDS];
    // Arguments and answer of the value-query control.
    ULONG RequestValue;
    USHORT RequestResult;
    // VRAX_SESSION_KIND_*.
    ULONG Kind;
    // 1 once the control service answered the session's client-id request; cleared for
    // every session when a port is lost.
    ULONG ClientIdHeld;
    // The port state last handed straight to a waiting notification read.
    ULONG LastPortState;
    // 1 when a port loss ended the client id the session held on its port: the modem has
    // forgotten it and may grant it to another client, so the session's service writes are
    // not sent until it is granted an id again or bound anew.
    ULONG ClientIdVoided;
    // Guards OutstandingWrites and WriteBacklog, and the addressing fields with
    // ClientSessionsLock.
    WDFWAITLOCK WriteLock;
    // Writes held back while VRAX_MAX_OUTSTANDING_WRITES are outstanding; manual.
    WDFQUEUE WriteBacklog;
    // Writes sent and not yet matched by a delivered message of type 2.
    ULONG OutstandingWrites;
    // The key index (session_index.h), under ClientSessionsLock: the next session in this
    // one's chain, and the session's listing position (0 while it is not listed).
    struct _CLIENT_CONTEXT* KeyIndexNext;
    ULONGLONG ListedOrder;
} CLIENT_CONTEXT, *PCLIENT_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(CLIENT_CONTEXT, GetClientContext)

EVT_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
EVT_WDF_FILE_CLEANUP EvtFileCleanup;
EVT_WDF_IO_QUEUE_IO_STOP EvtIoStop;

// The session of a request's file object; NULL when the request has no file object or the
// file object no session.
_IRQL_requires_max_(DISPATCH_LEVEL) PCLIENT_CONTEXT SessionOfRequest(_In_ WDFREQUEST Request);

// Draws the next owner key (sessions and kernel clients share the counter, which starts at 1):
// the counter's value, with the counter incremented in the same atomic step.
_IRQL_requires_max_(DISPATCH_LEVEL) ULONG DrawSessionKey();

// Starts the key counter again at 1; called when the driver loads.
_IRQL_requires_max_(PASSIVE_LEVEL) VOID ResetSessionKeys();

// Submits the control service's release of a client id the session gave up: a release
// request (kind 2) for SessionKey on PortIndex. Does not wait for the confirmation, which sets
// the session's ReleaseEvent; clean-up waits for it, a bind does not. Failures are traced.
// Call it holding no lock: the request is sent.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    SubmitClientIdRelease(_In_ ULONG PortIndex, _In_ ULONG SessionKey, _In_ ULONG ServiceType,
                          _In_ UCHAR ClientId);
