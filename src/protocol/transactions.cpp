// The per-port transaction table: the counter transaction ids are drawn from and the lock
// that serialises drawing and sending. No request is tracked yet, so the table holds no
// records to free.
#include <ntddk.h>
#include <wdf.h>

#include "../vrax_device.h"
#include "control_requests.h"
#include "lazy_wait_lock.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "transactions.tmh"
#endif

// One port's transactions.
typedef struct _VRAX_TRANSACTION_ENTRY {
    // Guards Counter; created at start-up or on first use.
    WDFWAITLOCK volatile Lock;
    // The last id handed out on the port; 0 after start-up.
    UCHAR Counter;
} VRAX_TRANSACTION_ENTRY;

static VRAX_TRANSACTION_ENTRY TransactionTable[VRAX_PORT_COUNT];

_Use_decl_annotations_ int InitTransactions() {
    for (ULONG port = 0; port < VRAX_PORT_COUNT; ++port) {
        WDFWAITLOCK lock = VraxEnsureWaitLock(&TransactionTable[port].Lock);
        if (lock == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "transactions: port %u lock failed", port);
            return -1;
        }
        WdfWaitLockAcquire(lock, nullptr);
        TransactionTable[port].Counter = 0;
        WdfWaitLockRelease(lock);
    }
    return 0;
}

_Use_decl_annotations_ VOID ResetTransactions() {
    for (ULONG port = 0; port < VRAX_PORT_COUNT; ++port) {
        WDFWAITLOCK lock = VraxExistingWaitLock(&TransactionTable[port].Lock);
        if (lock != nullptr) {
            WdfWaitLockAcquire(lock, nullptr);
        }
        TransactionTable[port].Counter = 0;
        if (lock != nullptr) {
            WdfWaitLockRelease(lock);
        }
    }
}

_Use_decl_annotations_ WDFWAITLOCK TransactionLock(ULONG PortIndex) {
    if (PortIndex >= VRAX_PORT_COUNT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "transactions: bad port %u", PortIndex);
        return nullptr;
    }
    return VraxEnsureWaitLock(&TransactionTable[PortIndex].Lock);
}

_Use_decl_annotations_ UCHAR DrawTransactionId(ULONG PortIndex) {
    UCHAR id = (UCHAR)(TransactionTable[PortIndex].Counter + 1);
    if (id == 0) {
        id = 1;
    }
    TransactionTable[PortIndex].Counter = id;
    return id;
}

// Interim: nothing is tracked until the request builder lands.
_Use_decl_annotations_ PVRAX_TRANSACTION NewTransaction(ULONG Size,
                                                        VRAX_TRANSACTION_RELEASE* Release,
                                                        ULONG PortIndex) {
    UNREFERENCED_PARAMETER(Release);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: transaction of %u bytes refused",
                PortIndex, Size);
    return nullptr;
}

_Use_decl_annotations_ PVRAX_TRANSACTION FindTransaction(ULONG PortIndex, UCHAR TransactionId) {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: transaction %u not found", PortIndex,
                TransactionId);
    return nullptr;
}

_Use_decl_annotations_ VOID ReleaseTransaction(PVRAX_TRANSACTION Record, BOOLEAN Finish,
                                               ULONG PortIndex) {
    UNREFERENCED_PARAMETER(Record);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: release (finish %u) of no record",
                PortIndex, Finish);
}
