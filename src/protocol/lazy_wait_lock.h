// Wait locks of the protocol layer are created at start-up and, wherever an operation finds
// one still missing, on the spot before it is taken. Two threads may find the same lock
// missing; both create one, the first to publish wins and the other deletes its own, so
// every thread ends up taking the same lock.
//
// A lock is a child of the driver object, so it lives as long as the driver image: a work
// item or service thread still using it while the control device is deleted (the device's
// children go before their last users have returned) never meets a deleted lock, and the
// next device in the same image takes the same locks. The slot it was published in is
// emptied when the framework deletes it at unload: a handle in the protocol tables never
// outlives its lock, and an image loaded again creates new ones.
#pragma once

#include <ntddk.h>
#include <wdf.h>

// Returns the lock in *Slot, creating it first when the slot is empty. NULL when it had to
// be created and creation failed.
_IRQL_requires_(PASSIVE_LEVEL) WDFWAITLOCK VraxEnsureWaitLock(_Inout_ WDFWAITLOCK volatile* Slot);

// The lock in *Slot, or NULL when there is none; never creates one.
_IRQL_requires_max_(DISPATCH_LEVEL) WDFWAITLOCK
    VraxExistingWaitLock(_In_ WDFWAITLOCK volatile* Slot);
