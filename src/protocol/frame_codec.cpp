// Frame codec: in-place writers and readers of frame headers, TLVs, control headers and
// result TLVs. Every field is reached bytewise; every length is tested against the bytes
// remaining before anything is read or written.
#include <ntddk.h>
#include <wdf.h>

#include "frame_codec.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "frame_codec.tmh"
#endif

static void Advance(VRAX_CURSOR* Cursor, ULONG Count) {
    Cursor->Next += Count;
    Cursor->Remaining -= Count;
}

_Use_decl_annotations_ VOID WriteFrameHeader(PUCHAR Message, ULONG MessageLength, UCHAR ServiceType,
                                             UCHAR ClientId) {
    PUCHAR frame = Message - VRAX_FRAME_HEADER_SIZE;

    NT_ASSERT(MessageLength <= VRAX_MESSAGE_MAX_SIZE);
    frame[VRAX_FRAME_INTERFACE_OFFSET] = VRAX_INTERFACE_TYPE;
    VraxWriteU16(frame + VRAX_FRAME_LENGTH_OFFSET,
                 (USHORT)(MessageLength + VRAX_FRAME_HEADER_SIZE - 1));
    frame[VRAX_FRAME_FLAGS_OFFSET] = 0;
    frame[VRAX_FRAME_SERVICE_TYPE_OFFSET] = ServiceType;
    frame[VRAX_FRAME_CLIENT_ID_OFFSET] = ClientId;
}

_Use_decl_annotations_ int WriteTlv(VRAX_CURSOR* Cursor, UCHAR Type, ULONG Length,
                                    const VOID* Value) {
    if (Length > VRAX_TLV_MAX_VALUE || Cursor->Remaining < VRAX_TLV_HEADER_SIZE ||
        Cursor->Remaining - VRAX_TLV_HEADER_SIZE < Length) {
        return -1;
    }
    if (Length != 0 && Value == nullptr) {
        return -1;
    }

    Cursor->Next[0] = Type;
    VraxWriteU16(Cursor->Next + 1, (USHORT)Length);
    if (Length != 0) {
        // The value may come from the same buffer; a move is safe whatever the overlap.
        RtlMoveMemory(Cursor->Next + VRAX_TLV_HEADER_SIZE, Value, Length);
    }
    Advance(Cursor, Length + VRAX_TLV_HEADER_SIZE);
    return (int)(Length + VRAX_TLV_HEADER_SIZE);
}

_Use_decl_annotations_ int ReadTlv(VRAX_CURSOR* Cursor, UCHAR* Type, USHORT* Length,
                                   PUCHAR* Value) {
    if (Cursor->Remaining < VRAX_TLV_HEADER_SIZE) {
        return -1;
    }

    UCHAR type = Cursor->Next[0];
    USHORT length = VraxReadU16(Cursor->Next + 1);
    Advance(Cursor, VRAX_TLV_HEADER_SIZE);
    if (Cursor->Remaining < length) {
        return -1;
    }

    *Type = type;
    *Length = length;
    *Value = Cursor->Next;
    Advance(Cursor, length);
    return length + VRAX_TLV_HEADER_SIZE;
}

_Use_decl_annotations_ int ReadControlHeader(VRAX_CURSOR* Cursor, USHORT* MessageId, USHORT* Length,
                                             UCHAR* TransactionId, UCHAR* MessageType) {
    if (Cursor->Remaining < VRAX_CONTROL_HEADER_SIZE) {
        return -1;
    }

    const UCHAR* header = Cursor->Next;
    Advance(Cursor, VRAX_CONTROL_HEADER_SIZE);
    UCHAR type = header[VRAX_CONTROL_TYPE_OFFSET];
    if (type != VRAX_MESSAGE_REQUEST && type != VRAX_MESSAGE_RESPONSE &&
        type != VRAX_MESSAGE_INDICATION) {
        return -1;
    }

    *MessageType = type;
    *TransactionId = header[VRAX_CONTROL_TRANSACTION_OFFSET];
    *MessageId = VraxReadU16(header + VRAX_CONTROL_MESSAGE_ID_OFFSET);
    *Length = VraxReadU16(header + VRAX_CONTROL_LENGTH_OFFSET);
    return 0;
}

_Use_decl_annotations_ int ReadResultTlv(VRAX_CURSOR* Cursor, USHORT* ErrorCode) {
    *ErrorCode = 0;

    VRAX_CURSOR probe = *Cursor;
    UCHAR type;
    USHORT length;
    PUCHAR value;
    if (ReadTlv(&probe, &type, &length, &value) < 0 || type != VRAX_TLV_RESULT ||
        length < VRAX_RESULT_VALUE_SIZE) {
        return -1;
    }

    *Cursor = probe;
    if (VraxReadU16(value) == VRAX_RESULT_FAILURE) {
        *ErrorCode = VraxReadU16(value + 2);
        return -2;
    }
    return 0;
}
