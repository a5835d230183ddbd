// The dispatcher's side of the controls that wait for an answer (0x12410, 0x12414,
// 0x1242C): check the input, prepare the session under ClientSessionsLock, and hand the
// request, marked cancelable, to a work item (deferred_work.h tells who completes it).
#include <ntddk.h>
#include <wdf.h>

#include "../driver/code_sections.h"
#include "deferred_work.h"
#include "ioctl_controls.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "deferred_controls.tmh"
#endif

namespace {

// A work item for Routine with an empty VRAX_WORK_ITEM_CONTEXT, and the request's own
// context, ready for the cancel routine.
VRAX_PAGED_CODE
NTSTATUS PrepareDeferredWork(PVRAX_DEVICE_CONTEXT Context, WDFREQUEST Request,
                             PFN_WDF_WORKITEM Routine, WDFWORKITEM* WorkItem) {
    PAGED_CODE();

    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, Routine);
    config.AutomaticSerialization = TRUE;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, VRAX_WORK_ITEM_CONTEXT);
    attributes.ParentObject = Context->Device;
    WDFWORKITEM workItem = nullptr;
    NTSTATUS status = WdfWorkItemCreate(&config, &attributes, &workItem);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "deferred control: work item %!STATUS!", status);
        return status;
    }
    WDF_OBJECT_ATTRIBUTES requestAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&requestAttributes, VRAX_DEFERRED_REQUEST_CONTEXT);
    PVOID requestContext = nullptr;
    status = WdfObjectAllocateContext(Request, &requestAttributes, &requestContext);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "deferred control: request context %!STATUS!",
                    status);
        WdfObjectDelete(workItem);
        return status;
    }
    KeInitializeEvent(&static_cast<PVRAX_DEFERRED_REQUEST_CONTEXT>(requestContext)->CancelDelivered,
                      NotificationEvent, FALSE);
    *WorkItem = workItem;
    return STATUS_SUCCESS;
}

// Records the request and its session in the work item. The caller holds ClientSessionsLock.
VOID FillWorkItem(WDFWORKITEM WorkItem, WDFREQUEST Request, PCLIENT_CONTEXT Session) {
    PVRAX_WORK_ITEM_CONTEXT work = GetWorkItemContext(WorkItem);
    work->Request = Request;
    work->Session = Session;
}

// Marks the request cancelable and queues its work item. A request already cancelled is
// completed here as cancelled, and its session's waiting controls are told to give up as
// the cancel routine would have told them.
VRAX_PAGED_CODE
VOID HandOver(WDFREQUEST Request, PCLIENT_CONTEXT Session, WDFWORKITEM WorkItem) {
    PAGED_CODE();

    NTSTATUS status = WdfRequestMarkCancelableEx(Request, EvtDeferredRequestCancel);
    if (!NT_SUCCESS(status)) {
        if (status == STATUS_CANCELLED) {
            KeSetEvent(&Session->AbortEvent, 1, FALSE);
        }
        WdfObjectDelete(WorkItem);
        VRAX_REFUSE(Request, status);
        return;
    }
    WdfWorkItemEnqueue(WorkItem);
}

// Sets the session's fields for a control about to be deferred; called with
// ClientSessionsLock held. Argument: the control's own parameters.
typedef VOID (*PVRAX_SESSION_SETUP)(PCLIENT_CONTEXT Session, const VOID* Argument);

// Hands Request to a new work item running Routine: the work item is created first, the
// session is prepared by Setup and recorded in the work item under ClientSessionsLock, and the
// request is marked cancelable and the work item queued. A failure completes the request.
VRAX_PAGED_CODE
VOID DeferControl(PVRAX_DEVICE_CONTEXT Context, WDFREQUEST Request, PCLIENT_CONTEXT Session,
                  PFN_WDF_WORKITEM Routine, PVRAX_SESSION_SETUP Setup, const VOID* Argument) {
    PAGED_CODE();

    WDFWORKITEM workItem = nullptr;
    NTSTATUS status = PrepareDeferredWork(Context, Request, Routine, &workItem);
    if (!NT_SUCCESS(status)) {
        VRAX_REFUSE(Request, status);
        return;
    }
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    Setup(Session, Argument);
    FillWorkItem(workItem, Request, Session);
    WdfWaitLockRelease(ClientSessionsLock);
    HandOver(Request, Session, workItem);
}

