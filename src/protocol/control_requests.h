// Control-service requests the driver sends on its own behalf, and the per-port transaction
// table that tracks the ones expecting an answer.
#pragma once

#include <ntddk.h>
#include <wdf.h>

// Sends the port-open notice on a port that has just been opened for routing. Answers to it
// are dropped on receipt. 0 when sent, negative otherwise.
_IRQL_requires_(PASSIVE_LEVEL) int SendPortOpenNotice(_In_ ULONG PortIndex);

// Prepares the transaction table of every port: empty lists, counters 0, locks created.
// 0, or -1 when a lock cannot be created.
_IRQL_requires_(PASSIVE_LEVEL) int InitTransactions();

// Frees every transaction record of every port and resets the counters to 0, each port's
// under its transaction lock when it has one.
_IRQL_requires_(PASSIVE_LEVEL) VOID ResetTransactions();

// The port's transaction lock, created on first use; NULL for a bad port or when it cannot
// be created. Held across drawing an id and sending the request that carries it.
_IRQL_requires_(PASSIVE_LEVEL) WDFWAITLOCK TransactionLock(_In_ ULONG PortIndex);

// The next transaction id of the port: 1..255, wrapping from 255 to 1, never 0. The caller
// holds the port's transaction lock.
_IRQL_requires_(PASSIVE_LEVEL) UCHAR DrawTransactionId(_In_ ULONG PortIndex);
