// Wire formats of the port channel: the frame, the two service-message headers, the TLV and
// the result TLV. Every multi-byte field is little-endian and may start at any offset, so the
// fields are described by offsets and reached only through the bytewise accessors below.
#pragma once

#include <ntddk.h>

//
// Frame: a 6-byte header followed by exactly one service message.
//
//   0  interface type   always VRAX_INTERFACE_TYPE
//   1  length (16-bit)  total frame length minus 1
//   3  flags            0 when sent by the driver; handed on uninterpreted when received
//   4  service type     0 = control service, 1..254 other services, 255 invalid on receipt
//   5  client id        0xFF on receipt: broadcast to every client of the service type
//
#define VRAX_FRAME_HEADER_SIZE 6
#define VRAX_FRAME_INTERFACE_OFFSET 0
#define VRAX_FRAME_LENGTH_OFFSET 1
#define VRAX_FRAME_FLAGS_OFFSET 3
#define VRAX_FRAME_SERVICE_TYPE_OFFSET 4
#define VRAX_FRAME_CLIENT_ID_OFFSET 5

#define VRAX_INTERFACE_TYPE 0x01
// The 16-bit length field counts every byte after the interface type.
#define VRAX_FRAME_MAX_SIZE 65536u
#define VRAX_MESSAGE_MAX_SIZE (VRAX_FRAME_MAX_SIZE - VRAX_FRAME_HEADER_SIZE)

#define VRAX_SERVICE_CONTROL 0
#define VRAX_SERVICE_INVALID 255
#define VRAX_SERVICE_TYPE_COUNT 255  // service types 0..254
#define VRAX_CLIENT_ID_BROADCAST 0xFF

//
// Control-service message (service type 0): 6-byte control header, then the TLV list.
//
//   0  message type     VRAX_MESSAGE_REQUEST, _RESPONSE or _INDICATION; nothing else reads
//   1  transaction id   1..255 in requests the driver numbers; answers carry their request's
//   2  message id (16-bit)
//   4  length (16-bit)  bytes of TLV list after the header
//
#define VRAX_CONTROL_HEADER_SIZE 6
#define VRAX_CONTROL_TYPE_OFFSET 0
#define VRAX_CONTROL_TRANSACTION_OFFSET 1
#define VRAX_CONTROL_MESSAGE_ID_OFFSET 2
#define VRAX_CONTROL_LENGTH_OFFSET 4

#define VRAX_MESSAGE_REQUEST 0
#define VRAX_MESSAGE_RESPONSE 1
#define VRAX_MESSAGE_INDICATION 2

// Frame offset of the low byte of a control message id: the receive hand-off tests it.
#define VRAX_FRAME_CONTROL_MESSAGE_ID_OFFSET \
    (VRAX_FRAME_HEADER_SIZE + VRAX_CONTROL_MESSAGE_ID_OFFSET)

//
// Message of any other service (1..254): 7-byte service header, then the TLV list.
//
//   0  message type
//   1  transaction id (16-bit)
//   3  message id (16-bit)
//   5  length (16-bit)  bytes of TLV list after the header
//
#define VRAX_SERVICE_HEADER_SIZE 7
#define VRAX_SERVICE_TYPE_FIELD_OFFSET 0
#define VRAX_SERVICE_TRANSACTION_OFFSET 1
#define VRAX_SERVICE_MESSAGE_ID_OFFSET 3
#define VRAX_SERVICE_LENGTH_OFFSET 5

//
// TLV: type (1 byte), value length L (16-bit), L value bytes. A zero-length TLV is legal;
// TLVs follow each other without gaps.
//
#define VRAX_TLV_HEADER_SIZE 3
#define VRAX_TLV_MAX_VALUE 0xFFFFu

// Result TLV: the first TLV of every response. Its value is a 16-bit result (1 = failure,
// anything else success) and a 16-bit error code that matters when the result is 1.
#define VRAX_TLV_RESULT 0x02
#define VRAX_RESULT_VALUE_SIZE 4
#define VRAX_RESULT_FAILURE 1

// Headroom producers leave in front of what they build, so headers go in without a copy.
#define VRAX_SERVICE_MESSAGE_HEADROOM VRAX_FRAME_HEADER_SIZE
#define VRAX_CONTROL_TLV_HEADROOM (VRAX_FRAME_HEADER_SIZE + VRAX_CONTROL_HEADER_SIZE)
// A control request's TLV list is built in an area of this size.
#define VRAX_CONTROL_TLV_AREA 116

