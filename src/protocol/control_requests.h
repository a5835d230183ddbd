// Control-service requests the driver sends on its own behalf, and the per-port transaction
// table that tracks the ones expecting an answer.
#pragma once

#include <ntddk.h>
#include <wdf.h>

// Sends the port-open notice on a port that has just been opened for routing. Answers to it
// are dropped on receipt. 0 when sent, negative otherwise.
_IRQL_requires_(PASSIVE_LEVEL) int SendPortOpenNotice(_In_ ULONG PortIndex);

// Prepares the transaction table of every port: empty lists (records left from an earlier
// start-up freed), counters 0, locks created. 0, or -1 when a lock cannot be created.
_IRQL_requires_(PASSIVE_LEVEL) int InitTransactions();

// Frees every transaction record of every port and resets the counters to 0, each port's
// under its transaction lock when it has one. A record still referenced (its sender has not
// released it yet) is unlisted and freed by its last release.
_IRQL_requires_(PASSIVE_LEVEL) VOID ResetTransactions();

// The port's transaction lock, created on first use; NULL for a bad port or when it cannot
// be created. Held across drawing an id and sending the request that carries it.
_IRQL_requires_(PASSIVE_LEVEL) WDFWAITLOCK TransactionLock(_In_ ULONG PortIndex);

// The next transaction id of the port: 1..255, wrapping from 255 to 1, never 0. The caller
// holds the port's transaction lock.
_IRQL_requires_(PASSIVE_LEVEL) UCHAR DrawTransactionId(_In_ ULONG PortIndex);

#include "../vrax_wire.h"

// Called with a transaction record just before it is freed.
typedef VOID VRAX_TRANSACTION_RELEASE(_In_ struct _VRAX_TRANSACTION* Record);

// A tracked control request (pool tag "vrx0"), zeroed at creation. ReferenceCount, Done and
// the list links are guarded by the port's transaction lock.
typedef struct _VRAX_TRANSACTION {
    struct _VRAX_TRANSACTION* Next;
    LONG ReferenceCount;
    ULONG Done;
    VRAX_TRANSACTION_RELEASE* Release;
    VRAX_CONTROL_REQUEST Request;
    // 1..255; 0 never matches.
    UCHAR TransactionId;
} VRAX_TRANSACTION, *PVRAX_TRANSACTION;

// A record of Size bytes (at least sizeof(VRAX_TRANSACTION); a larger one leaves the rest to
// its maker) with one reference, listed at the head of the port's transactions; NULL when it
// cannot be made.
_IRQL_requires_(PASSIVE_LEVEL) PVRAX_TRANSACTION
    NewTransaction(_In_ ULONG Size, _In_opt_ VRAX_TRANSACTION_RELEASE* Release,
                   _In_ ULONG PortIndex);

// Stores the id a listed record was sent under, and retires the older records of the port
// with the same id, which no answer can reach any more. The caller holds the port's
// transaction lock.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    SetTransactionId(_Inout_ PVRAX_TRANSACTION Record, _In_ UCHAR TransactionId);

// The newest record of the port with the id, referenced; NULL when there is none or it is
// done already.
_IRQL_requires_(PASSIVE_LEVEL) PVRAX_TRANSACTION
    FindTransaction(_In_ ULONG PortIndex, _In_ UCHAR TransactionId);

// Drops one reference; Finish marks the transaction done. A done record without references
// is unlinked and freed.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    ReleaseTransaction(_In_ PVRAX_TRANSACTION Record, _In_ BOOLEAN Finish, _In_ ULONG PortIndex);

// The body of the control-request I/O control: a descriptor and a request body. The kind's
// result: a send result, a transaction id 1..255, 0, or -1 for a refusal.
_IRQL_requires_(PASSIVE_LEVEL) int SubmitControlIoctl(_Inout_updates_bytes_(Length) PUCHAR Input,
                                                      _In_ ULONG Length);

// Builds the TLVs of a kind 1, 2, 3, 6, 8, 9, 10 or 11 request from Body (VRAX_CONTROL_BODY_SIZE
// bytes) and sends it tracked. The transaction id, or negative.
_IRQL_requires_(PASSIVE_LEVEL) int BuildControlRequest(_In_ const VRAX_CONTROL_REQUEST* Request,
                                                       _In_reads_bytes_(VRAX_CONTROL_BODY_SIZE)
                                                           const UCHAR* Body);

// Sends a control request from client id 0 on service type 0 under a freshly drawn
// transaction id. Tlvs has VRAX_CONTROL_TLV_HEADROOM free bytes in front of it (kind 12: the
// whole message, with VRAX_FRAME_HEADER_SIZE in front). The transaction id when tracked and
// sent, else the send result (0, -1 or -5).
_IRQL_requires_(PASSIVE_LEVEL) int SendControlRequest(_In_ const VRAX_CONTROL_REQUEST* Request,
                                                      _In_ USHORT MessageId,
                                                      _Inout_updates_bytes_(TlvLength) PUCHAR Tlvs,
                                                      _In_ ULONG TlvLength, _In_ BOOLEAN Track);

// The requests of the deferred controls and the port-open routine. Transaction id, or
// negative (-1 when the body cannot be allocated).
_IRQL_requires_(PASSIVE_LEVEL) int RequestServiceTable(_In_ ULONG SessionKey, _In_ ULONG PortIndex);
_IRQL_requires_(PASSIVE_LEVEL) int RequestValueQuery(_In_ ULONG SessionKey, _In_ ULONG PortIndex,
                                                     _In_ ULONG Value, _In_ USHORT Value16);
_IRQL_requires_(PASSIVE_LEVEL) int RequestClientId(_In_ ULONG SessionKey, _In_ ULONG ServiceType,
                                                   _In_ ULONG PortIndex);

// Sends the service-2 query (message id 0x25, no TLVs) on service type 2 from ClientId.
_IRQL_requires_(PASSIVE_LEVEL) int SendServiceTwoQuery(_In_ ULONG PortIndex, _In_ UCHAR ClientId,
                                                       _In_ USHORT TransactionId);
