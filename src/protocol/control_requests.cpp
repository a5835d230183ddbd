// Control-service requests: the driver is the control service's one client on each port
// (client id 0). Requests are built in a 128-byte stack area, TLVs first, then the control
// header and the frame header written in place in front of them, and sent under the port's
// transaction lock so that they leave in the order of their transaction ids. The ones that
// expect an answer are tracked in the port's transaction table.
#include <ntddk.h>
#include <wdf.h>

#include "../vrax_device.h"
#include "../vrax_lock.h"
#include "../vrax_pool.h"
#include "../vrax_wire.h"
#include "control_requests.h"
#include "frame_codec.h"
#include "routing.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "control_requests.tmh"
#endif

// Kind 8 carries its list of 16-bit values only for a count of 1..10, taken from body[12].
#define VRAX_KIND_EIGHT_MAX_VALUES 10
#define VRAX_KIND_EIGHT_COUNT_OFFSET 8
#define VRAX_KIND_EIGHT_VALUES_OFFSET 12
// A kind number that names no request.
#define VRAX_REQUEST_KIND_NONE 7
// The service the service-2 query goes to.
#define VRAX_SERVICE_TWO 2
// The most TLV bytes a control message can carry: its header and TLVs fill one frame's message.
#define VRAX_CONTROL_TLV_MAX_SIZE (VRAX_MESSAGE_MAX_SIZE - VRAX_CONTROL_HEADER_SIZE)

static ULONG ReadU32(const UCHAR* Field) {
    return (ULONG)Field[0] | ((ULONG)Field[1] << 8) | ((ULONG)Field[2] << 16) |
           ((ULONG)Field[3] << 24);
}

static VOID WriteU32(UCHAR* Field, ULONG Value) {
    Field[0] = (UCHAR)(Value & 0xFF);
    Field[1] = (UCHAR)((Value >> 8) & 0xFF);
    Field[2] = (UCHAR)((Value >> 16) & 0xFF);
    Field[3] = (UCHAR)(Value >> 24);
}

_Use_decl_annotations_ int SendControlRequest(const VRAX_CONTROL_REQUEST* Request, USHORT MessageId,
                                              PUCHAR Tlvs, ULONG TlvLength, BOOLEAN Track) {
    ULONG port = Request->PortIndex;
    BOOLEAN whole = Request->Kind == VRAX_REQUEST_KIND_CALLER_MESSAGE;
    // Refused before an id is drawn: a request that no frame can carry uses up none.
    if (port >= VRAX_PORT_COUNT || (!whole && TlvLength > VRAX_CONTROL_TLV_MAX_SIZE)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "control 0x%x: port %u, %u bytes refused",
                    MessageId, port, TlvLength);
        return -1;
    }
    // A caller's message too short for a control header has no transaction id to answer to.
    if (whole && TlvLength < VRAX_CONTROL_HEADER_SIZE) {
        Track = FALSE;
    }

    PVRAX_TRANSACTION record = nullptr;
    if (Track) {
        record = NewTransaction(sizeof(VRAX_TRANSACTION), nullptr, port);
        if (record == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "control 0x%x: port %u no record", MessageId,
                        port);
            return -1;
        }
        record->Request = *Request;
    }
    WDFWAITLOCK lock = TransactionLock(port);
    if (lock == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "control 0x%x: port %u no lock", MessageId,
                    port);
        if (record != nullptr) {
            ReleaseTransaction(record, TRUE, port);
        }
        return -1;
    }

    UCHAR id;
    int result;
    {
        VRAX_WAIT_LOCK_HOLDER holder(lock);
        id = DrawTransactionId(port);
        if (record != nullptr) {
            SetTransactionId(record, id);
        }
        PUCHAR message;
        ULONG length;
        if (whole) {
            // The caller's message goes out as written, under the id drawn for it: ids on the
            // channel stay the driver's, so its answer matches this record and no other.
            message = Tlvs;
            length = TlvLength;
            if (length >= VRAX_CONTROL_HEADER_SIZE) {
                message[VRAX_CONTROL_TRANSACTION_OFFSET] = id;
            }
        } else {
            message = Tlvs - VRAX_CONTROL_HEADER_SIZE;
            length = TlvLength + VRAX_CONTROL_HEADER_SIZE;
            message[VRAX_CONTROL_TYPE_OFFSET] = VRAX_MESSAGE_REQUEST;
            message[VRAX_CONTROL_TRANSACTION_OFFSET] = id;
            VraxWriteU16(message + VRAX_CONTROL_MESSAGE_ID_OFFSET, MessageId);
            VraxWriteU16(message + VRAX_CONTROL_LENGTH_OFFSET, (USHORT)TlvLength);
        }
        result = SendServiceMessage(port, VRAX_SERVICE_CONTROL, 0, message, length);
    }

    if (record != nullptr) {
        // A failed send finishes the record at once; its id stays used.
        ReleaseTransaction(record, result != 0 ? TRUE : FALSE, port);
    }
    if (result != 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "control 0x%x id %u: port %u send result %d",
                    MessageId, id, port, result);
        return result;
    }
    return record != nullptr ? (int)id : 0;
}

