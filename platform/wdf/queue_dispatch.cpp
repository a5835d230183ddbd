// The queue's event loop (FxIoQueue::DispatchEvents) and the presentation of requests to the
// driver (FxIoQueue::DispatchRequestToDriver). The loop runs on the calling thread; see
// queue.h for which callers run it and when it is deferred to the queue's worker.
#include <algorithm>

#include "core/driver_call.h"
#include "core/pause_points.h"
#include "wdf/queue.h"
#include "wdf/request.h"

namespace platform::wdf {

// FxIoQueue::CanThreadDispatchEventsLocked: whether the calling thread may run the loop.
bool fx_queue::must_defer_locked(const thread_record& me) const {
    // A passive-level queue never calls the driver above PASSIVE_LEVEL.
    if (passive_ && me.irql > PASSIVE_LEVEL)
        return true;
    // A thread that holds the queue's callback lock (a callback serialised with the queue, or
    // the driver's WdfObjectAcquireLock) would take it again for the queue's callback: the
    // framework defers to its DPC or, when passive, to its work item. Every queue has the
    // lock, whatever its scope.
    return callback_lock_->held_by_current();
}

// Hands the loop to the worker thread (m_WorkItemQueued, m_DpcQueued). The worker runs the
// loop once more for every posting, so work posted while it is already running is not lost
// (m_RequeueDeferredDispatcher).
void fx_queue::post_to_worker_locked() {
    if (!worker_->thread && !worker_->stop)
        start_worker_thread_locked();
    worker_->posted = true;
    scheduler::get().wake();
}

// DispatchInternalEvents: the loop is run only when no thread runs it, so a completion,
// cancellation or forward inside one of the queue's callbacks presents nothing on its stack;
// the running loop picks the new state up once the callback returns.
void fx_queue::dispatch_internal_events(std::unique_lock<std::mutex>& lk) {
    if (dispatching_ == 0) {
        dispatch_events(lk);
    } else {
        scheduler::get().wake();
    }
}

// Delivers events until none can be delivered. Lock held on entry and on return; dropped
// around each driver callback. Callers keep the queue referenced.
void fx_queue::dispatch_events(std::unique_lock<std::mutex>& lk) {
    auto& s = scheduler::get();
    if (closed_) {
        return;
    }
    thread_record& me = s.current_locked();
    if (must_defer_locked(me)) {
        post_to_worker_locked();
        return;
    }
    // Counted before any callback, so that a completion inside a callback does not re-enter.
    ++dispatching_;
    dispatchers_.push_back(&me);
    while (deliver_next(lk)) {
    }
    dispatchers_.erase(std::find(dispatchers_.rbegin(), dispatchers_.rend(), &me).base() - 1);
    --dispatching_;
    s.wake();
}

bool fx_queue::in_own_loop_locked() const {
    thread_record* me = &scheduler::get().current_locked();
    return std::find(dispatchers_.begin(), dispatchers_.end(), me) != dispatchers_.end();
}

// One step of the loop, in the framework's order: cancellations, the stop and purge
// completions, power transitions, then (when the queue is powered and dispatching) ready
// notification or presentation. Returns false when nothing could be delivered.
bool fx_queue::deliver_next(std::unique_lock<std::mutex>& lk) {
    if (closed_)
        return false;
    if (deliver_cancellation(lk))
        return true;
    if (deliver_state_callback(lk))
        return true;
    if (power_ != power::on && power_ != power::off)
        return advance_power(lk);
    if (power_ == power::off || !dispatch_)
        return false;
    if (config_.DispatchType == WdfIoQueueDispatchManual)
        return deliver_ready(lk);
    return present_next(lk);
}

// Cancel routines of driver-owned requests, then EvtIoCanceledOnQueue; held back while
// EvtIoStop or EvtIoResume notices are being delivered (ProcessCancelledRequests).
bool fx_queue::deliver_cancellation(std::unique_lock<std::mutex>& lk) {
    if (power_notifying_locked())
        return false;
    if (!cancelled_for_driver_.empty()) {
        fx_request* r = cancelled_for_driver_.front();
        cancelled_for_driver_.pop_front();
        WDFREQUEST h = r->handle_as<WDFREQUEST>();
        // The framework drops the queue's reference on the request only after InvokeCancel
        // has returned (ProcessCancelledRequests): the routine may wake another thread that
        // completes the request, and the object and its context stay until the routine is
        // done with them. Released without the lock: the last release runs the driver's
        // destroy callbacks.
        r->add_ref();
        if (pause_points::armed_count() != 0) {
            // The routine is due and not delivered: the driver completing the request
            // elsewhere now is still the verifier's "completed while cancelable".
            lk.unlock();
            pause_points::reach("cancel-routine", h);
            lk.lock();
        }
        PFN_WDF_REQUEST_CANCEL routine = r->cancel_routine;
        r->cancel_delivered = true;
        call_driver(lk, "EvtRequestCancel", r, [&] { routine(h); });
        lk.unlock();
        r->release();
        lk.lock();
        return true;
    }
    if (!cancelled_on_queue_.empty()) {
        fx_request* r = cancelled_on_queue_.front();
        cancelled_on_queue_.pop_front();
        WDFREQUEST h = r->handle_as<WDFREQUEST>();
        WDFQUEUE self = handle_as<WDFQUEUE>();
        auto fn = config_.EvtIoCanceledOnQueue;
        call_driver(lk, "EvtIoCanceledOnQueue", r, [&] { fn(self, h); });
        return true;
    }
    return false;
}

// ProcessIdleComplete / ProcessPurgeComplete: delivered by the last thread in the loop once
// the driver owns nothing more (and, for a purge or drain, nothing waits in the queue).
bool fx_queue::deliver_state_callback(std::unique_lock<std::mutex>& lk) {
    auto& s = scheduler::get();
    WDFQUEUE self = handle_as<WDFQUEUE>();
    bool idle_due = (idle_done_ || idle_flag_) && dispatching_ == 1 && driver_count == 0;
    bool purge_due =
        (purge_done_ || purge_flag_) && dispatching_ == 1 && driver_count == 0 && queued.empty();
    if (!idle_due && !purge_due)
        return false;
    PFN_WDF_IO_QUEUE_STATE& done = idle_due ? idle_done_ : purge_done_;
    WDFCONTEXT& context = idle_due ? idle_context_ : purge_context_;
    bool*& flag = idle_due ? idle_flag_ : purge_flag_;
    cancel_dispatched_ = false;  // no more driver-owned requests
    if (flag != nullptr) {
        *flag = true;
        flag = nullptr;
        s.wake();
    }
    if (done != nullptr) {
        auto fn = done;
        WDFCONTEXT ctx = context;
        done = nullptr;
        context = nullptr;
        // The stop-complete callback is not serialised with the queue; purge-complete is.
        call_driver(
            lk, "EvtIoQueueState", nullptr, [&] { fn(self, ctx); }, !idle_due);
    }
    return true;
}

// ProcessReadyNotify: a manual queue tells the driver it went from empty to not empty.
bool fx_queue::deliver_ready(std::unique_lock<std::mutex>& lk) {
    if (ready_ == nullptr || !transition_from_empty_ || queued.empty())
        return false;
    transition_from_empty_ = false;
    auto fn = ready_;
    WDFCONTEXT ctx = ready_context_;
    WDFQUEUE self = handle_as<WDFQUEUE>();
    call_driver(lk, "EvtIoQueueState", nullptr, [&] { fn(self, ctx); });
    return true;
}

// Takes the oldest request whose IRP is not being cancelled right now and presents it, when
// the dispatch type allows one more request in the driver.
bool fx_queue::present_next(std::unique_lock<std::mutex>& lk) {
    if (config_.DispatchType == WdfIoQueueDispatchSequential && driver_count > 0)
        return false;
    if (config_.DispatchType == WdfIoQueueDispatchParallel &&
        driver_count >= config_.Settings.Parallel.NumberOfPresentedRequests) {
        return false;
    }
    for (auto it = queued.begin(); it != queued.end(); ++it) {
        fx_request* r = *it;
        if (!r->disarm_irp_cancel())
            continue;  // its cancel routine is running and takes it out
        queued.erase(it);
        take_for_driver_locked(r);
        present(lk, r);
        return true;
    }
    return false;
}

// Hands a request the queue took out for the driver to the callback for its kind, or
// completes it when the queue has none or the request is a zero-length transfer the queue
// does not want. Lock held.
void fx_queue::present(std::unique_lock<std::mutex>& lk, fx_request* r) {
    WDFQUEUE self = handle_as<WDFQUEUE>();
    WDFREQUEST h = r->handle_as<WDFREQUEST>();
    UCHAR major = r->major();
    PIRP irp = r->irp();
    size_t length = r->transfer_length();
    size_t out = irp->output_length, in = irp->input_length;
    ULONG code = irp->ioctl_code;
    bool zero = (major == IRP_MJ_READ || major == IRP_MJ_WRITE) && length == 0;

    std::function<void()> fn;
    const char* role = nullptr;
    if (major == IRP_MJ_READ && config_.EvtIoRead) {
        fn = [cb = config_.EvtIoRead, self, h, length] { cb(self, h, length); };
        role = "EvtIoRead";
    } else if (major == IRP_MJ_WRITE && config_.EvtIoWrite) {
        fn = [cb = config_.EvtIoWrite, self, h, length] { cb(self, h, length); };
        role = "EvtIoWrite";
    } else if (major == IRP_MJ_DEVICE_CONTROL && config_.EvtIoDeviceControl) {
        fn = [cb = config_.EvtIoDeviceControl, self, h, out, in, code] {
            cb(self, h, out, in, code);
        };
        role = "EvtIoDeviceControl";
    } else if (major == IRP_MJ_INTERNAL_DEVICE_CONTROL && config_.EvtIoInternalDeviceControl) {
        fn = [cb = config_.EvtIoInternalDeviceControl, self, h, out, in, code] {
            cb(self, h, out, in, code);
        };
        role = "EvtIoInternalDeviceControl";
    } else if (config_.EvtIoDefault) {
        fn = [cb = config_.EvtIoDefault, self, h] { cb(self, h); };
        role = "EvtIoDefault";
    }

    if (!fn || (zero && !config_.AllowZeroLengthRequests)) {
        lk.unlock();
        r->complete(fn ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST, 0, true);
        lk.lock();
        return;
    }
    r->presented = true;
    r->received_by = role;
    call_driver(lk, role, r, fn);
}

// Runs one driver callback of this queue with no platform lock held, under the queue's
// callback lock when its scope asks for it and `serialised` (every callback but
// stop-complete), inside the verifier's guard (which checks the IRQL and the locks the
// callback returns with). The request, if any, may be gone when this returns.
void fx_queue::call_driver(std::unique_lock<std::mutex>& lk, const char* role, fx_request* r,
                           const std::function<void()>& fn, bool serialised) {
    const void* request = r != nullptr ? static_cast<const void*>(r->handle()) : nullptr;
    const char* kind = r != nullptr ? io_kind_name(r->major()) : "";
    lk.unlock();
    {
        callback_lock_hold hold(serialised_ && serialised ? callback_lock_ : nullptr);
        verifier::driver_call call({role, handle(), request, kind});
        fn();
        hold.check_returned(role);
        call.returned();
    }
    lk.lock();
}

}  // namespace platform::wdf
