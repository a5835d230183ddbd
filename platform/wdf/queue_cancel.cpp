// Cancellation (FxIoQueue::CancelForQueue, CancelForDriver, RequestCancelable,
// FlushByFileObject). A cancelled request that waits in the queue is completed
// STATUS_CANCELLED on the cancelling thread, or handed to EvtIoCanceledOnQueue when the driver
// had it before; a cancelled driver-owned cancelable request has its cancel routine called.
// Both driver callbacks are delivered by the loop: on the cancelling thread when no thread
// runs it, otherwise by the running loop once its current callback returns.
#include <algorithm>

#include "wdf/queue.h"
#include "wdf/request.h"

namespace platform::wdf {
namespace {

std::mutex& sched_lock() {
    return scheduler::get().lock();
}

}  // namespace

// A request that waited in this queue is cancelled or purged; the caller has taken it out
// of `queued` (or never put it in). Lock held; dropped while the request is completed.
void fx_queue::cancel_for_queue_locked(std::unique_lock<std::mutex>& lk, fx_request* r) {
    r->canceled = true;
    if (config_.EvtIoCanceledOnQueue && r->presented) {
        take_for_driver_locked(r);
        cancelled_on_queue_.push_back(r);
        return;
    }
    r->where = fx_request::place::none;
    r->queue = nullptr;
    lk.unlock();
    r->complete(STATUS_CANCELLED, 0, true);
    lk.lock();
}

// A driver-owned cancelable request is cancelled: its cancel routine is due. Lock held.
void fx_queue::cancel_for_driver_locked(fx_request* r) {
    r->cancel_taken = true;
    r->canceled = true;
    cancelled_for_driver_.push_back(r);
}

// Cancels the requests waiting in the queue now (not those that arrive later). Lock held;
// dropped while requests are completed.
void fx_queue::cancel_present_locked(std::unique_lock<std::mutex>& lk) {
    std::deque<fx_request*> taken;
    std::deque<fx_request*> keep;
    for (fx_request* r : queued) {
        (r->disarm_irp_cancel() ? taken : keep).push_back(r);
    }
    queued.swap(keep);
    for (fx_request* r : taken)
        cancel_for_queue_locked(lk, r);
}

// The driver's cancelable requests have their cancel routines made due. Lock held.
void fx_queue::cancel_driver_cancelable_locked() {
    for (fx_request* r : driver_owned) {
        if (r->cancelable && !r->cancel_taken && r->disarm_irp_cancel())
            cancel_for_driver_locked(r);
    }
}

void fx_queue::on_irp_cancel(fx_request* r) {
    fx_ref keep(this);
    std::unique_lock lk(sched_lock());
    if (r->where == fx_request::place::queued && r->queue == this) {
        auto it = std::find(queued.begin(), queued.end(), r);
        if (it != queued.end()) {
            queued.erase(it);
            cancel_for_queue_locked(lk, r);
        }
    } else if (r->where == fx_request::place::driver && r->queue == this && r->cancelable &&
               !r->cancel_taken) {
        cancel_for_driver_locked(r);
    }
    dispatch_internal_events(lk);
}

// WdfRequestMarkCancelable(Ex). A request already cancelled (or marked while a purge is
// cancelling the driver's requests) is cancelled at once: its routine runs inside this call
// when no thread runs the loop, otherwise (inside the queue's own callback) after the
// callback returns. The Ex form reports STATUS_CANCELLED instead.
void fx_queue::mark_cancelable(fx_request* r, PFN_WDF_REQUEST_CANCEL routine,
                               bool fail_if_cancelled, NTSTATUS* status) {
    fx_ref keep(this);
    std::unique_lock lk(sched_lock());
    if (r->where != fx_request::place::driver) {
        violation("WdfRequestMarkCancelable: the driver does not own the request",
                  reinterpret_cast<std::uintptr_t>(r->handle()));
    }
    if (r->cancelable) {
        violation("WdfRequestMarkCancelable: the request is already cancelable",
                  reinterpret_cast<std::uintptr_t>(r->handle()));
    }
    *status = STATUS_SUCCESS;
    r->cancel_routine = routine;
    r->cancel_taken = false;
    r->cancel_delivered = false;
    if (!cancel_dispatched_ && r->arm_irp_cancel()) {
        r->cancelable = true;
        return;
    }
    if (fail_if_cancelled) {
        r->cancel_routine = nullptr;
        *status = STATUS_CANCELLED;
        return;
    }
    r->cancelable = true;
    cancel_for_driver_locked(r);
    dispatch_internal_events(lk);
}

// WdfRequestUnmarkCancelable. STATUS_CANCELLED when the cancel routine has run or will: a
// cancel on another thread that has taken the IRP's cancel routine delivers it there. This
// call delivers nothing itself.
NTSTATUS fx_queue::unmark_cancelable(fx_request* r) {
    std::unique_lock lk(sched_lock());
    if (r->where != fx_request::place::driver || !r->cancelable) {
        violation("WdfRequestUnmarkCancelable: the request is not marked cancelable",
                  reinterpret_cast<std::uintptr_t>(r->handle()));
    }
    if (r->cancel_taken || !r->disarm_irp_cancel())
        return STATUS_CANCELLED;
    r->cancelable = false;
    r->cancel_routine = nullptr;
    return STATUS_SUCCESS;
}

// Clean-up of a handle: its requests still waiting in the queue are cancelled.
void fx_queue::flush_file(PFILE_OBJECT file) {
    fx_ref keep(this);
    std::unique_lock lk(sched_lock());
    std::deque<fx_request*> taken;
    std::deque<fx_request*> keep_queued;
    for (fx_request* r : queued) {
        bool mine = r->irp()->file == file && r->disarm_irp_cancel();
        (mine ? taken : keep_queued).push_back(r);
    }
    queued.swap(keep_queued);
    for (fx_request* r : taken)
        cancel_for_queue_locked(lk, r);
    dispatch_internal_events(lk);
}

}  // namespace platform::wdf