// Writes the TLVs of a built request kind. The message id, or 0 for a kind that is not built.
// A TLV that does not fit is reported through *Fits.
static USHORT WriteKindTlvs(ULONG Kind, const UCHAR* Body, VRAX_CURSOR* Cursor, BOOLEAN* Fits) {
    int written = 0;
    USHORT messageId = 0;
    switch (Kind) {
        case VRAX_REQUEST_KIND_CLIENT_ID:
            messageId = VRAX_CONTROL_CLIENT_ID_ID;
            written = WriteTlv(Cursor, VRAX_TLV_PRIMARY, 1, Body);
            break;
        case VRAX_REQUEST_KIND_RELEASE: {
            const UCHAR value[2] = {Body[0], Body[4]};
            messageId = VRAX_CONTROL_RELEASE_ID;
            written = WriteTlv(Cursor, VRAX_TLV_PRIMARY, sizeof(value), value);
            break;
        }
        case VRAX_REQUEST_KIND_VALUE_QUERY:
            messageId = VRAX_CONTROL_VALUE_QUERY_ID;
            written = WriteTlv(Cursor, VRAX_TLV_PRIMARY, 1, Body);
            if (written >= 0 && VraxReadU16(Body + 4) != 0) {
                written = WriteTlv(Cursor, VRAX_TLV_VALUE, 2, Body + 4);
            }
            break;
        case VRAX_REQUEST_KIND_SIX:
        case VRAX_REQUEST_KIND_NINE:
            messageId = Kind == VRAX_REQUEST_KIND_SIX ? VRAX_CONTROL_KIND_SIX_ID
                                                      : VRAX_CONTROL_KIND_NINE_ID;
            written = WriteTlv(Cursor, VRAX_TLV_PRIMARY, 4, Body);
            break;
        case VRAX_REQUEST_KIND_EIGHT: {
            messageId = VRAX_CONTROL_KIND_EIGHT_ID;
            written = WriteTlv(Cursor, VRAX_TLV_PRIMARY, 5, Body);
            ULONG count = ReadU32(Body + VRAX_KIND_EIGHT_COUNT_OFFSET);
            if (written >= 0 && count >= 1 && count <= VRAX_KIND_EIGHT_MAX_VALUES) {
                written = WriteTlv(Cursor, VRAX_TLV_VALUE_LIST, 2 * count,
                                   Body + VRAX_KIND_EIGHT_VALUES_OFFSET);
            }
            break;
        }
        case VRAX_REQUEST_KIND_TEN:
            messageId = VRAX_CONTROL_KIND_TEN_ID;
            break;
        case VRAX_REQUEST_KIND_SERVICE_TABLE:
            messageId = VRAX_CONTROL_SERVICE_TABLE_ID;
            break;
        default:
            break;
    }
    *Fits = written >= 0 ? TRUE : FALSE;
    return messageId;
}