//
// The same layouts as byte-exact structures. They name the fields and fix the sizes; a
// 16-bit field is a two-byte array, so it is read and written only through VraxReadU16 and
// VraxWriteU16 and never through a pointer that may be unaligned.
//
#pragma pack(push, 1)
typedef struct _VRAX_FRAME_HEADER {
    UCHAR InterfaceType;
    UCHAR Length[2];
    UCHAR Flags;
    UCHAR ServiceType;
    UCHAR ClientId;
} VRAX_FRAME_HEADER;

typedef struct _VRAX_CONTROL_HEADER {
    UCHAR MessageType;
    UCHAR TransactionId;
    UCHAR MessageId[2];
    UCHAR Length[2];
} VRAX_CONTROL_HEADER;

typedef struct _VRAX_SERVICE_HEADER {
    UCHAR MessageType;
    UCHAR TransactionId[2];
    UCHAR MessageId[2];
    UCHAR Length[2];
} VRAX_SERVICE_HEADER;

typedef struct _VRAX_TLV_HEADER {
    UCHAR Type;
    UCHAR Length[2];
} VRAX_TLV_HEADER;

typedef struct _VRAX_RESULT_VALUE {
    UCHAR Result[2];
    UCHAR ErrorCode[2];
} VRAX_RESULT_VALUE;
#pragma pack(pop)

static_assert(sizeof(VRAX_FRAME_HEADER) == VRAX_FRAME_HEADER_SIZE, "frame header layout");
static_assert(FIELD_OFFSET(VRAX_FRAME_HEADER, Length) == VRAX_FRAME_LENGTH_OFFSET, "length");
static_assert(FIELD_OFFSET(VRAX_FRAME_HEADER, Flags) == VRAX_FRAME_FLAGS_OFFSET, "flags");
static_assert(FIELD_OFFSET(VRAX_FRAME_HEADER, ServiceType) == VRAX_FRAME_SERVICE_TYPE_OFFSET,
              "service type");
static_assert(FIELD_OFFSET(VRAX_FRAME_HEADER, ClientId) == VRAX_FRAME_CLIENT_ID_OFFSET,
              "client id");
static_assert(sizeof(VRAX_CONTROL_HEADER) == VRAX_CONTROL_HEADER_SIZE, "control header layout");
static_assert(FIELD_OFFSET(VRAX_CONTROL_HEADER, MessageId) == VRAX_CONTROL_MESSAGE_ID_OFFSET,
              "control message id");
static_assert(FIELD_OFFSET(VRAX_CONTROL_HEADER, Length) == VRAX_CONTROL_LENGTH_OFFSET,
              "control length");
static_assert(sizeof(VRAX_SERVICE_HEADER) == VRAX_SERVICE_HEADER_SIZE, "service header layout");
static_assert(FIELD_OFFSET(VRAX_SERVICE_HEADER, MessageId) == VRAX_SERVICE_MESSAGE_ID_OFFSET,
              "service message id");
static_assert(FIELD_OFFSET(VRAX_SERVICE_HEADER, Length) == VRAX_SERVICE_LENGTH_OFFSET,
              "service length");
static_assert(sizeof(VRAX_TLV_HEADER) == VRAX_TLV_HEADER_SIZE, "TLV header layout");
static_assert(sizeof(VRAX_RESULT_VALUE) == VRAX_RESULT_VALUE_SIZE, "result value layout");

// Message id (low byte at service-message offset 3) of the service-2 query whose answer the
// reply catcher may take.
#define VRAX_SERVICE_TWO_QUERY_ID 0x25
// Message id of the driver's own port-open notice; answers carrying it are dropped on receipt.
#define VRAX_CONTROL_PORT_OPEN_NOTICE_ID 0x27
// The reply catcher takes the data from the first TLV's value on and skips 4 bytes of it.
#define VRAX_FIRST_TLV_VALUE_OFFSET (VRAX_SERVICE_HEADER_SIZE + VRAX_TLV_HEADER_SIZE)
#define VRAX_REPLY_CATCHER_SKIP 4

//
// Control request descriptor: 32 bytes, and the first 32 bytes of the control-request I/O
// control's input, so its layout is external. A 3,328-byte request body follows it.
//
#define VRAX_CONTROL_DESCRIPTOR_SIZE 32
#define VRAX_CONTROL_BODY_SIZE 3328

typedef struct _VRAX_CONTROL_REQUEST {
    ULONG Kind;        // VRAX_REQUEST_KIND_*
    ULONG SessionKey;  // owner of the request; VRAX_SESSION_KEY_NONE for none
    ULONG Tag;         // carried along, not interpreted
    ULONG Reserved1;
    ULONG Reserved2;
    ULONG PortIndex;    // 0..28
    ULONG ServiceType;  // kind 0 only
    UCHAR ClientId;     // kind 0 only
    UCHAR Reserved3[3];
} VRAX_CONTROL_REQUEST, *PVRAX_CONTROL_REQUEST;

