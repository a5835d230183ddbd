// Opening and ending client sessions, and the default queue's stop callback. A handle can be
// opened only while the driver's device interface is enabled, which is while the modem
// channel is open; otherwise the create is refused with STATUS_NOINTERFACE. Every object a
// session creates is a child of its file object, so the framework deletes them with it.
#include <ntddk.h>
#include <wdf.h>

#include "../driver/code_sections.h"
#include "../port/hardware.h"
#include "../protocol/control_requests.h"
#include "../vrax_device.h"
#include "../vrax_lock.h"
#include "../vrax_pool.h"
#include "session.h"
#include "session_index.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "session_file.tmh"
#endif

// How long clean-up waits for the control service to confirm a client-id release: 5 s, or
// 1 s with "SupportNewHWID" on.
#define VRAX_TIMEOUT_RELEASE (-5 * VRAX_100NS_PER_SECOND)
#define VRAX_TIMEOUT_RELEASE_NEW_HWID (-1 * VRAX_100NS_PER_SECOND)

namespace {

// A manual queue of the control device for one of the session's waiting lists: no callbacks,
// not power managed, no zero-length requests, a child of the file object.
VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    CreateSessionQueue(_In_ WDFDEVICE Device, _In_ PWDF_OBJECT_ATTRIBUTES Attributes,
                       _Out_ WDFQUEUE* Queue) {
    PAGED_CODE();

    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    config.PowerManaged = WdfFalse;
    config.AllowZeroLengthRequests = FALSE;
    config.DefaultQueue = FALSE;
    NTSTATUS status = WdfIoQueueCreate(Device, &config, Attributes, Queue);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "session queue: WdfIoQueueCreate %!STATUS!",
                    status);
    }
    return status;
}

// Creates the session's locks, stores and queues, in that order; the first failure ends it.
VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    CreateSessionObjects(_In_ WDFDEVICE Device, _In_ WDFFILEOBJECT FileObject,
                         _Inout_ PCLIENT_CONTEXT Session) {
    PAGED_CODE();

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = FileObject;

    WDFWAITLOCK* const locks[] = {&Session->ReceiveLock, &Session->NotificationLock,
                                  &Session->WriteLock};
    for (WDFWAITLOCK* lock : locks) {
        NTSTATUS status = WdfWaitLockCreate(&attributes, lock);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "session: WdfWaitLockCreate %!STATUS!",
                        status);
            return status;
        }
    }
    WDFCOLLECTION* const stores[] = {&Session->ReceiveMessages, &Session->Notifications};
    for (WDFCOLLECTION* store : stores) {
        NTSTATUS status = WdfCollectionCreate(&attributes, store);
        if (!NT_SUCCESS(status)) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "session: WdfCollectionCreate %!STATUS!",
                        status);
            return status;
        }
    }
    WDFQUEUE* const queues[] = {&Session->ReadQueue, &Session->NotificationReadQueue,
                                &Session->WriteBacklog};
    for (WDFQUEUE* queue : queues) {
        NTSTATUS status = CreateSessionQueue(Device, &attributes, queue);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// Releases the session's client id and waits, holding no lock, for the confirmation
// (ReleaseEvent) or the time-out. A confirmation left from before is cleared first.
VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) VOID
    ReleaseClientIdAndWait(_Inout_ PCLIENT_CONTEXT Session, _In_ ULONG PortIndex,
                           _In_ ULONG SessionKey, _In_ ULONG ServiceType, _In_ UCHAR ClientId) {
    PAGED_CODE();

    KeClearEvent(&Session->ReleaseEvent);
    SubmitClientIdRelease(PortIndex, SessionKey, ServiceType, ClientId);

    LARGE_INTEGER timeout;
    timeout.QuadPart = NewHwIdSupported ? VRAX_TIMEOUT_RELEASE_NEW_HWID : VRAX_TIMEOUT_RELEASE;
    NTSTATUS status =
        KeWaitForSingleObject(&Session->ReleaseEvent, Executive, KernelMode, FALSE, &timeout);
    if (status == STATUS_SUCCESS) {
        KeClearEvent(&Session->ReleaseEvent);
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                    "key 0x%x: release of client id %u not confirmed %!STATUS!", SessionKey,
                    ClientId, status);
    }
}