_Use_decl_annotations_ int BuildControlRequest(const VRAX_CONTROL_REQUEST* Request,
                                               const UCHAR* Body) {
    UCHAR area[VRAX_CONTROL_TLV_HEADROOM + VRAX_CONTROL_TLV_AREA];
    PUCHAR tlvs = area + VRAX_CONTROL_TLV_HEADROOM;
    VRAX_CURSOR cursor = {tlvs, VRAX_CONTROL_TLV_AREA};

    BOOLEAN fits;
    USHORT messageId = WriteKindTlvs(Request->Kind, Body, &cursor, &fits);
    if (messageId == 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "control request kind %u is not built",
                    Request->Kind);
        return -1;
    }
    if (!fits) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "control request kind %u: TLVs do not fit",
                    Request->Kind);
        return -1;
    }
    return SendControlRequest(Request, messageId, tlvs, VRAX_CONTROL_TLV_AREA - cursor.Remaining,
                              TRUE);
}

// Kind 0: the body is a whole service message for the descriptor's service and client id. Its
// frame header goes into the 6 bytes in front of it, the end of the caller's descriptor.
static int SendSubmittedMessage(const VRAX_CONTROL_REQUEST* Request, PUCHAR Body,
                                ULONG BodyLength) {
    // A larger number would be cut to another service type, the control service among them.
    if (Request->ServiceType >= VRAX_SERVICE_INVALID) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "submitted message: service type %u refused",
                    Request->ServiceType);
        return -1;
    }
    return SendServiceMessage(Request->PortIndex, (UCHAR)Request->ServiceType, Request->ClientId,
                              Body, BodyLength);
}

// Kinds 1..11 from a private copy of the body.
static int SubmitBodyRequest(const VRAX_CONTROL_REQUEST* Request, const UCHAR* Body) {
    VRAX_POOL_BUFFER copy(VRAX_CONTROL_BODY_SIZE, VRAX_TAG_CONTROL_COPY);
    if (copy.Buffer == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "control request kind %u: no memory for body",
                    Request->Kind);
        return -1;
    }
    PUCHAR body = (PUCHAR)copy.Buffer;
    RtlCopyMemory(body, Body, VRAX_CONTROL_BODY_SIZE);
    switch (Request->Kind) {
        case VRAX_REQUEST_KIND_ACCEPT:
            return 0;
        case VRAX_REQUEST_KIND_PURGE_SESSION:
            PurgeSessionClients(ReadU32(body));
            return 0;
        default:
            return BuildControlRequest(Request, body);
    }
}

_Use_decl_annotations_ int SubmitControlIoctl(PUCHAR Input, ULONG Length) {
    if (Length < VRAX_CONTROL_DESCRIPTOR_SIZE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "control request of %u bytes refused", Length);
        return -1;
    }
    VRAX_POOL_BUFFER descriptor(sizeof(VRAX_CONTROL_REQUEST), VRAX_TAG_CONTROL_COPY);
    if (descriptor.Buffer == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "control request: no memory for descriptor");
        return -1;
    }
    PVRAX_CONTROL_REQUEST request = (PVRAX_CONTROL_REQUEST)descriptor.Buffer;
    RtlCopyMemory(request, Input, sizeof(VRAX_CONTROL_REQUEST));
    PUCHAR body = Input + VRAX_CONTROL_DESCRIPTOR_SIZE;
    ULONG bodyLength = Length - VRAX_CONTROL_DESCRIPTOR_SIZE;

    if (request->Kind == VRAX_REQUEST_KIND_SERVICE_MESSAGE) {
        return SendSubmittedMessage(request, body, bodyLength);
    }
    // Kinds 12 and 13 are the driver's own.
    if (request->Kind >= VRAX_REQUEST_KIND_CALLER_MESSAGE ||
        request->Kind == VRAX_REQUEST_KIND_NONE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "control request kind %u refused",
                    request->Kind);
        return -1;
    }
    if (bodyLength < VRAX_CONTROL_BODY_SIZE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "control request kind %u: body of %u bytes",
                    request->Kind, bodyLength);
        return -1;
    }
    return SubmitBodyRequest(request, body);
}