// The binding of 0x12410: the service type, and the port when the input names one.
typedef struct _VRAX_CLIENT_ID_SETUP {
    BOOLEAN WithPort;
    ULONG Port;
    ULONG ServiceType;
} VRAX_CLIENT_ID_SETUP;

VOID SetUpClientId(PCLIENT_CONTEXT Session, const VOID* Argument) {
    const VRAX_CLIENT_ID_SETUP* setup = static_cast<const VRAX_CLIENT_ID_SETUP*>(Argument);
    // The write path reads the addressing fields under the session's WriteLock.
    WdfWaitLockAcquire(Session->WriteLock, nullptr);
    if (setup->WithPort) {
        Session->PortIndex = setup->Port;
    }
    Session->ServiceType = setup->ServiceType;
    WdfWaitLockRelease(Session->WriteLock);
    KeClearEvent(&Session->AllocationEvent);
    Session->Kind = VRAX_SESSION_KIND_BOUND;
}

// 0x12414 with an 8-byte output moves the session to port 0.
VOID SetUpServiceTwoQuery(PCLIENT_CONTEXT Session, const VOID* Argument) {
    if (*static_cast<const BOOLEAN*>(Argument)) {
        WdfWaitLockAcquire(Session->WriteLock, nullptr);
        Session->PortIndex = 0;
        WdfWaitLockRelease(Session->WriteLock);
    }
    KeClearEvent(&Session->ReplyEvent);
    Session->Kind = VRAX_SESSION_KIND_AWAITING_REPLY;
}

// The question of 0x1242C and the port it goes to.
typedef struct _VRAX_VALUE_SETUP {
    ULONG Value;
    USHORT Value16;
    ULONG Port;
} VRAX_VALUE_SETUP;

VOID SetUpValueQuery(PCLIENT_CONTEXT Session, const VOID* Argument) {
    const VRAX_VALUE_SETUP* setup = static_cast<const VRAX_VALUE_SETUP*>(Argument);
    KeClearEvent(&Session->ResultEvent);
    Session->RequestValue = setup->Value;
    Session->RequestResult = setup->Value16;
    WdfWaitLockAcquire(Session->WriteLock, nullptr);
    Session->PortIndex = setup->Port;
    WdfWaitLockRelease(Session->WriteLock);
}

}  // namespace

// 0x12410: binds the session (service type, and the port with an 8-byte input) and has a
// client id requested for it. An input shorter than the service type, a service type above
// 254 or a port above 28 is refused before the session is touched.
VRAX_PAGED_CODE
_Use_decl_annotations_ VOID GetClientIdControl(PVRAX_DEVICE_CONTEXT Context, WDFREQUEST Request,
                                               size_t OutputBufferLength,
                                               size_t InputBufferLength) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(OutputBufferLength);

    PVOID input = nullptr;
    if (!NT_SUCCESS(WdfRequestRetrieveInputBuffer(Request, 0, &input, nullptr))) {
        VRAX_REFUSE(Request, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    if (InputBufferLength < VRAX_BIND_INPUT_MIN) {
        VRAX_REFUSE(Request, STATUS_INVALID_PARAMETER);
        return;
    }
    const PUCHAR in = static_cast<PUCHAR>(input);
    const BOOLEAN withPort = InputBufferLength == VRAX_BIND_INPUT_WITH_PORT;
    const ULONG serviceType = IoctlReadU32(in);
    const ULONG port = withPort ? IoctlReadU32(in + 4) : 0;
    if (serviceType >= VRAX_SERVICE_TYPE_COUNT || port >= VRAX_PORT_COUNT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "client id: service %u port %u out of range",
                    serviceType, port);
        VRAX_REFUSE(Request, STATUS_INVALID_PARAMETER);
        return;
    }
    PCLIENT_CONTEXT session = SessionOfRequest(Request);
    if (session == nullptr) {
        VRAX_REFUSE(Request, STATUS_INVALID_DEVICE_REQUEST);
        return;
    }
    const VRAX_CLIENT_ID_SETUP setup = {withPort, port, serviceType};
    DeferControl(Context, Request, session, EvtClientIdWorkItem, SetUpClientId, &setup);
}

