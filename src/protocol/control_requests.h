// Control-service requests the driver sends on its own behalf, and the per-port transaction
// table that tracks the ones expecting an answer.
#pragma once

#include <ntddk.h>

// Sends the port-open notice on a port that has just been opened for routing. Answers to it
// are dropped on receipt. 0 when sent, negative otherwise.
_IRQL_requires_(PASSIVE_LEVEL) int SendPortOpenNotice(_In_ ULONG PortIndex);

// Prepares the transaction table of every port: empty lists, counters 0, locks created.
// 0, or -1 when a lock cannot be created.
_IRQL_requires_(PASSIVE_LEVEL) int InitTransactions();

// Frees every transaction record of every port and resets the counters to 0. Takes no lock:
// runs at teardown, after the port service threads have ended.
_IRQL_requires_(PASSIVE_LEVEL) VOID ResetTransactions();
