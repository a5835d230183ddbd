// Driver-requested state changes of a queue: start, stop, stop-and-purge, purge, drain
// (FxIoQueue::QueueStart, QueueIdle, QueuePurge and their synchronous forms), the state bits,
// ready notification and the acknowledgement of EvtIoStop. Each runs the loop on the calling
// thread afterwards, as the framework does, so a state callback or a presentation that the
// change makes due happens in the call when nobody else is delivering.
#include <string>

#include "wdf/queue.h"
#include "wdf/request.h"

namespace platform::wdf {
namespace {

std::mutex& sched_lock() {
    return scheduler::get().lock();
}

}  // namespace

void fx_queue::start() {
    fx_ref keep(this);
    std::unique_lock lk(sched_lock());
    if (!shutdown_)
        accept_ = true;
    dispatch_ = true;
    cancel_dispatched_ = false;
    // Set again so a manual queue stopped during its ready callback is notified once more.
    if (!queued.empty())
        transition_from_empty_ = true;
    dispatch_events(lk);
}

// The common start of a stop and of a purge or drain: a synchronous call from the queue's own
// loop would wait for itself, and a second one of the same kind pending is a driver error.
// Records the driver's state callback and, for a synchronous call, the flag it waits on.
void fx_queue::arm_state_callback_locked(const char* routine, const char* pending_what, bool wait,
                                         PFN_WDF_IO_QUEUE_STATE done, WDFCONTEXT context,
                                         state_callback_slot slot, bool* flag) {
    if (done == nullptr && !wait)
        return;
    if (slot.done != nullptr || slot.flag != nullptr)
        violation(std::string(routine) + ": " + pending_what + " of this queue is already pending");
    slot.done = done;
    slot.context = context;
    if (wait)
        slot.flag = flag;
}

void fx_queue::idle(bool cancel, PFN_WDF_IO_QUEUE_STATE done, WDFCONTEXT context, bool wait,
                    const char* routine) {
    fx_ref keep(this);
    std::unique_lock lk(sched_lock());
    if (wait && in_own_loop_locked()) {
        violation(std::string(routine) + " called from a callback of the same queue" +
                  " (it would wait for itself)");
    }
    if (closed_ || deleting())
        return;
    bool flag = false;
    arm_state_callback_locked(routine, "a stop", wait, done, context,
                              {idle_done_, idle_context_, idle_flag_}, &flag);
    if (!shutdown_)
        accept_ = true;
    dispatch_ = false;
    if (cancel) {
        // Only the requests present now; those that arrive later wait for the next start.
        cancel_dispatched_ = true;
        cancel_present_locked(lk);
        cancel_driver_cancelable_locked();
    }
    dispatch_events(lk);
    if (wait)
        wait_for(
            lk, [&] { return flag; }, "queue stop");
}

void fx_queue::purge(bool cancel, PFN_WDF_IO_QUEUE_STATE done, WDFCONTEXT context, bool wait,
                     const char* routine) {
    fx_ref keep(this);
    std::unique_lock lk(sched_lock());
    if (wait && in_own_loop_locked()) {
        violation(std::string(routine) + " called from a callback of the same queue" +
                  " (it would wait for itself)");
    }
    if (closed_ || deleting())
        return;
    bool flag = false;
    arm_state_callback_locked(routine, "a purge or drain", wait, done, context,
                              {purge_done_, purge_context_, purge_flag_}, &flag);
    accept_ = false;
    if (cancel) {
        cancel_dispatched_ = true;
        cancel_present_locked(lk);
        cancel_driver_cancelable_locked();
    }
    dispatch_events(lk);
    if (wait)
        wait_for(
            lk, [&] { return flag; }, "queue purge");
}

WDF_IO_QUEUE_STATE fx_queue::state(PULONG queued_count, PULONG driver_requests) {
    std::lock_guard g(sched_lock());
    ULONG q = static_cast<ULONG>(queued.size());
    if (queued_count)
        *queued_count = q;
    if (driver_requests)
        *driver_requests = driver_count;
    int st = 0;
    if (accept_)
        st |= WdfIoQueueAcceptRequests;
    if (dispatch_)
        st |= WdfIoQueueDispatchRequests;
    if (q == 0)
        st |= WdfIoQueueNoRequests;
    if (driver_count == 0)
        st |= WdfIoQueueDriverNoRequests;
    if (power_managed_ && power_ != power::on)
        st |= WdfIoQueuePnpHeld;
    return static_cast<WDF_IO_QUEUE_STATE>(st);
}

NTSTATUS fx_queue::ready_notify(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context) {
    if (config_.DispatchType != WdfIoQueueDispatchManual)
        return STATUS_INVALID_DEVICE_REQUEST;
    fx_ref keep(this);
    std::unique_lock lk(sched_lock());
    if (callback != nullptr && ready_ != nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    ready_ = callback;
    ready_context_ = context;
    if (callback != nullptr && !queued.empty())
        transition_from_empty_ = true;
    dispatch_events(lk);
    return STATUS_SUCCESS;
}

// WdfRequestStopAcknowledge. Without requeue the request stays the driver's (suspended, when
// the queue is powering down, until EvtIoResume); with requeue it goes back to the head of
// the queue. The loop that waits for the acknowledgements then moves on.
void fx_queue::stop_acknowledge(fx_request* r, bool requeue) {
    fx_ref keep(this);
    std::unique_lock lk(sched_lock());
    if (r->stop != fx_request::stop_state::notified) {
        violation("WdfRequestStopAcknowledge: the request is not being stopped",
                  reinterpret_cast<std::uintptr_t>(r->handle()));
    }
    if (!requeue) {
        r->stop = fx_request::stop_state::acknowledged;
        r->suspended = power_ == power::stopping || power_ == power::stop_wait;
        dispatch_internal_events(lk);
        return;
    }
    if (r->cancelable) {
        violation("WdfRequestStopAcknowledge: a cancelable request cannot be requeued",
                  reinterpret_cast<std::uintptr_t>(r->handle()));
    }
    r->stop = fx_request::stop_state::none;
    leave_driver_locked(r);
    enqueue_locked(lk, r, true);
    dispatch_internal_events(lk);
}

}  // namespace platform::wdf
