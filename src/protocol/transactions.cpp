// The per-port transaction table: the counter transaction ids are drawn from, the lock that
// serialises drawing and sending, and the records of the requests that expect an answer.
//
// A record's life (reference count and done flag under the port's transaction lock):
//   1. NewTransaction lists it with one reference, the sender's.
//   2. The sender stores the drawn id and sends, then drops its reference; an unanswered
//      record stays listed without references until the table is reset.
//   3. A response finds it (one more reference), is handled, and drops that reference with
//      finish: the record is done, so no later answer with the same id finds it.
//   4. Whichever reference goes last on a done record unlinks and frees it. A response that
//      overtakes its sender's own release (2 before the release in 2) therefore leaves the
//      record to the sender.
#include <ntddk.h>
#include <wdf.h>

#include "../vrax_device.h"
#include "../vrax_lock.h"
#include "../vrax_pool.h"
#include "control_requests.h"
#include "lazy_wait_lock.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "transactions.tmh"
#endif

// One port's transactions.
typedef struct _VRAX_TRANSACTION_ENTRY {
    // Guards everything below and the counts and flags of the listed records; created at
    // start-up or on first use.
    WDFWAITLOCK volatile Lock;
    // Records of the port, newest first.
    PVRAX_TRANSACTION Head;
    // The last id handed out on the port; 0 after start-up.
    UCHAR Counter;
} VRAX_TRANSACTION_ENTRY;

static VRAX_TRANSACTION_ENTRY TransactionTable[VRAX_PORT_COUNT];

static VOID FreeTransaction(PVRAX_TRANSACTION Record) {
    if (Record->Release != nullptr) {
        Record->Release(Record);
    }
    VraxFreePool(Record, VRAX_TAG_DRIVER);
}

// Takes the record out of the port's list; FALSE when it is not listed (a reset took it out
// while a reference was still held). The caller holds the port's transaction lock.
static BOOLEAN UnlinkTransaction(VRAX_TRANSACTION_ENTRY* Entry, PVRAX_TRANSACTION Record) {
    for (PVRAX_TRANSACTION* link = &Entry->Head; *link != nullptr; link = &(*link)->Next) {
        if (*link == Record) {
            *link = Record->Next;
            Record->Next = nullptr;
            return TRUE;
        }
    }
    return FALSE;
}

// Ends a record that has been taken out of its list: freed when nobody references it, else
// marked done so that its last release frees it (its sender between sending and releasing,
// or a response being handled). The caller holds the port's transaction lock.
static VOID RetireTransaction(PVRAX_TRANSACTION Record) {
    Record->Next = nullptr;
    Record->Done = 1;
    if (Record->ReferenceCount <= 0) {
        FreeTransaction(Record);
    }
}

// Empties a port's list and resets its counter. The caller holds the port's transaction lock,
// or the port has none and so no records.
static VOID EmptyTransactionList(VRAX_TRANSACTION_ENTRY* Entry) {
    PVRAX_TRANSACTION record = Entry->Head;
    Entry->Head = nullptr;
    Entry->Counter = 0;
    while (record != nullptr) {
        PVRAX_TRANSACTION next = record->Next;
        RetireTransaction(record);
        record = next;
    }
}

_Use_decl_annotations_ int InitTransactions() {
    for (ULONG port = 0; port < VRAX_PORT_COUNT; ++port) {
        WDFWAITLOCK lock = VraxEnsureWaitLock(&TransactionTable[port].Lock);
        if (lock == nullptr) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "transactions: port %u lock failed", port);
            return -1;
        }
        // Records an earlier start-up left behind are freed rather than forgotten.
        VRAX_WAIT_LOCK_HOLDER holder(lock);
        EmptyTransactionList(&TransactionTable[port]);
    }
    return 0;
}

