// Receive hand-off: the receive-handler registry, the port attachment table and the dispatch
// of completed port reads to the handler.
#include <ntddk.h>
#include <wdf.h>

#include "receive_dispatch.h"

#include "../vrax_wire.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "receive_dispatch.tmh"
#endif

// One entry per port index.
typedef struct _VRAX_PORT_ATTACHMENT {
    // The context given at attachment; afterwards the frame most recently handed on for the
    // port. Written only by the attaching thread and then by the port's service thread.
    PVOID Frame;
    // 1 once the port has been attached; read by senders on any thread without a lock.
    LONG volatile Attached;
} VRAX_PORT_ATTACHMENT;

static VRAX_PORT_ATTACHMENT PortAttachments[VRAX_PORT_COUNT];

// Reads a flag that another thread may be writing.
static LONG VraxReadFlag(LONG volatile* Flag) {
    return InterlockedCompareExchange(Flag, 0, 0);
}

// Set once by the first registration, never cleared; read on every port service thread.
static PFN_VRAX_RECEIVE_HANDLER volatile ReceiveHandler;

static PFN_VRAX_RECEIVE_HANDLER CurrentHandler() {
    return (PFN_VRAX_RECEIVE_HANDLER)InterlockedCompareExchangePointer(
        (PVOID volatile*)&ReceiveHandler, nullptr, nullptr);
}

// An answer to the driver's own port-open notice: a control-service frame whose message id
// has the notice's low byte. Only bytes inside the frame are looked at; a frame too short to
// hold them goes on and is refused by the demultiplexer or the control-service handler.
static BOOLEAN IsPortOpenNoticeAnswer(const UCHAR* Frame, ULONG Length) {
    return Length > VRAX_FRAME_CONTROL_MESSAGE_ID_OFFSET &&
           Frame[VRAX_FRAME_SERVICE_TYPE_OFFSET] == VRAX_SERVICE_CONTROL &&
           Frame[VRAX_FRAME_CONTROL_MESSAGE_ID_OFFSET] == VRAX_CONTROL_PORT_OPEN_NOTICE_ID;
}

_Use_decl_annotations_ VOID ReceiveDispatch(WDFREQUEST Request, WDFIOTARGET Target,
                                            PWDF_REQUEST_COMPLETION_PARAMS Params,
                                            PSMD_PORT_RECORD Port) {
    UNREFERENCED_PARAMETER(Request);
    UNREFERENCED_PARAMETER(Target);

    size_t size = 0;
    WDFMEMORY memory = Params->Parameters.Read.Buffer;
    PUCHAR buffer = memory != nullptr ? (PUCHAR)WdfMemoryGetBuffer(memory, &size) : nullptr;
    size_t length = Params->Parameters.Read.Length;
    if (buffer == nullptr || size < length) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "read dropped: buffer %Iu bytes, read %Iu", size,
                    length);
        return;
    }
    // A read is at most the size of its buffer, far below 4 GB; anything else is not a frame.
    if (length > MAXULONG) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "read dropped: %Iu bytes", length);
        return;
    }
    if (IsPortOpenNoticeAnswer(buffer, (ULONG)length)) {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX, "port %u: port-open notice answer dropped",
                    Port->PortIndex);
        return;
    }
    DispatchReceivedFrame(buffer, (ULONG)length, Port->PortIndex);
}

_Use_decl_annotations_ int RegisterReceiveHandler(PFN_VRAX_RECEIVE_HANDLER Handler) {
    if (Handler == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "null receive handler refused");
        return -1;
    }
    if (InterlockedCompareExchangePointer((PVOID volatile*)&ReceiveHandler, (PVOID)Handler,
                                          nullptr) != nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "receive handler already registered");
        return -1;
    }
    return 0;
}

_Use_decl_annotations_ BOOLEAN IsReceiveHandler(PFN_VRAX_RECEIVE_HANDLER Handler) {
    return Handler != nullptr && CurrentHandler() == Handler;
}

_Use_decl_annotations_ int AttachPort(ULONG PortIndex, PVOID Context) {
    if (PortIndex >= VRAX_PORT_COUNT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "attach: bad port %u", PortIndex);
        return -1;
    }
    if (Context == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "attach: port %u without context", PortIndex);
        return -1;
    }
    if (CurrentHandler() == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "attach: port %u before a handler", PortIndex);
        return -1;
    }
    VRAX_PORT_ATTACHMENT* entry = &PortAttachments[PortIndex];
    if (VraxReadFlag(&entry->Attached) != 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "attach: port %u already attached", PortIndex);
        return -1;
    }
    entry->Frame = Context;
    InterlockedExchange(&entry->Attached, 1);
    return 0;
}

_Use_decl_annotations_ int DispatchReceivedFrame(PUCHAR Frame, ULONG Length, ULONG PortIndex) {
    if (PortIndex >= VRAX_PORT_COUNT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "receive: bad port %u", PortIndex);
        return -1;
    }
    if (Length == 0) {
        TraceEvents(TRACE_LEVEL_WARNING, TRACE_VRAX, "port %u: empty read", PortIndex);
    }
    // The handler gets the frame this call was given. The entry's pointer is shared state of
    // the port; it is recorded once the frame has been handed on.
    PFN_VRAX_RECEIVE_HANDLER handler = CurrentHandler();
    if (handler != nullptr) {
        handler(PortIndex, Frame, Length);
    }
    PortAttachments[PortIndex].Frame = Frame;
    return 0;
}

_Use_decl_annotations_ BOOLEAN IsPortAttached(ULONG PortIndex) {
    if (PortIndex >= VRAX_PORT_COUNT) {
        return FALSE;
    }
    return VraxReadFlag(&PortAttachments[PortIndex].Attached) != 0 ? TRUE : FALSE;
}

_Use_decl_annotations_ VOID DetachPort(ULONG PortIndex) {
    if (PortIndex >= VRAX_PORT_COUNT) {
        return;
    }
    InterlockedExchange(&PortAttachments[PortIndex].Attached, 0);
    PortAttachments[PortIndex].Frame = nullptr;
}

_Use_decl_annotations_ VOID ResetReceiveHandoff() {
    (VOID) InterlockedExchangePointer((PVOID volatile*)&ReceiveHandler, nullptr);
    for (ULONG i = 0; i < VRAX_PORT_COUNT; ++i) {
        DetachPort(i);
    }
}
