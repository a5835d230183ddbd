// Frame codec: writes frame headers and TLVs and reads TLVs, control headers and result TLVs
// in place, on buffers the caller owns. It keeps no state, takes no locks, allocates nothing
// and never touches a byte outside the range it is given.
#pragma once

#include <ntddk.h>

#include "../vrax_wire.h"

// A cursor pair: the next byte and the number of bytes left from it. A successful call
// advances Next and lowers Remaining by exactly what it consumed or produced.
struct VRAX_CURSOR {
    PUCHAR Next;
    ULONG Remaining;
};

// Writes the frame header into the 6 bytes in front of Message: interface type, the length
// field MessageLength + 5, flags 0, the service type and the client id. The frame then starts
// at Message - 6 and is MessageLength + 6 bytes long. MessageLength must not exceed
// VRAX_MESSAGE_MAX_SIZE; producers refuse longer messages before calling this.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID
    WriteFrameHeader(_Inout_updates_bytes_(MessageLength) PUCHAR Message, _In_ ULONG MessageLength,
                     _In_ UCHAR ServiceType, _In_ UCHAR ClientId);

// Appends one TLV. Returns Length + 3, or -1 (writing nothing) when it does not fit whole or
// Length does not fit the 16-bit field. Value may be NULL only when Length is 0.
_IRQL_requires_max_(DISPATCH_LEVEL) int WriteTlv(_Inout_ VRAX_CURSOR* Cursor, _In_ UCHAR Type,
                                                 _In_ ULONG Length,
                                                 _In_reads_bytes_opt_(Length) const VOID* Value);

// Reads one TLV and points Value into the buffer. Returns Length + 3, or -1: with fewer than
// 3 bytes nothing is consumed; with a value running past the end the 3 header bytes stay
// consumed.
_IRQL_requires_max_(DISPATCH_LEVEL) int ReadTlv(_Inout_ VRAX_CURSOR* Cursor, _Out_ UCHAR* Type,
                                                _Out_ USHORT* Length, _Out_ PUCHAR* Value);

// Reads a 6-byte control header. Returns 0, or -1: with fewer than 6 bytes nothing is
// consumed; with a message type other than request, response or indication the 6 bytes stay
// consumed and the outputs are not written.
_IRQL_requires_max_(DISPATCH_LEVEL) int ReadControlHeader(_Inout_ VRAX_CURSOR* Cursor,
                                                          _Out_ USHORT* MessageId,
                                                          _Out_ USHORT* Length,
                                                          _Out_ UCHAR* TransactionId,
                                                          _Out_ UCHAR* MessageType);

// Reads the result TLV that opens a response. ErrorCode is set to 0 first. Returns 0
// (success) or -2 (result 1; ErrorCode holds the error code), both moving the cursor past the
// TLV; or -1 when the next TLV cannot be read, is not of the result type or has a value of
// fewer than 4 bytes, leaving the cursor where it was.
_IRQL_requires_max_(DISPATCH_LEVEL) int ReadResultTlv(_Inout_ VRAX_CURSOR* Cursor,
                                                      _Out_ USHORT* ErrorCode);
