// Framework synchronisation: wait locks (passive level, may time out) and spin locks, and
// the object-level lock of objects with a synchronisation scope.
#pragma once

#include <wdfobject.h>

WDF_EXTERN_C_START

VOID WdfObjectAcquireLock(WDFOBJECT Object);
VOID WdfObjectReleaseLock(WDFOBJECT Object);

NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock);
// Timeout NULL waits forever; 0 tries once; negative is relative, positive absolute (100 ns).
// Returns STATUS_SUCCESS or STATUS_TIMEOUT.
NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout);
VOID WdfWaitLockRelease(WDFWAITLOCK Lock);

NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock);
VOID WdfSpinLockAcquire(WDFSPINLOCK SpinLock);
VOID WdfSpinLockRelease(WDFSPINLOCK SpinLock);

WDF_EXTERN_C_END