// The body of a deferred control's request: allocated with the wrapper's tag, zeroed, filled
// by the caller, sent tracked and freed.
static int SendDeferredRequest(ULONG Kind, ULONG SessionKey, ULONG Tag, ULONG PortIndex,
                               ULONG PoolTag, ULONG Value, USHORT Value16) {
    VRAX_POOL_BUFFER body(VRAX_CONTROL_BODY_SIZE, PoolTag);
    if (body.Buffer == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "kind %u for key 0x%x port %u: no memory", Kind,
                    SessionKey, PortIndex);
        return -1;
    }
    PUCHAR bytes = (PUCHAR)body.Buffer;
    RtlZeroMemory(bytes, VRAX_CONTROL_BODY_SIZE);
    WriteU32(bytes, Value);
    VraxWriteU16(bytes + 4, Value16);

    VRAX_CONTROL_REQUEST request;
    RtlZeroMemory(&request, sizeof(request));
    request.Kind = Kind;
    request.SessionKey = SessionKey;
    request.Tag = Tag;
    request.PortIndex = PortIndex;
    return BuildControlRequest(&request, bytes);
}

_Use_decl_annotations_ int RequestServiceTable(ULONG SessionKey, ULONG PortIndex) {
    return SendDeferredRequest(VRAX_REQUEST_KIND_SERVICE_TABLE, SessionKey, 0, PortIndex,
                               VRAX_TAG_DEFERRED_G, 0, 0);
}

_Use_decl_annotations_ int RequestValueQuery(ULONG SessionKey, ULONG PortIndex, ULONG Value,
                                             USHORT Value16) {
    return SendDeferredRequest(VRAX_REQUEST_KIND_VALUE_QUERY, SessionKey, 0, PortIndex,
                               VRAX_TAG_DEFERRED_H, Value, Value16);
}

_Use_decl_annotations_ int RequestClientId(ULONG SessionKey, ULONG ServiceType, ULONG PortIndex) {
    // The client-id request is the one that carries tag 1.
    return SendDeferredRequest(VRAX_REQUEST_KIND_CLIENT_ID, SessionKey, 1, PortIndex,
                               VRAX_TAG_DEFERRED_E, ServiceType, 0);
}

_Use_decl_annotations_ int SendPortOpenNotice(ULONG PortIndex) {
    VRAX_CONTROL_REQUEST request;
    RtlZeroMemory(&request, sizeof(request));
    request.Kind = VRAX_REQUEST_KIND_PORT_OPEN;
    request.SessionKey = VRAX_SESSION_KEY_NONE;
    request.PortIndex = PortIndex;
    // Room for both headers; the notice has no TLVs.
    UCHAR buffer[VRAX_CONTROL_TLV_HEADROOM];
    int result = SendControlRequest(&request, VRAX_CONTROL_PORT_OPEN_NOTICE_ID,
                                    buffer + VRAX_CONTROL_TLV_HEADROOM, 0, FALSE);
    if (result != 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: notice not sent, result %d", PortIndex,
                    result);
    }
    return result;
}

_Use_decl_annotations_ int SendServiceTwoQuery(ULONG PortIndex, UCHAR ClientId,
                                               USHORT TransactionId) {
    UCHAR buffer[VRAX_SERVICE_MESSAGE_HEADROOM + VRAX_SERVICE_HEADER_SIZE];
    PUCHAR message = buffer + VRAX_SERVICE_MESSAGE_HEADROOM;
    message[VRAX_SERVICE_TYPE_FIELD_OFFSET] = VRAX_MESSAGE_REQUEST;
    VraxWriteU16(message + VRAX_SERVICE_TRANSACTION_OFFSET, TransactionId);
    VraxWriteU16(message + VRAX_SERVICE_MESSAGE_ID_OFFSET, VRAX_SERVICE_TWO_QUERY_ID);
    VraxWriteU16(message + VRAX_SERVICE_LENGTH_OFFSET, 0);
    int result = SendServiceMessage(PortIndex, VRAX_SERVICE_TWO, ClientId, message,
                                    VRAX_SERVICE_HEADER_SIZE);
    if (result != 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "service-2 query %u from %u on port %u: %d",
                    TransactionId, ClientId, PortIndex, result);
    }
    return result;
}
