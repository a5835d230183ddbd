// Wait locks of the protocol layer are created at start-up and, wherever an operation finds
// one still missing, on the spot before it is taken. Two threads may find the same lock
// missing; both create one, the first to publish wins and the other deletes its own, so
// every thread ends up taking the same lock.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "../vrax_device.h"

// Returns the lock in *Slot, creating it first when the slot is empty (parented to the
// control device when there is one). NULL when it had to be created and creation failed.
_IRQL_requires_(PASSIVE_LEVEL) inline WDFWAITLOCK
    VraxEnsureWaitLock(_Inout_ WDFWAITLOCK volatile* Slot) {
    PVOID volatile* slot = (PVOID volatile*)Slot;
    WDFWAITLOCK lock = (WDFWAITLOCK)InterlockedCompareExchangePointer(slot, nullptr, nullptr);
    if (lock != nullptr) {
        return lock;
    }

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = ControlDevice;
    WDFWAITLOCK created = nullptr;
    NTSTATUS status = WdfWaitLockCreate(
        ControlDevice != nullptr ? &attributes : WDF_NO_OBJECT_ATTRIBUTES, &created);
    if (!NT_SUCCESS(status)) {
        return nullptr;
    }
    WDFWAITLOCK winner =
        (WDFWAITLOCK)InterlockedCompareExchangePointer(slot, (PVOID)created, nullptr);
    if (winner != nullptr) {
        WdfObjectDelete(created);
        return winner;
    }
    return created;
}
