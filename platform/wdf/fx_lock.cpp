// Passive (wait) and spin locks on the scheduler, reporting to the lock tracker.
#include "wdf/fx_lock.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "core/bugcheck.h"
#include "core/driver_call.h"
#include "core/lock_tracker.h"
#include "core/scheduler.h"
#include "core/symbolizer.h"
#include "kernel/kernel.h"

namespace platform::wdf {
namespace {

constexpr std::uint8_t dispatch_irql = 2;

std::string name_of(std::string_view kind, const void* handle, const void* lock) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", handle != nullptr ? handle : lock);
    return std::string(kind) + " " + buf;
}

// ", called from VraxFoo (src/foo.cpp:12) in EvtIoRead (...)": the driver's call and the
// driver callback it was made from, when known.
std::string where(const void* site) {
    std::string out = site != nullptr ? ", called from " + symbolizer::describe(site) : "";
    std::string call = verifier::describe_current_call();
    return call.empty() ? out : out + " " + call;
}

}  // namespace

fx_passive_lock::~fx_passive_lock() {
    lock_tracker::forget(this);
}

bool fx_passive_lock::acquire(const LONGLONG* timeout, const void* site) {
    auto& s = scheduler::get();
    thread_record& me = s.current();
    bool waits = timeout == nullptr || *timeout != 0;
    if (waits && me.irql > 0) {
        // WdfWaitLockAcquire: a time-out other than zero needs PASSIVE_LEVEL, although kernel
        // waits with one are allowed at APC_LEVEL.
        bug_check(bug_code::irql_not_less_or_equal,
                  name_of(kind_, handle_, this) + " acquired with " +
                      (timeout == nullptr ? "no time-out" : "a non-zero time-out") + " at IRQL " +
                      std::to_string(me.irql) +
                      " (only a zero time-out is allowed above PASSIVE_LEVEL)" + where(site),
                  me.irql, reinterpret_cast<std::uintptr_t>(this));
    }
    if (lock_tracker::held_by_current(this)) {
        lock_tracker::on_acquire(this, kind_, handle_, site);  // reports the recursion
    }
    ticks deadline = kernel::deadline_of(timeout);
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
    lock_tracker::on_acquire(this, kind_, handle_, site);
    return true;
}

void fx_passive_lock::release() {
    lock_tracker::on_release(this, kind_, handle_);  // reports a release by a non-owner
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

void fx_spin_lock::acquire(const void* site) {
    auto& s = scheduler::get();
    thread_record& me = s.current();
    if (me.irql > dispatch_irql) {
        bug_check(bug_code::irql_not_less_or_equal,
                  name_of(kind_, handle_, this) + " acquired above DISPATCH_LEVEL" + where(site),
                  me.irql);
    }
    if (lock_tracker::held_by_current(this)) {
        lock_tracker::on_acquire(this, kind_, handle_, site);  // reports the recursion
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
    lock_tracker::on_acquire(this, kind_, handle_, site);
}

void fx_spin_lock::release() {
    lock_tracker::on_release(this, kind_, handle_);  // reports a release by a non-owner
    auto& s = scheduler::get();
    thread_record& me = s.current();
    std::lock_guard lk(s.lock());
    me.irql = saved_irql_;
    owner_ = nullptr;
    s.wake();
}

bool fx_spin_lock::held_by_current() const {
    return lock_tracker::held_by_current(this);
}

}  // namespace platform::wdf