_Use_decl_annotations_ VOID ResetTransactions() {
    for (ULONG port = 0; port < VRAX_PORT_COUNT; ++port) {
        // No lock is created here: without one, no record was ever made on the port.
        WDFWAITLOCK lock = VraxExistingWaitLock(&TransactionTable[port].Lock);
        if (lock != nullptr) {
            WdfWaitLockAcquire(lock, nullptr);
        }
        EmptyTransactionList(&TransactionTable[port]);
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

_Use_decl_annotations_ VOID SetTransactionId(PVRAX_TRANSACTION Record, UCHAR TransactionId) {
    Record->TransactionId = TransactionId;
    // An older record with the same id (never answered, 255 ids ago) is shadowed by this one
    // for good: a look-up stops at the newest. Retiring it keeps a silent control service
    // from growing the list without bound.
    PVRAX_TRANSACTION* link = &Record->Next;
    while (*link != nullptr) {
        PVRAX_TRANSACTION older = *link;
        if (older->TransactionId == TransactionId) {
            *link = older->Next;
            RetireTransaction(older);
        } else {
            link = &older->Next;
        }
    }
}

_Use_decl_annotations_ PVRAX_TRANSACTION NewTransaction(ULONG Size,
                                                        VRAX_TRANSACTION_RELEASE* Release,
                                                        ULONG PortIndex) {
    // The look-up reads the id at the end of the record, so a shorter record is refused.
    if (Size < sizeof(VRAX_TRANSACTION) || PortIndex >= VRAX_PORT_COUNT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: transaction of %u bytes refused",
                    PortIndex, Size);
        return nullptr;
    }
    PVRAX_TRANSACTION record = (PVRAX_TRANSACTION)VraxAllocatePool(Size, VRAX_TAG_DRIVER);
    if (record == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: no memory for a transaction",
                    PortIndex);
        return nullptr;
    }
    RtlZeroMemory(record, Size);
    record->ReferenceCount = 1;
    record->Release = Release;

    WDFWAITLOCK lock = TransactionLock(PortIndex);
    if (lock == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: transaction lock failed", PortIndex);
        VraxFreePool(record, VRAX_TAG_DRIVER);
        return nullptr;
    }
    VRAX_WAIT_LOCK_HOLDER holder(lock);
    VRAX_TRANSACTION_ENTRY* entry = &TransactionTable[PortIndex];
    record->Next = entry->Head;
    entry->Head = record;
    return record;
}

_Use_decl_annotations_ PVRAX_TRANSACTION FindTransaction(ULONG PortIndex, UCHAR TransactionId) {
    if (PortIndex >= VRAX_PORT_COUNT || TransactionId == 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: no transaction %u", PortIndex,
                    TransactionId);
        return nullptr;
    }
    WDFWAITLOCK lock = VraxExistingWaitLock(&TransactionTable[PortIndex].Lock);
    if (lock == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: no transactions", PortIndex);
        return nullptr;
    }
    VRAX_WAIT_LOCK_HOLDER holder(lock);
    for (PVRAX_TRANSACTION record = TransactionTable[PortIndex].Head; record != nullptr;
         record = record->Next) {
        if (record->TransactionId != TransactionId) {
            continue;
        }
        // The newest record with the id decides: once it is done, an older one that it
        // shadows is not answered either.
        if (record->Done != 0) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: transaction %u answered already",
                        PortIndex, TransactionId);
            return nullptr;
        }
        record->ReferenceCount++;
        return record;
    }
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: transaction %u not found", PortIndex,
                TransactionId);
    return nullptr;
}

_Use_decl_annotations_ VOID ReleaseTransaction(PVRAX_TRANSACTION Record, BOOLEAN Finish,
                                               ULONG PortIndex) {
    // The lock exists: it was created when the record was listed.
    WDFWAITLOCK lock = TransactionLock(PortIndex);
    if (lock == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: release without transaction lock",
                    PortIndex);
        return;
    }
    BOOLEAN free = FALSE;
    {
        VRAX_WAIT_LOCK_HOLDER holder(lock);
        Record->ReferenceCount--;
        if (Finish || Record->Done != 0) {
            Record->Done = 1;
            if (Record->ReferenceCount <= 0) {
                // Not listed any more after a reset; it is this release's to free all the same.
                (VOID) UnlinkTransaction(&TransactionTable[PortIndex], Record);
                free = TRUE;
            }
        }
    }
    if (free) {
        FreeTransaction(Record);
    }
}