static_assert(sizeof(VRAX_CONTROL_REQUEST) == VRAX_CONTROL_DESCRIPTOR_SIZE, "descriptor layout");
static_assert(FIELD_OFFSET(VRAX_CONTROL_REQUEST, PortIndex) == 20, "descriptor port");
static_assert(FIELD_OFFSET(VRAX_CONTROL_REQUEST, ClientId) == 28, "descriptor client id");

// Session key meaning "no session"; as a delivery key, every session bound to the port and
// service type (broadcast).
#define VRAX_SESSION_KEY_NONE 0xFFFFFFFFu

// Request kinds. Through the control-request I/O control only 0..6 and 8..11 are accepted.
#define VRAX_REQUEST_KIND_SERVICE_MESSAGE 0  // body is a whole service message, sent as it is
#define VRAX_REQUEST_KIND_CLIENT_ID 1        // client-id allocation (0x22)
#define VRAX_REQUEST_KIND_RELEASE 2          // client-id release (0x23)
#define VRAX_REQUEST_KIND_VALUE_QUERY 3      // value query (0x26)
#define VRAX_REQUEST_KIND_ACCEPT 4           // nothing sent, result 0
#define VRAX_REQUEST_KIND_PURGE_SESSION 5    // the session's client records purged, result 0
#define VRAX_REQUEST_KIND_SIX 6              // 0x28
#define VRAX_REQUEST_KIND_EIGHT 8            // 0x29
#define VRAX_REQUEST_KIND_NINE 9             // 0x2A
#define VRAX_REQUEST_KIND_TEN 10             // 0x2B
#define VRAX_REQUEST_KIND_SERVICE_TABLE 11   // service-table query (0x21)
#define VRAX_REQUEST_KIND_CALLER_MESSAGE 12  // internal: a whole control message, sent as it is
#define VRAX_REQUEST_KIND_PORT_OPEN 13       // internal: the port-open notice

// Control-service message ids.
#define VRAX_CONTROL_SERVICE_TABLE_ID 0x21
#define VRAX_CONTROL_CLIENT_ID_ID 0x22
#define VRAX_CONTROL_RELEASE_ID 0x23
#define VRAX_CONTROL_VALUE_QUERY_ID 0x26
#define VRAX_CONTROL_KIND_SIX_ID 0x28
#define VRAX_CONTROL_KIND_EIGHT_ID 0x29
#define VRAX_CONTROL_KIND_NINE_ID 0x2A
#define VRAX_CONTROL_KIND_TEN_ID 0x2B

// TLV types of control messages and of the service-2 reply.
#define VRAX_TLV_PRIMARY 0x01  // the request's or response's main value
#define VRAX_TLV_VALUE 0x10    // a 16-bit value (value query); opens a service table's second list
#define VRAX_TLV_VALUE_LIST 0x11  // kind 8's list of 16-bit values
#define VRAX_TLV_REPLY 0x12       // the value the reply catcher copies

// Error code of a client-id allocation refused because the service has no free id.
#define VRAX_ERROR_NO_CLIENT_IDS 31
// A session's ClientId after the control service refused to grant one.
#define VRAX_CLIENT_ID_REFUSED 0xFF

//
// Service-table record: what the response handler parses out of a service-table answer,
// filling a buffer of VRAX_SERVICE_TABLE_SIZE bytes. Two lists of 6-byte entries, each with a
// 32-bit count in front: service type (1 byte), a zero byte, first value (16-bit), second
// value (16-bit). Entry i of both lists together give service i's four version words.
//
#define VRAX_SERVICE_TABLE_SIZE 3328
#define VRAX_SERVICE_TABLE_FIRST_COUNT 0
#define VRAX_SERVICE_TABLE_FIRST_LIST 4
#define VRAX_SERVICE_TABLE_SECOND_COUNT 1792
#define VRAX_SERVICE_TABLE_SECOND_LIST 1796
#define VRAX_SERVICE_TABLE_ENTRY_SIZE 6
#define VRAX_SERVICE_TABLE_MAX_ENTRIES 255

// Bytewise access to an unaligned little-endian 16-bit field.
inline USHORT VraxReadU16(const UCHAR* Field) {
    return (USHORT)(Field[0] | (Field[1] << 8));
}

inline void VraxWriteU16(UCHAR* Field, USHORT Value) {
    Field[0] = (UCHAR)(Value & 0xFF);
    Field[1] = (UCHAR)(Value >> 8);
}
