// Framework wait locks and spin locks as objects. The acquire routines pass the driver's call
// site on, so the verifier's lock reports say where the driver took each lock.
#include "core/faults.h"
#include "core/pause_points.h"
#include "core/scheduler.h"
#include "wdf/fx_lock.h"
#include "wdf/fx_object.h"

namespace platform::wdf {
namespace {

class fx_wait_lock : public fx_object {
  public:
    fx_wait_lock() : fx_object(fx_type::wait_lock) {}
    fx_passive_lock lock{"wait lock"};

  protected:
    ~fx_wait_lock() override = default;
};

class fx_spin_lock_object : public fx_object {
  public:
    fx_spin_lock_object() : fx_object(fx_type::spin_lock) {}
    fx_spin_lock lock{"framework spin lock"};

  protected:
    ~fx_spin_lock_object() override = default;
};

}  // namespace
}  // namespace platform::wdf

using namespace platform;
using namespace platform::wdf;

extern "C" {

NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock) {
    if (auto st = faults::fault_point("WdfWaitLockCreate"))
        return *st;
    if (Lock == nullptr)
        violation("WdfWaitLockCreate: Lock is NULL");
    *Lock = nullptr;
    auto* lock = new fx_wait_lock;
    NTSTATUS status = lock->commit(LockAttributes, fx_driver_root(), attr_none);
    if (!NT_SUCCESS(status)) {
        fx_object::discard(lock);
        return status;
    }
    *Lock = lock->handle_as<WDFWAITLOCK>();
    lock->lock.identify(*Lock);
    return STATUS_SUCCESS;
}

NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout) {
    platform::pause_points::reach("WdfWaitLockAcquire", Lock);
    auto fault = faults::fault_point("WdfWaitLockAcquire");
    auto* lock = fx_get<fx_wait_lock>(Lock, fx_type::wait_lock, "WdfWaitLockAcquire");
    // Only an acquisition with a time-out can fail; its one failure is the time-out.
    if (fault && Timeout != nullptr)
        return *fault;
    return lock->lock.acquire(Timeout, __builtin_return_address(0)) ? STATUS_SUCCESS
                                                                    : STATUS_TIMEOUT;
}

VOID WdfWaitLockRelease(WDFWAITLOCK Lock) {
    platform::pause_points::reach("WdfWaitLockRelease", Lock);
    fx_get<fx_wait_lock>(Lock, fx_type::wait_lock, "WdfWaitLockRelease")->lock.release();
    scheduler::get().sync_point("WdfWaitLockRelease");
}

NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock) {
    if (auto st = faults::fault_point("WdfSpinLockCreate"))
        return *st;
    if (SpinLock == nullptr)
        violation("WdfSpinLockCreate: SpinLock is NULL");
    *SpinLock = nullptr;
    auto* lock = new fx_spin_lock_object;
    NTSTATUS status = lock->commit(SpinLockAttributes, fx_driver_root(), attr_none);
    if (!NT_SUCCESS(status)) {
        fx_object::discard(lock);
        return status;
    }
    *SpinLock = lock->handle_as<WDFSPINLOCK>();
    lock->lock.identify(*SpinLock);
    return STATUS_SUCCESS;
}

VOID WdfSpinLockAcquire(WDFSPINLOCK SpinLock) {
    scheduler::get().sync_point("WdfSpinLockAcquire");
    fx_get<fx_spin_lock_object>(SpinLock, fx_type::spin_lock, "WdfSpinLockAcquire")
        ->lock.acquire(__builtin_return_address(0));
}

VOID WdfSpinLockRelease(WDFSPINLOCK SpinLock) {
    fx_get<fx_spin_lock_object>(SpinLock, fx_type::spin_lock, "WdfSpinLockRelease")->lock.release();
    scheduler::get().sync_point("WdfSpinLockRelease");
}

}  // extern "C"
