// Holds a framework wait lock for one scope, so that every path out of the scope releases it.
#pragma once

#include <ntddk.h>
#include <wdf.h>

struct VRAX_WAIT_LOCK_HOLDER {
    WDFWAITLOCK Lock;

    _IRQL_requires_max_(PASSIVE_LEVEL) explicit VRAX_WAIT_LOCK_HOLDER(WDFWAITLOCK WaitLock)
        : Lock(WaitLock) {
        WdfWaitLockAcquire(Lock, nullptr);
    }
    ~VRAX_WAIT_LOCK_HOLDER() { WdfWaitLockRelease(Lock); }
    VRAX_WAIT_LOCK_HOLDER(const VRAX_WAIT_LOCK_HOLDER&) = delete;
    VRAX_WAIT_LOCK_HOLDER& operator=(const VRAX_WAIT_LOCK_HOLDER&) = delete;
};
