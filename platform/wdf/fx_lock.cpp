// Passive (wait) and spin locks on the scheduler, reporting to the lock tracker.
#include "wdf/fx_lock.h"

#include <mutex>

#include "core/bugcheck.h"
#include "core/lock_tracker.h"
#include "core/scheduler.h"

namespace platform::wdf {
namespace {

constexpr std::uint8_t dispatch_irql = 2;

// An absolute time-out counts in the scheduler's clock; a relative one from now.
ticks deadline_for(const LONGLONG* timeout) {
    if (timeout == nullptr)
        return no_deadline;
    if (*timeout < 0)
        return scheduler::get().now() - *timeout;
    return *timeout;
}

}  // namespace

fx_passive_lock::~fx_passive_lock() {
    lock_tracker::forget(this);
}

bool fx_passive_lock::acquire(const LONGLONG* timeout) {
    auto& s = scheduler::get();
    thread_record& me = s.current();
    bool waits = timeout == nullptr || *timeout != 0;
    if (waits && me.irql > 0) {
        bug_check(bug_code::irql_not_less_or_equal,
                  std::string(kind_) + " acquired with a wait above PASSIVE_LEVEL", me.irql,
                  reinterpret_cast<std::uintptr_t>(this));
    }
    if (lock_tracker::held_by_current(this)) {
        lock_tracker::on_acquire(this, kind_);  // reports the recursion
        bug_check(bug_code::driver_verifier_detected_violation,
                  std::string(kind_) + " acquired recursively by its owner");
    }
    ticks deadline = deadline_for(timeout);
    {
        std::unique_lock lk(s.lock());
        if (owner_ != nullptr) {
            if (!waits)
                return false;
            bool got = s.block(
                lk, [this] { return owner_ == nullptr; }, deadline, kind_);
            if (!got)
                return false;
        }
        owner_ = &me;
    }
    lock_tracker::on_acquire(this, kind_);
    return true;
}

void fx_passive_lock::release() {
    if (!lock_tracker::held_by_current(this)) {
        lock_tracker::on_release(this, kind_);  // reports the release by a non-owner
        bug_check(bug_code::driver_verifier_detected_violation,
                  std::string(kind_) + " released by a thread that does not hold it");
    }
    lock_tracker::on_release(this, kind_);
    auto& s = scheduler::get();
    std::lock_guard lk(s.lock());
    owner_ = nullptr;
    s.wake();
}

bool fx_passive_lock::held_by_current() const {
    return lock_tracker::held_by_current(this);
}

fx_spin_lock::~fx_spin_lock() {
    lock_tracker::forget(this);
}

void fx_spin_lock::acquire() {
    auto& s = scheduler::get();
    thread_record& me = s.current();
    if (me.irql > dispatch_irql) {
        bug_check(bug_code::irql_not_less_or_equal,
                  std::string(kind_) + " acquired above DISPATCH_LEVEL", me.irql);
    }
    if (lock_tracker::held_by_current(this)) {
        lock_tracker::on_acquire(this, kind_);
        bug_check(bug_code::driver_verifier_detected_violation,
                  std::string(kind_) + " acquired recursively by its owner");
    }
    std::uint8_t old_irql = me.irql;
    {
        std::unique_lock lk(s.lock());
        if (owner_ != nullptr) {
            s.block(
                lk, [this] { return owner_ == nullptr; }, no_deadline, kind_);
        }
        owner_ = &me;
        saved_irql_ = old_irql;
        me.irql = dispatch_irql;
    }
    lock_tracker::on_acquire(this, kind_);
}

void fx_spin_lock::release() {
    if (!lock_tracker::held_by_current(this)) {
        lock_tracker::on_release(this, kind_);
        bug_check(bug_code::driver_verifier_detected_violation,
                  std::string(kind_) + " released by a thread that does not hold it");
    }
    lock_tracker::on_release(this, kind_);
    auto& s = scheduler::get();
    thread_record& me = s.current();
    std::lock_guard lk(s.lock());
    me.irql = saved_irql_;
    owner_ = nullptr;
    s.wake();
}

}  // namespace platform::wdf
