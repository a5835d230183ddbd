// Lazily created wait locks and the clean-up that empties their slot when the framework
// deletes them.
#include <ntddk.h>
#include <wdf.h>

#include "lazy_wait_lock.h"

namespace {

// The slot a lock was published in (or was offered to, for the loser of a race).
typedef struct _VRAX_LOCK_SLOT_CONTEXT {
    WDFWAITLOCK volatile* Slot;
} VRAX_LOCK_SLOT_CONTEXT, *PVRAX_LOCK_SLOT_CONTEXT;

}  // namespace

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(VRAX_LOCK_SLOT_CONTEXT, GetLockSlotContext)

static EVT_WDF_OBJECT_CONTEXT_CLEANUP VraxWaitLockCleanup;

// Empties the slot only if it still holds this lock: a lock that lost its race was never
// published.
_Use_decl_annotations_ static VOID VraxWaitLockCleanup(WDFOBJECT Object) {
    PVRAX_LOCK_SLOT_CONTEXT context = GetLockSlotContext(Object);
    if (context != nullptr && context->Slot != nullptr) {
        InterlockedCompareExchangePointer((PVOID volatile*)context->Slot, nullptr, Object);
    }
}

_Use_decl_annotations_ WDFWAITLOCK VraxExistingWaitLock(WDFWAITLOCK volatile* Slot) {
    return (WDFWAITLOCK)InterlockedCompareExchangePointer((PVOID volatile*)Slot, nullptr, nullptr);
}

_Use_decl_annotations_ WDFWAITLOCK VraxEnsureWaitLock(WDFWAITLOCK volatile* Slot) {
    PVOID volatile* slot = (PVOID volatile*)Slot;
    WDFWAITLOCK lock = VraxExistingWaitLock(Slot);
    if (lock != nullptr) {
        return lock;
    }

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, VRAX_LOCK_SLOT_CONTEXT);
    attributes.EvtCleanupCallback = VraxWaitLockCleanup;
    // No parent given: the driver object is the parent (see the header).
    WDFWAITLOCK created = nullptr;
    NTSTATUS status = WdfWaitLockCreate(&attributes, &created);
    if (!NT_SUCCESS(status)) {
        return nullptr;
    }
    GetLockSlotContext(created)->Slot = Slot;
    WDFWAITLOCK winner =
        (WDFWAITLOCK)InterlockedCompareExchangePointer(slot, (PVOID)created, nullptr);
    if (winner != nullptr) {
        WdfObjectDelete(created);
        return winner;
    }
    return created;
}
