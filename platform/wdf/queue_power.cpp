// Power changes and the removal purges of a queue (FxIoQueue::StartPowerTransitionOff,
// StopProcessingForPower, ResumeProcessingForPower, ProcessPowerEvents). The PnP thread sets
// the power state and runs the loop, so EvtIoStop and EvtIoResume are called on the PnP
// thread unless another thread is in the loop at the time; it then waits through the
// scheduler until the loop has carried the transition through.
#include <algorithm>

#include "core/bugcheck.h"
#include "wdf/queue.h"
#include "wdf/request.h"

namespace platform::wdf {
namespace {

std::mutex& sched_lock() {
    return scheduler::get().lock();
}

constexpr ticks removal_grace = 30 * ticks_per_second;

}  // namespace

// While stop or resume notices are being delivered, cancellations wait (ProcessCancelledRequests
// holds them back so a request is not both stopped and cancelled in one pass).
bool fx_queue::power_notifying_locked() const {
    return (power_ == power::stopping || power_ == power::purging || power_ == power::restarting) &&
           !stop_notify_.empty();
}

// Every request the driver owns that is not cancelled and not already told is due for
// EvtIoStop. Lock held.
void fx_queue::notify_owned_locked() {
    for (fx_request* r : driver_owned) {
        if (r->canceled || r->stop == fx_request::stop_state::notified)
            continue;
        r->stop = fx_request::stop_state::notified;
        r->add_ref();  // dropped once the notice is delivered
        stop_notify_.push_back(r);
    }
}

// One step of a power transition (ProcessPowerEvents). Returns true to continue the loop.
bool fx_queue::advance_power(std::unique_lock<std::mutex>& lk) {
    auto& s = scheduler::get();
    switch (power_) {
        case power::leaving:
            return false;  // the PnP thread waits for every loop to end
        case power::stopping:
        case power::purging:
        case power::restarting:
            if (!stop_notify_.empty())
                return deliver_stop_or_resume(lk);
            if (power_ == power::restarting) {
                power_ = power::on;
                if (!queued.empty())
                    transition_from_empty_ = true;
            } else {
                power_ = power_ == power::stopping ? power::stop_wait : power::purge_wait;
            }
            s.wake();
            return true;
        case power::stop_wait:
            if (std::any_of(driver_owned.begin(), driver_owned.end(), [](fx_request* r) {
                    return r->stop == fx_request::stop_state::notified;
                })) {
                return false;  // acknowledgements and completions run the loop again
            }
            power_ = power::off;
            s.wake();
            return true;
        case power::purge_wait:
            if (driver_count != 0)
                return false;
            power_ = power::off;
            s.wake();
            return true;
        case power::on:
        case power::off:
            break;
    }
    return false;
}

// EvtIoStop (suspend or purge, with the cancelable flag) or EvtIoResume for the next request
// due. A request completed or cancelled meanwhile gets no notice.
bool fx_queue::deliver_stop_or_resume(std::unique_lock<std::mutex>& lk) {
    fx_request* r = stop_notify_.front();
    stop_notify_.pop_front();
    bool live = r->where == fx_request::place::driver && r->queue == this && !r->canceled;
    WDFQUEUE self = handle_as<WDFQUEUE>();
    WDFREQUEST h = r->handle_as<WDFREQUEST>();
    if (live && power_ == power::restarting && config_.EvtIoResume) {
        auto fn = config_.EvtIoResume;
        call_driver(lk, "EvtIoResume", r, [&] { fn(self, h); });
    } else if (live && power_ != power::restarting && config_.EvtIoStop) {
        ULONG flags =
            power_ == power::purging ? WdfRequestStopActionPurge : WdfRequestStopActionSuspend;
        if (r->cancelable && !r->cancel_taken)
            flags |= WdfRequestStopRequestCancelable;
        r->in_stop_callback = true;
        auto fn = config_.EvtIoStop;
        call_driver(lk, "EvtIoStop", r, [&] { fn(self, h, flags); });
        r->in_stop_callback = false;
    }
    // Without EvtIoStop the transition waits until the driver completes the request.
    lk.unlock();
    r->release();  // the reference taken when the notice was queued
    lk.lock();
    return true;
}

void fx_queue::power_down() {
    if (!power_managed_)
        return;
    fx_ref keep(this);
    std::unique_lock lk(sched_lock());
    if (power_ != power::on)
        return;
    // First no presentation and no thread in the loop, then the notices.
    power_ = power::leaving;
    wait_for(
        lk, [&] { return dispatching_ == 0 || closed_; }, "queue power-down: loops to end");
    power_ = power::stopping;
    notify_owned_locked();
    dispatch_events(lk);
    wait_for(
        lk, [&] { return power_ == power::off || closed_; }, "queue power-down");
}

void fx_queue::power_up() {
    if (!power_managed_)
        return;
    fx_ref keep(this);
    std::unique_lock lk(sched_lock());
    if (power_ != power::off || shutdown_)
        return;
    power_ = power::restarting;
    for (fx_request* r : driver_owned) {
        if (r->suspended) {
            r->suspended = false;
            r->stop = fx_request::stop_state::none;
            r->add_ref();
            stop_notify_.push_back(r);
        } else if (r->stop == fx_request::stop_state::acknowledged) {
            r->stop = fx_request::stop_state::none;
        }
    }
    dispatch_events(lk);
    wait_for(
        lk, [&] { return power_ != power::restarting || closed_; }, "queue power-up");
}

void fx_queue::purge_for_surprise_removal() {
    if (power_managed_)
        purge_for_removal("queue purge at surprise removal");
}

void fx_queue::purge_for_remove() {
    purge_for_removal("queue purge at removal");
}

// StopProcessingForPower(PurgeManaged / PurgeNonManaged): accept nothing more for good,
// cancel what waits and what the driver made cancelable, EvtIoStop (purge) for the rest,
// then wait until the driver has completed every request it owns.
void fx_queue::purge_for_removal(const char* what) {
    fx_ref keep(this);
    {
        std::lock_guard g(sched_lock());
        if (removal_purged_)
            return;
        removal_purged_ = true;
        shutdown_ = true;
        accept_ = false;
    }
    purge(true, nullptr, nullptr, false, what);
    std::unique_lock lk(sched_lock());
    power_ = power::purging;
    notify_owned_locked();
    dispatch_events(lk);
    wait_for_removal_purge(lk, what);
}

// The removal purge waits for the driver, but not for ever: a request the driver never
// completes is reported by the callback that received it.
void fx_queue::wait_for_removal_purge(std::unique_lock<std::mutex>& lk, const char* what) {
    auto& s = scheduler::get();
    lk.unlock();
    ticks deadline = s.now() + removal_grace;
    lk.lock();
    std::function<bool()> ready = [&] { return power_ == power::off || closed_; };
    if (!s.block(lk, ready, deadline, what))
        report_never_completed("removed");
}

}  // namespace platform::wdf
