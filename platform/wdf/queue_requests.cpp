// Requests entering and leaving a queue: new requests from the I/O package
// (FxIoQueue::QueueRequest), forwarded ones (QueueRequestFromForward and
// ForwardRequestWorker), requeued ones, retrieval from manual queues, and the completion
// callback (RequestCompletedCallback).
#include <algorithm>
#include <string>

#include "wdf/io_dispatch.h"
#include "wdf/queue.h"
#include "wdf/request.h"

namespace platform::wdf {
namespace {

std::mutex& sched_lock() {
    return scheduler::get().lock();
}

std::uint64_t as_number(const void* p) {
    return reinterpret_cast<std::uintptr_t>(p);
}

}  // namespace

// Puts a request into the queue with its IRP cancel routine armed, or, when its IRP is
// already cancelled (or a purge is cancelling what the driver hands back), cancels it as a
// queued request. Lock held; may drop it.
void fx_queue::enqueue_locked(std::unique_lock<std::mutex>& lk, fx_request* r, bool at_head) {
    r->queue = this;
    r->where = fx_request::place::queued;
    if ((at_head && cancel_dispatched_) || !r->arm_irp_cancel()) {
        cancel_for_queue_locked(lk, r);
        return;
    }
    if (queued.empty())
        transition_from_empty_ = true;
    if (at_head) {
        queued.push_front(r);
    } else {
        queued.push_back(r);
    }
}

// The request now belongs to the driver, counted against this queue. Lock held.
void fx_queue::take_for_driver_locked(fx_request* r) {
    r->queue = this;
    r->where = fx_request::place::driver;
    driver_owned.push_back(r);
    ++driver_count;
}

// The driver hands a request back to the framework (forward, requeue, stop with requeue):
// it no longer counts against this queue. Lock held.
void fx_queue::leave_driver_locked(fx_request* r) {
    driver_owned.remove(r);
    if (driver_count > 0)
        --driver_count;
}

NTSTATUS fx_queue::queue_request(fx_request* r) {
    fx_ref keep(this);
    std::unique_lock lk(sched_lock());
    if (!accept_) {
        r->queue = nullptr;
        r->where = fx_request::place::none;
        lk.unlock();
        r->complete(STATUS_INVALID_DEVICE_STATE, 0, true);
        return STATUS_INVALID_DEVICE_STATE;
    }
    enqueue_locked(lk, r, false);
    // Presented here, on the sender's thread, when the queue can take it now.
    dispatch_events(lk);
    return STATUS_PENDING;
}

NTSTATUS fx_queue::forward(fx_request* r) {
    fx_ref keep(this);
    std::unique_lock lk(sched_lock());
    if (r->where != fx_request::place::driver) {
        violation("WdfRequestForwardToIoQueue: the driver does not own the request",
                  as_number(r->handle()));
    }
    if (r->cancelable) {
        violation("WdfRequestForwardToIoQueue: the request is still cancelable",
                  as_number(r->handle()));
    }
    fx_queue* source = r->queue;
    if (source == this || r->package() != package_)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!accept_)
        return STATUS_WDF_BUSY;
    fx_ref keep_source(source);
    if (source != nullptr)
        source->driver_owned.remove(r);
    enqueue_locked(lk, r, false);
    // The forwarding thread presents it (a request that came from the I/O manager is always
    // dispatched in the forwarding call).
    dispatch_events(lk);
    // Only now does the request stop counting against the queue it came from, so that queue
    // cannot look idle while the forward is in progress.
    if (source != nullptr) {
        if (source->driver_count > 0)
            --source->driver_count;
        source->dispatch_internal_events(lk);
    }
    return STATUS_SUCCESS;
}

NTSTATUS fx_queue::requeue(fx_request* r) {
    if (config_.DispatchType != WdfIoQueueDispatchManual)
        return STATUS_INVALID_DEVICE_REQUEST;
    fx_ref keep(this);
    std::unique_lock lk(sched_lock());
    if (r->where != fx_request::place::driver || r->queue != this) {
        violation("WdfRequestRequeue: the driver does not own the request", as_number(r->handle()));
    }
    if (r->cancelable) {
        violation("WdfRequestRequeue: the request is still cancelable", as_number(r->handle()));
    }
    leave_driver_locked(r);
    enqueue_locked(lk, r, true);
    dispatch_internal_events(lk);
    return STATUS_SUCCESS;
}

void fx_queue::request_completed() {
    fx_ref keep(this);
    std::unique_lock lk(sched_lock());
    if (driver_count > 0)
        --driver_count;
    dispatch_internal_events(lk);
}

NTSTATUS fx_queue::retrieve(PFILE_OBJECT file, fx_request* found, fx_request** out) {
    *out = nullptr;
    if (config_.DispatchType == WdfIoQueueDispatchParallel)
        return STATUS_INVALID_DEVICE_STATE;
    if (found != nullptr && config_.DispatchType != WdfIoQueueDispatchManual) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    fx_ref keep(this);
    std::unique_lock lk(sched_lock());
    if ((power_managed_ && power_ == power::off) || !dispatch_)
        return STATUS_WDF_PAUSED;
    std::vector<fx_request*> zero;
    fx_request* got = nullptr;
    for (auto it = queued.begin(); it != queued.end();) {
        fx_request* r = *it;
        bool match =
            (file == nullptr || r->irp()->file == file) && (found == nullptr || r == found);
        if (!match || !r->disarm_irp_cancel()) {
            ++it;
            continue;
        }
        it = queued.erase(it);
        bool rw = r->major() == IRP_MJ_READ || r->major() == IRP_MJ_WRITE;
        if (rw && r->transfer_length() == 0 && !config_.AllowZeroLengthRequests) {
            // The framework completes a zero-length transfer the queue does not want.
            r->where = fx_request::place::none;
            r->queue = nullptr;
            zero.push_back(r);
            if (found != nullptr)
                break;
            continue;
        }
        take_for_driver_locked(r);
        r->presented = true;
        r->received_by = file != nullptr    ? "WdfIoQueueRetrieveRequestByFileObject"
                         : found != nullptr ? "WdfIoQueueRetrieveFoundRequest"
                                            : "WdfIoQueueRetrieveNextRequest";
        got = r;
        break;
    }
    lk.unlock();
    for (fx_request* r : zero)
        r->complete(STATUS_SUCCESS, 0, true);
    if (got == nullptr)
        return found != nullptr ? STATUS_NOT_FOUND : STATUS_NO_MORE_ENTRIES;
    *out = got;
    return STATUS_SUCCESS;
}

NTSTATUS fx_queue::find(fx_request* after, PFILE_OBJECT file, fx_request** out) {
    *out = nullptr;
    std::unique_lock lk(sched_lock());
    auto it = queued.begin();
    if (after != nullptr) {
        it = std::find(queued.begin(), queued.end(), after);
        if (it == queued.end())
            return STATUS_NOT_FOUND;
        ++it;
    }
    for (; it != queued.end(); ++it) {
        if (file == nullptr || (*it)->irp()->file == file) {
            (*it)->add_ref();  // the driver drops it with WdfObjectDereference
            *out = *it;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NO_MORE_ENTRIES;
}

}  // namespace platform::wdf