// Frees every memory object still held in a store.
VRAX_PAGED_CODE
_IRQL_requires_(PASSIVE_LEVEL) VOID
    FreeStore(_In_ WDFWAITLOCK Lock, _In_ WDFCOLLECTION Store, _In_ ULONG SessionKey) {
    PAGED_CODE();

    VRAX_WAIT_LOCK_HOLDER holder(Lock);
    ULONG freed = 0;
    for (WDFOBJECT item = WdfCollectionGetFirstItem(Store); item != nullptr;
         item = WdfCollectionGetFirstItem(Store)) {
        WdfCollectionRemove(Store, item);
        WdfObjectDelete(item);
        ++freed;
    }
    if (freed != 0) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "key 0x%x: %u unread items freed",
                    SessionKey, freed);
    }
}

}  // namespace

// Asks the control service to release a client id: a 3,328-byte body (tag "vrxf") with the
// service type in bytes 0-3 and the client id in byte 4, built into a release request (kind 2)
// for the session's key on the given port. Failures are traced; a caller that waits for the
// confirmation then ends its wait by the time-out.
VRAX_PAGED_CODE
_Use_decl_annotations_ VOID SubmitClientIdRelease(ULONG PortIndex, ULONG SessionKey,
                                                  ULONG ServiceType, UCHAR ClientId) {
    PAGED_CODE();

    VRAX_POOL_BUFFER body(VRAX_CONTROL_BODY_SIZE, VRAX_TAG_RELEASE);
    if (body.Buffer == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "key 0x%x: release body of %u bytes failed",
                    SessionKey, (ULONG)VRAX_CONTROL_BODY_SIZE);
        return;
    }
    PUCHAR bytes = static_cast<PUCHAR>(body.Buffer);
    RtlZeroMemory(bytes, VRAX_CONTROL_BODY_SIZE);
    bytes[0] = (UCHAR)(ServiceType & 0xFF);
    bytes[1] = (UCHAR)((ServiceType >> 8) & 0xFF);
    bytes[2] = (UCHAR)((ServiceType >> 16) & 0xFF);
    bytes[3] = (UCHAR)((ServiceType >> 24) & 0xFF);
    bytes[4] = ClientId;

    VRAX_CONTROL_REQUEST request;
    RtlZeroMemory(&request, sizeof(request));
    request.Kind = VRAX_REQUEST_KIND_RELEASE;
    request.SessionKey = SessionKey;
    request.Tag = 0;
    request.PortIndex = PortIndex;
    int result = BuildControlRequest(&request, bytes);
    if (result < 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                    "key 0x%x: release of client id %u service %u port %u failed, result %d",
                    SessionKey, ClientId, ServiceType, PortIndex, result);
    }
}

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtDeviceFileCreate(WDFDEVICE Device, WDFREQUEST Request,
                                                WDFFILEOBJECT FileObject) {
    PAGED_CODE();

    PVRAX_DEVICE_CONTEXT context = GetVraxDeviceContext(Device);
    BOOLEAN enabled;
    {
        VRAX_WAIT_LOCK_HOLDER lock(context->InterfaceLock);
        enabled = VraxInterfaceEnabled(context);
    }
    if (!enabled) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "create refused, interface disabled %!STATUS!",
                    STATUS_NOINTERFACE);
        WdfRequestComplete(Request, STATUS_NOINTERFACE);
        return;
    }

    // Zero-filled by the framework. A failure from here on needs no undoing: everything made
    // is a child of the file object, which the framework deletes with the failed create.
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, CLIENT_CONTEXT);
    PVOID memory = nullptr;
    NTSTATUS status = WdfObjectAllocateContext(FileObject, &attributes, &memory);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "create: WdfObjectAllocateContext %!STATUS!",
                    status);
        WdfRequestComplete(Request, status);
        return;
    }
    PCLIENT_CONTEXT session = static_cast<PCLIENT_CONTEXT>(memory);
    status = CreateSessionObjects(Device, FileObject, session);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
        return;
    }

    {
        VRAX_WAIT_LOCK_HOLDER lock(ClientSessionsLock);
        status = WdfCollectionAdd(ClientSessions, FileObject);
        session->Kind = VRAX_SESSION_KIND_OPEN;
        session->SessionKey = DrawSessionKey();
        session->ClientId = 0;
        session->PortIndex = 0;
        session->ClientIdHeld = 0;
        session->ClientIdVoided = 0;
        session->LastPortState = VRAX_PORT_STATE_NONE;
        session->OutstandingWrites = 0;
        if (NT_SUCCESS(status)) {
            IndexSession(session);
        }
        KeInitializeEvent(&session->AllocationEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&session->ReleaseEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&session->ReplyEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&session->ResultEvent, NotificationEvent, FALSE);
        KeInitializeEvent(&session->AbortEvent, NotificationEvent, FALSE);
    }
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "create: key 0x%x not listed %!STATUS!",
                    session->SessionKey, status);
    } else {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "session 0x%x opened",
                    session->SessionKey);
    }
    WdfRequestComplete(Request, status);
}

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtFileCleanup(WDFFILEOBJECT FileObject) {
    PAGED_CODE();

    PCLIENT_CONTEXT session = FileObject != nullptr ? GetClientContext(FileObject) : nullptr;
    if (session == nullptr) {
        return;
    }

    // What the session is bound to, read under the lock that guards it.
    ULONG port;
    ULONG key;
    ULONG serviceType;
    UCHAR clientId;
    BOOLEAN holdsId;
    {
        VRAX_WAIT_LOCK_HOLDER lock(ClientSessionsLock);
        port = session->PortIndex;
        key = session->SessionKey;
        serviceType = session->ServiceType;
        clientId = session->ClientId;
        holdsId = serviceType != VRAX_SERVICE_CONTROL && clientId != VRAX_CLIENT_ID_REFUSED &&
                  session->ClientIdHeld != 0;
    }
    if (holdsId) {
        ReleaseClientIdAndWait(session, port, key, serviceType, clientId);
    }

    {
        // Waiting reads are cancelled and new ones refused; after this no delivery finds the
        // session, since delivery walks ClientSessions, or finds it in the key index, under the
        // same lock.
        VRAX_WAIT_LOCK_HOLDER lock(ClientSessionsLock);
        WdfIoQueuePurge(session->ReadQueue, WDF_NO_EVENT_CALLBACK, WDF_NO_CONTEXT);
        WdfIoQueuePurge(session->NotificationReadQueue, WDF_NO_EVENT_CALLBACK, WDF_NO_CONTEXT);
        WdfCollectionRemove(ClientSessions, FileObject);
        UnindexSession(session);
    }
    FreeStore(session->ReceiveLock, session->ReceiveMessages, key);
    FreeStore(session->NotificationLock, session->Notifications, key);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "session 0x%x ended", key);
}

