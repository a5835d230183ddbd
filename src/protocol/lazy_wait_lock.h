// Wait locks of the protocol layer are created at start-up and, wherever an operation finds
// one still missing, on the spot before it is taken. Two threads may find the same lock
// missing; both create one, the first to publish wins and the other deletes its own, so
// every thread ends up taking the same lock.
//
// A lock is a child of the control device when there is one, and the slot it was published
// in is emptied when the framework deletes it with the device: a handle in the protocol
// tables never outlives its lock, and the next device in the same driver image gets new ones.
#pragma once

#include <ntddk.h>
#include <wdf.h>

// Returns the lock in *Slot, creating it first when the slot is empty. NULL when it had to
// be created and creation failed.
_IRQL_requires_(PASSIVE_LEVEL) WDFWAITLOCK VraxEnsureWaitLock(_Inout_ WDFWAITLOCK volatile* Slot);

// The lock in *Slot, or NULL when there is none; never creates one.
_IRQL_requires_max_(DISPATCH_LEVEL) WDFWAITLOCK
    VraxExistingWaitLock(_In_ WDFWAITLOCK volatile* Slot);
