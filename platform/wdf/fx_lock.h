// The framework's two lock kinds, usable on their own by any framework object: a passive
// lock (wait-lock semantics: may block, optional time-out, PASSIVE_LEVEL only) and a spin
// lock (raises the caller to DISPATCH_LEVEL while held). Both block only through the
// scheduler and report every acquisition and release to the lock tracker, so recursion,
// release by another thread and lock-order inversions are bug checks. Reports name the lock
// by its kind and the driver's handle (`identify`) and each acquisition by the driver's call
// site, which the exported acquire routines capture and pass in.
#pragma once

#include <wdf.h>

#include <cstdint>
#include <string_view>

namespace platform {
struct thread_record;
}

namespace platform::wdf {

class fx_passive_lock {
  public:
    explicit fx_passive_lock(std::string_view kind = "wait lock") : kind_(kind) {}
    ~fx_passive_lock();
    fx_passive_lock(const fx_passive_lock&) = delete;
    fx_passive_lock& operator=(const fx_passive_lock&) = delete;

    // The handle the driver knows the lock by, for reports.
    void identify(const void* handle) { handle_ = handle; }

    // `timeout` as WdfWaitLockAcquire: null waits forever, 0 tries once, negative is
    // relative, positive an absolute system time (100-ns units). Returns false when it timed
    // out. Waiting (anything but a zero time-out) above PASSIVE_LEVEL is a bug check. `site`
    // is the return address into the driver's call, null for the platform's own use.
    bool acquire(const LONGLONG* timeout = nullptr, const void* site = nullptr);
    void release();
    bool held_by_current() const;

  private:
    std::string_view kind_;
    const void* handle_ = nullptr;
    thread_record* owner_ = nullptr;  // guarded by the scheduler lock
};

class fx_spin_lock {
  public:
    explicit fx_spin_lock(std::string_view kind = "spin lock") : kind_(kind) {}
    ~fx_spin_lock();
    fx_spin_lock(const fx_spin_lock&) = delete;
    fx_spin_lock& operator=(const fx_spin_lock&) = delete;

    void identify(const void* handle) { handle_ = handle; }

    // Above DISPATCH_LEVEL is a bug check. Raises to DISPATCH_LEVEL; release restores.
    void acquire(const void* site = nullptr);
    void release();
    bool held_by_current() const;

  private:
    std::string_view kind_;
    const void* handle_ = nullptr;
    thread_record* owner_ = nullptr;  // guarded by the scheduler lock
    std::uint8_t saved_irql_ = 0;
};

}  // namespace platform::wdf