VRAX_PAGED_CODE
_Use_decl_annotations_ VOID EvtIoStop(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Queue);

    // A request that is not cancelable is completed by whoever holds it; the stop waits.
    if ((ActionFlags & WdfRequestStopRequestCancelable) == 0) {
        return;
    }
    PCLIENT_CONTEXT session = SessionOfRequest(Request);
    if (session != nullptr) {
        // The deferred control that owns the request gives up and completes it.
        KeSetEvent(&session->AbortEvent, 1, FALSE);
        return;
    }
    // A cancelable request must leave the cancelable state before it is completed; if its
    // cancel routine has run or is about to, that routine completes it instead.
    NTSTATUS status = WdfRequestUnmarkCancelable(Request);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "stop: request %p being cancelled %!STATUS!",
                    Request, status);
        return;
    }
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "stop: request %p without session %!STATUS!",
                Request, STATUS_CANCELLED);
    WdfRequestComplete(Request, STATUS_CANCELLED);
}

// Owner keys of sessions and kernel clients; the next key to hand out.
static LONG volatile NextSessionKey = 1;

_Use_decl_annotations_ ULONG DrawSessionKey() {
    return (ULONG)(InterlockedIncrement(&NextSessionKey) - 1);
}

_Use_decl_annotations_ VOID ResetSessionKeys() {
    InterlockedExchange(&NextSessionKey, 1);
}

_Use_decl_annotations_ PCLIENT_CONTEXT SessionOfRequest(WDFREQUEST Request) {
    WDFFILEOBJECT fileObject = WdfRequestGetFileObject(Request);
    if (fileObject == nullptr) {
        return nullptr;
    }
    return GetClientContext(fileObject);
}
