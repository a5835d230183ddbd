// Control-service responses: every control-service frame that no client record owns. A
// response is matched to its transaction, applied to the routing table (a granted or returned
// client id), offered to the monitors and passed on to the sessions; requests, indications and
// anything unreadable are dropped. Runs on the port service thread under the port's routing
// lock.
//
// Every read stays inside the message and inside the TLV it belongs to: a TLV value shorter
// than the fields taken from it is treated as missing, and a service table whose lists run
// past their TLV or the message keeps the entries read whole up to there.
#include <ntddk.h>
#include <wdf.h>

#include "../session/delivery.h"
#include "../vrax_pool.h"
#include "../vrax_wire.h"
#include "control_requests.h"
#include "control_responses.h"
#include "frame_codec.h"
#include "routing.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "control_responses.tmh"
#endif

// The work buffer a response is parsed into; the largest thing it holds is a service table.
#define VRAX_RESPONSE_BUFFER_SIZE VRAX_SERVICE_TABLE_SIZE
// TLV 0x01 of a client-id answer: service type, client id.
#define VRAX_CLIENT_ID_VALUE_SIZE 2
// A 16-bit value of a value-query answer.
#define VRAX_VALUE_SIZE 2
// A service-table entry on the wire: service type, first value, second value.
#define VRAX_SERVICE_ENTRY_WIRE_SIZE 5

// Reads the TLV 0x01 that opens a client-id answer (grant or release): FALSE when it is not
// there, is of another type or its value is too short for both bytes.
static BOOLEAN ReadClientIdTlv(VRAX_CURSOR* Cursor, UCHAR* ServiceType, UCHAR* ClientId) {
    UCHAR type;
    USHORT length;
    PUCHAR value;
    if (ReadTlv(Cursor, &type, &length, &value) < 0 || type != VRAX_TLV_PRIMARY ||
        length < VRAX_CLIENT_ID_VALUE_SIZE) {
        return FALSE;
    }
    *ServiceType = value[0];
    *ClientId = value[1];
    return TRUE;
}

// 0x22. A granted id is registered for the session whenever TLV 0x01 reads, also when the
// result reports failure. When it does not read, the session is told VRAX_CLIENT_ID_REFUSED:
// with error code 0 it would otherwise take whatever id was passed as granted, and "refused"
// also spares its clean-up the release of an id it never held.
static VOID HandleClientIdAnswer(ULONG PortIndex, const VRAX_CONTROL_REQUEST* Request,
                                 VRAX_CURSOR* Cursor, USHORT ErrorCode, PUCHAR Work) {
    UCHAR serviceType;
    UCHAR clientId;
    if (ReadClientIdTlv(Cursor, &serviceType, &clientId)) {
        Work[0] = clientId;
        if (RegisterClientId(Request->SessionKey, Request->PortIndex, serviceType, clientId) != 0) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                        "port %u: id %u of service %u not registered for key 0x%x", PortIndex,
                        clientId, serviceType, Request->SessionKey);
        }
    } else {
        clientId = VRAX_CLIENT_ID_REFUSED;
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                    "port %u: client-id answer without id, error %u, key 0x%x", PortIndex,
                    ErrorCode, Request->SessionKey);
    }
    SignalAllocationResult(PortIndex, Request->SessionKey, clientId, ErrorCode);
}

// 0x23. The release is confirmed to the session in every case.
static VOID HandleReleaseAnswer(ULONG PortIndex, const VRAX_CONTROL_REQUEST* Request,
                                VRAX_CURSOR* Cursor) {
    UCHAR serviceType;
    UCHAR clientId;
    if (!ReadClientIdTlv(Cursor, &serviceType, &clientId)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: release answer without id, key 0x%x",
                    PortIndex, Request->SessionKey);
    } else if (Request->SessionKey != VRAX_SESSION_KEY_NONE) {
        (VOID) ReleaseClientId(Request->SessionKey, Request->PortIndex, serviceType, clientId);
    }
    SignalReleaseDone(PortIndex, Request->SessionKey);
}

// 0x26. The last TLV 0x10 with a whole 16-bit value wins; 0 when there is none.
static VOID HandleValueAnswer(ULONG PortIndex, const VRAX_CONTROL_REQUEST* Request,
                              VRAX_CURSOR* Cursor, PUCHAR Work) {
    USHORT result = 0;
    UCHAR type;
    USHORT length;
    PUCHAR value;
    while (Cursor->Remaining != 0) {
        if (ReadTlv(Cursor, &type, &length, &value) < 0) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: value answer TLV cut short",
                        PortIndex);
            break;
        }
        if (type != VRAX_TLV_VALUE) {
            continue;
        }
        if (length < VRAX_VALUE_SIZE) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: value TLV of %u bytes skipped",
                        PortIndex, length);
            continue;
        }
        result = VraxReadU16(value);
    }
    VraxWriteU16(Work, result);
    SignalValue(PortIndex, Request->SessionKey, result);
}

static VOID WriteCount(PUCHAR Field, ULONG Count) {
    Field[0] = (UCHAR)(Count & 0xFF);
    Field[1] = (UCHAR)((Count >> 8) & 0xFF);
    Field[2] = (UCHAR)((Count >> 16) & 0xFF);
    Field[3] = (UCHAR)(Count >> 24);
}

