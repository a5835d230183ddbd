// The port-open notice: the first frame the driver sends on a port whose routing has just
// opened. A control-service request with message id 0x27, no TLVs, from client id 0; it is
// not tracked, but it draws a transaction id like every control request, so the port's first
// tracked request carries id 2.
#include <ntddk.h>
#include <wdf.h>

#include "../vrax_wire.h"
#include "control_requests.h"
#include "routing.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "control_requests.tmh"
#endif

_Use_decl_annotations_ int SendPortOpenNotice(ULONG PortIndex) {
    WDFWAITLOCK lock = TransactionLock(PortIndex);
    if (lock == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: notice without transaction lock",
                    PortIndex);
        return -1;
    }
    // Frame header room, then the control header; nothing follows it.
    UCHAR buffer[VRAX_FRAME_HEADER_SIZE + VRAX_CONTROL_HEADER_SIZE];
    PUCHAR message = buffer + VRAX_FRAME_HEADER_SIZE;
    WdfWaitLockAcquire(lock, nullptr);
    UCHAR id = DrawTransactionId(PortIndex);
    message[VRAX_CONTROL_TYPE_OFFSET] = VRAX_MESSAGE_REQUEST;
    message[VRAX_CONTROL_TRANSACTION_OFFSET] = id;
    VraxWriteU16(message + VRAX_CONTROL_MESSAGE_ID_OFFSET, VRAX_CONTROL_PORT_OPEN_NOTICE_ID);
    VraxWriteU16(message + VRAX_CONTROL_LENGTH_OFFSET, 0);
    int result =
        SendServiceMessage(PortIndex, VRAX_SERVICE_CONTROL, 0, message, VRAX_CONTROL_HEADER_SIZE);
    WdfWaitLockRelease(lock);
    if (result != 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: notice %u not sent, result %d",
                    PortIndex, id, result);
    }
    return result;
}

// Interim: requests other than the port-open notice are refused until the request builder
// lands.
_Use_decl_annotations_ int SubmitControlIoctl(PUCHAR Input, ULONG Length) {
    UNREFERENCED_PARAMETER(Input);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "control request of %u bytes refused", Length);
    return -1;
}

_Use_decl_annotations_ int BuildControlRequest(const VRAX_CONTROL_REQUEST* Request,
                                               const UCHAR* Body) {
    UNREFERENCED_PARAMETER(Body);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "control request kind %u refused", Request->Kind);
    return -1;
}

_Use_decl_annotations_ int SendControlRequest(const VRAX_CONTROL_REQUEST* Request, USHORT MessageId,
                                              PUCHAR Tlvs, ULONG TlvLength, BOOLEAN Track) {
    UNREFERENCED_PARAMETER(Tlvs);
    UNREFERENCED_PARAMETER(Track);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "control message 0x%x kind %u (%u bytes) refused",
                MessageId, Request->Kind, TlvLength);
    return -1;
}

_Use_decl_annotations_ int RequestServiceTable(ULONG SessionKey, ULONG PortIndex) {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "service table for key 0x%x port %u refused",
                SessionKey, PortIndex);
    return -1;
}

_Use_decl_annotations_ int RequestValueQuery(ULONG SessionKey, ULONG PortIndex, ULONG Value,
                                             USHORT Value16) {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "value query 0x%x/0x%x key 0x%x port %u refused",
                Value, Value16, SessionKey, PortIndex);
    return -1;
}

_Use_decl_annotations_ int RequestClientId(ULONG SessionKey, ULONG ServiceType, ULONG PortIndex) {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "client id %u for key 0x%x port %u refused",
                ServiceType, SessionKey, PortIndex);
    return -1;
}

_Use_decl_annotations_ int SendServiceTwoQuery(ULONG PortIndex, UCHAR ClientId,
                                               USHORT TransactionId) {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "service-2 query %u from %u on port %u refused",
                TransactionId, ClientId, PortIndex);
    return -1;
}
