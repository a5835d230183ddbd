// Callback locks: the lock the framework holds around a driver callback when the object's
// synchronisation scope asks for it (the framework's FxCallbackLock, as FxCallbackSpinLock at
// dispatch level and FxCallbackMutexLock at passive level).
//
// Which objects have one (FxIoQueue::ConfigureConstraints, FxDeviceBase::ConfigureConstraints,
// FxGetCallbackLock):
//   - every device: a spin lock when its execution level resolves to dispatch level (its
//     callbacks then run at DISPATCH_LEVEL), a passive lock when it resolves to passive level;
//   - every queue: one of its own, of the kind its execution level gives; a queue with
//     WdfSynchronizationScopeDevice uses its device's lock instead;
//   - a file object: its device's lock when the device's file-object attributes ask for device
//     scope, none otherwise;
//   - nothing else.
// The lock exists even when the scope is WdfSynchronizationScopeNone: WdfObjectAcquireLock on
// such a queue or device takes it, but no framework callback does.
//
// Whose callbacks run under it: with queue or device scope, every I/O callback of the queue,
// EvtIoStop, EvtIoResume, EvtIoCanceledOnQueue, ready and purge-complete notifications and
// the cancel routines of the queue's requests; and the callbacks of work items and timers
// created with AutomaticSerialization whose effective lock (`effective_callback_lock`) is it.
//
// Every acquisition is reported to the lock tracker, the driver's own (WdfObjectAcquireLock)
// with its call site, so lock-order inversions with the driver's locks and locks still held
// when a callback returns are reported. Acquiring a callback lock the thread already holds is
// WDF_VIOLATION (WDF_RECURSIVE_LOCK), as the framework bug-checks it.
#pragma once

#include <wdf.h>

#include <string_view>

#include "wdf/fx_lock.h"

namespace platform::wdf {

class fx_object;

class fx_callback_lock {
  public:
    enum class kind { spin, passive };

    // `name` ("WDFQUEUE callback lock") must outlive the lock (a literal).
    fx_callback_lock(kind k, std::string_view name);
    fx_callback_lock(const fx_callback_lock&) = delete;
    fx_callback_lock& operator=(const fx_callback_lock&) = delete;

    kind lock_kind() const { return kind_; }
    // The handle of the object the lock belongs to, for reports.
    void identify(const void* handle);

    // `site` is the return address into the driver's WdfObjectAcquireLock call, null when
    // the framework acquires the lock around a callback. A spin lock raises to DISPATCH_LEVEL
    // until it is released; a passive lock needs PASSIVE_LEVEL.
    void acquire(const void* site = nullptr);
    void release();
    bool held_by_current() const;

    // "WDFQUEUE callback lock 0x18", for reports.
    std::string describe() const;

  private:
    kind kind_;
    std::string_view name_;
    const void* handle_ = nullptr;
    fx_spin_lock spin_;
    fx_passive_lock passive_;
    // Where the owner acquired it (null: the framework). Written and read only by the owner.
    const void* owner_site_ = nullptr;
};

// The object's own callback lock, as WdfObjectAcquireLock finds it (FxGetCallbackLock): a
// queue's (its device's under device scope), a device's, a device-scoped file object's; null
// for any other object.
fx_callback_lock* object_callback_lock(fx_object* object);

// The callback lock of a device (made on first use, of the kind the device's execution level
// gives; it lives as long as the process, so a lock address is never reused).
fx_callback_lock* device_callback_lock(fx_object* device);

// FxObject::_GetEffectiveLock: the lock the callbacks of an object created under `parent` with
// `automatic_serialization` run under. `passive_callbacks` says whether those callbacks run at
// PASSIVE_LEVEL (a work item; a timer created with WdfExecutionLevelPassive).
//   - No automatic serialisation: no lock.
//   - The nearest object from `parent` up that has callbacks (a queue, file object or device)
//     has no scope: no lock (AutomaticSerialization is accepted and serialises nothing).
//   - Otherwise the callbacks must run at the level `parent` delivers its own callbacks at
//     (a passive-level parent for passive callbacks, a dispatch-level one for the others):
//     STATUS_WDF_INCOMPATIBLE_EXECUTION_LEVEL when they would not.
//   - STATUS_INVALID_DEVICE_REQUEST when no such object leads to `parent`.
// On success `*lock` is that object's callback lock or null.
NTSTATUS effective_callback_lock(fx_object* parent, bool automatic_serialization,
                                 bool passive_callbacks, fx_callback_lock** lock);

// Holds a callback lock (or nothing, for null) around one driver callback: acquired on
// construction, released on destruction. `check_returned` reports a callback that released
// the lock the framework held for it (WdfObjectReleaseLock inside its own callback); call it
// right after the callback returns.
class callback_lock_hold {
  public:
    explicit callback_lock_hold(fx_callback_lock* lock);
    ~callback_lock_hold();
    callback_lock_hold(const callback_lock_hold&) = delete;
    callback_lock_hold& operator=(const callback_lock_hold&) = delete;

    void check_returned(std::string_view callback) const;

  private:
    fx_callback_lock* lock_;
};

}  // namespace platform::wdf