// One list of a service table: a count byte, then that many 5-byte entries, each stored as a
// 6-byte record entry (service type, a zero byte, two 16-bit values). Only entries that lie
// whole inside the cursor's bytes are taken, and the count stored is the number taken. FALSE
// when the list was cut short.
static BOOLEAN ParseServiceList(VRAX_CURSOR* Cursor, PUCHAR Count, PUCHAR Entries) {
    if (Cursor->Remaining == 0) {
        return FALSE;
    }
    ULONG declared = Cursor->Next[0];
    Cursor->Next++;
    Cursor->Remaining--;
    ULONG taken = Cursor->Remaining / VRAX_SERVICE_ENTRY_WIRE_SIZE;
    if (taken > declared) {
        taken = declared;
    }
    for (ULONG i = 0; i < taken; ++i) {
        const UCHAR* wire = Cursor->Next + i * VRAX_SERVICE_ENTRY_WIRE_SIZE;
        PUCHAR entry = Entries + i * VRAX_SERVICE_TABLE_ENTRY_SIZE;
        entry[0] = wire[0];
        RtlCopyMemory(entry + 2, wire + 1, 2 * sizeof(USHORT));
    }
    Cursor->Next += taken * VRAX_SERVICE_ENTRY_WIRE_SIZE;
    Cursor->Remaining -= taken * VRAX_SERVICE_ENTRY_WIRE_SIZE;
    WriteCount(Count, taken);
    return taken == declared ? TRUE : FALSE;
}

// 0x21. The first list is the value of TLV 0x01. Any bytes after that TLV hold the second
// list: a TLV 0x10 (skipped), then a count byte and its entries, up to the message's end.
static VOID ParseServiceTable(ULONG PortIndex, VRAX_CURSOR* Cursor, PUCHAR Record) {
    UCHAR type;
    USHORT length;
    PUCHAR value;
    if (ReadTlv(Cursor, &type, &length, &value) < 0 || type != VRAX_TLV_PRIMARY) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: service table without list",
                    PortIndex);
        return;
    }
    VRAX_CURSOR first = {value, length};
    if (!ParseServiceList(&first, Record + VRAX_SERVICE_TABLE_FIRST_COUNT,
                          Record + VRAX_SERVICE_TABLE_FIRST_LIST)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: service table list cut short",
                    PortIndex);
        return;
    }
    if (Cursor->Remaining == 0) {
        return;
    }
    if (ReadTlv(Cursor, &type, &length, &value) < 0 || type != VRAX_TLV_VALUE ||
        !ParseServiceList(Cursor, Record + VRAX_SERVICE_TABLE_SECOND_COUNT,
                          Record + VRAX_SERVICE_TABLE_SECOND_LIST)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: service table second list unread",
                    PortIndex);
    }
}

// Applies a matched response by its message id. Cursor stands after the result TLV.
static VOID HandleResponse(ULONG PortIndex, USHORT MessageId, const VRAX_CONTROL_REQUEST* Request,
                           VRAX_CURSOR* Cursor, USHORT ErrorCode, PUCHAR Work) {
    switch (MessageId) {
        case VRAX_CONTROL_CLIENT_ID_ID:
            HandleClientIdAnswer(PortIndex, Request, Cursor, ErrorCode, Work);
            break;
        case VRAX_CONTROL_RELEASE_ID:
            HandleReleaseAnswer(PortIndex, Request, Cursor);
            break;
        case VRAX_CONTROL_VALUE_QUERY_ID:
            HandleValueAnswer(PortIndex, Request, Cursor, Work);
            break;
        case VRAX_CONTROL_SERVICE_TABLE_ID:
            ParseServiceTable(PortIndex, Cursor, Work);
            StoreServiceTable(PortIndex, Request->SessionKey, Work);
            break;
        default:
            // The other answers finish their transaction and change nothing else.
            break;
    }
}

_Use_decl_annotations_ VOID HandleControlMessage(ULONG PortIndex, PUCHAR Message, ULONG Length) {
    VRAX_POOL_BUFFER work(VRAX_RESPONSE_BUFFER_SIZE, VRAX_TAG_RESPONSE);
    if (work.Buffer == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                    "port %u: control message of %u bytes dropped, "
                    "no memory",
                    PortIndex, Length);
        return;
    }
    VRAX_CURSOR cursor = {Message, Length};
    USHORT messageId;
    USHORT tlvLength;
    UCHAR transactionId;
    UCHAR messageType;
    if (ReadControlHeader(&cursor, &messageId, &tlvLength, &transactionId, &messageType) != 0 ||
        tlvLength != cursor.Remaining) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                    "port %u: unreadable control message of %u "
                    "bytes dropped",
                    PortIndex, Length);
        return;
    }
    if (messageType != VRAX_MESSAGE_RESPONSE) {
        // Requests and indications of the control service change nothing.
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_VRAX,
                    "port %u: control message type %u, id "
                    "0x%x dropped",
                    PortIndex, messageType, messageId);
        return;
    }
    PVRAX_TRANSACTION record = FindTransaction(PortIndex, transactionId);
    if (record == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: answer 0x%x id %u unmatched, dropped",
                    PortIndex, messageId, transactionId);
        return;
    }

    PUCHAR buffer = (PUCHAR)work.Buffer;
    RtlZeroMemory(buffer, VRAX_RESPONSE_BUFFER_SIZE);
    // A missing or short result TLV leaves the cursor on the first TLV and the error code 0.
    USHORT errorCode;
    (VOID) ReadResultTlv(&cursor, &errorCode);
    OfferToMonitors(record->Request.SessionKey, PortIndex, VRAX_SERVICE_CONTROL, 0, 0,
                    transactionId, Message, Length);
    HandleResponse(PortIndex, messageId, &record->Request, &cursor, errorCode, buffer);
    ReleaseTransaction(record, TRUE, PortIndex);
}