// 0x12414: for a session bound to service 2, sends the service-2 query and waits for its
// reply. The session is marked as awaiting the reply while the query runs, so that the reply
// catcher takes the answer.
VRAX_PAGED_CODE
_Use_decl_annotations_ VOID ServiceTwoQueryControl(PVRAX_DEVICE_CONTEXT Context, WDFREQUEST Request,
                                                   size_t OutputBufferLength,
                                                   size_t InputBufferLength) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(InputBufferLength);

    PVOID output = nullptr;
    if (!NT_SUCCESS(WdfRequestRetrieveOutputBuffer(Request, 0, &output, nullptr))) {
        VRAX_REFUSE(Request, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    PCLIENT_CONTEXT session = SessionOfRequest(Request);
    if (session == nullptr) {
        VRAX_REFUSE(Request, STATUS_INVALID_DEVICE_REQUEST);
        return;
    }
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    const ULONG serviceType = session->ServiceType;
    WdfWaitLockRelease(ClientSessionsLock);
    if (serviceType != VRAX_SERVICE_TWO) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "service-2 query on service %u", serviceType);
        VRAX_REFUSE(Request, STATUS_INVALID_DEVICE_REQUEST);
        return;
    }
    const BOOLEAN resetPort = OutputBufferLength == VRAX_SERVICE_TWO_RESET_OUTPUT;
    DeferControl(Context, Request, session, EvtServiceTwoQueryWorkItem, SetUpServiceTwoQuery,
                 &resetPort);
}

// 0x1242C: asks the control service of the input's port for a value, once that port has
// reported a control-service version. An input shorter than 12 bytes or a port above 28 is
// refused before the version table is read.
VRAX_PAGED_CODE
_Use_decl_annotations_ VOID ValueQueryControl(PVRAX_DEVICE_CONTEXT Context, WDFREQUEST Request,
                                              size_t OutputBufferLength, size_t InputBufferLength) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(OutputBufferLength);

    PVOID input = nullptr;
    if (!NT_SUCCESS(WdfRequestRetrieveInputBuffer(Request, 0, &input, nullptr))) {
        VRAX_REFUSE(Request, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    if (InputBufferLength < VRAX_VALUE_INPUT_SIZE) {
        VRAX_REFUSE(Request, STATUS_INVALID_PARAMETER);
        return;
    }
    const PUCHAR in = static_cast<PUCHAR>(input);
    const ULONG value = IoctlReadU32(in);
    const USHORT value16 = VraxReadU16(in + VRAX_VALUE_INPUT_VALUE16_OFFSET);
    const ULONG port = IoctlReadU32(in + VRAX_VALUE_INPUT_PORT_OFFSET);
    if (port >= VRAX_PORT_COUNT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "value query: port %u out of range", port);
        VRAX_REFUSE(Request, STATUS_INVALID_PARAMETER);
        return;
    }
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    const USHORT controlVersion = ServiceVersionTable[port][VRAX_SERVICE_CONTROL].Words[0];
    WdfWaitLockRelease(ClientSessionsLock);
    if (controlVersion == 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "value query: port %u has no control version",
                    port);
        VRAX_REFUSE(Request, STATUS_UNSUCCESSFUL);
        return;
    }
    PCLIENT_CONTEXT session = SessionOfRequest(Request);
    if (session == nullptr) {
        VRAX_REFUSE(Request, STATUS_INVALID_DEVICE_REQUEST);
        return;
    }
    const VRAX_VALUE_SETUP setup = {value, value16, port};
    DeferControl(Context, Request, session, EvtValueQueryWorkItem, SetUpValueQuery, &setup);
}
