// Framework I/O queues: creation, the event loop and its dispatch thread, start, stop,
// purge and drain, retrieval, forwarding, cancellation and the power and removal hooks.
#include "wdf/queue.h"

#include <algorithm>
#include <string>

#include "core/bugcheck.h"
#include "core/faults.h"
#include "core/lock_tracker.h"
#include "wdf/io_dispatch.h"
#include "wdf/request.h"

namespace platform::wdf {
namespace {

std::mutex& sched_lock() {
    return scheduler::get().lock();
}

// Dispatch threads that ended their own queue (the queue was deleted from one of its own
// callbacks) cannot join themselves; they are joined by the next queue deletion instead.
std::vector<std::shared_ptr<scheduler::joinable>>& graveyard() {
    static auto* g = new std::vector<std::shared_ptr<scheduler::joinable>>;  // never destroyed
    return *g;
}

void reap_graveyard() {
    std::vector<std::shared_ptr<scheduler::joinable>> done;
    {
        std::lock_guard g(sched_lock());
        auto& list = graveyard();
        for (auto it = list.begin(); it != list.end();) {
            if ((*it)->record() != nullptr && !(*it)->record()->exited) {
                ++it;
                continue;
            }
            done.push_back(std::move(*it));
            it = list.erase(it);
        }
    }
    for (auto& j : done)
        j->join();
}

// How long a queue being deleted waits for the driver to complete the requests it owns
// before the verifier reports them (virtual time: costs nothing when nothing else runs).
constexpr ticks teardown_grace = 30 * ticks_per_second;

}  // namespace

struct fx_queue::dispatch_control {
    bool stop = false;  // guarded by the scheduler lock
};

fx_queue::fx_queue(io_package* package, const WDF_IO_QUEUE_CONFIG& config)
    : fx_object(fx_type::queue), package_(package), config_(config) {}

fx_queue::~fx_queue() = default;

NTSTATUS fx_queue::create(io_package* package, const WDF_IO_QUEUE_CONFIG* config,
                          const WDF_OBJECT_ATTRIBUTES* attributes, fx_queue** out) {
    const WDF_IO_QUEUE_CONFIG& c = *config;
    if (c.DispatchType <= WdfIoQueueDispatchInvalid || c.DispatchType >= WdfIoQueueDispatchMax) {
        return STATUS_INVALID_PARAMETER;
    }
    bool any_io = c.EvtIoDefault || c.EvtIoRead || c.EvtIoWrite || c.EvtIoDeviceControl ||
                  c.EvtIoInternalDeviceControl;
    if (c.DispatchType != WdfIoQueueDispatchManual && !any_io)
        return STATUS_WDF_NO_CALLBACK;
    if (c.DispatchType == WdfIoQueueDispatchManual && any_io)
        return STATUS_INVALID_PARAMETER;
    if (c.DispatchType != WdfIoQueueDispatchParallel &&
        c.Settings.Parallel.NumberOfPresentedRequests != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (c.PowerManaged != WdfFalse && c.PowerManaged != WdfTrue &&
        c.PowerManaged != WdfUseDefault) {
        return STATUS_INVALID_PARAMETER;
    }
    // A parent given in the attributes must belong to the same device.
    if (attributes != nullptr && attributes->ParentObject != nullptr) {
        fx_object* p = fx_object::get(attributes->ParentObject, "WdfIoQueueCreate");
        while (p != nullptr && p != package->device())
            p = p->parent();
        if (p == nullptr)
            return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (c.DefaultQueue) {
        std::lock_guard g(sched_lock());
        if (package->default_queue != nullptr)
            return STATUS_UNSUCCESSFUL;
    }

    auto* q = new fx_queue(package, c);
    NTSTATUS st =
        q->commit(attributes, package->device(), attr_exec_level_allowed | attr_sync_scope_allowed);
    if (!NT_SUCCESS(st)) {
        fx_object::discard(q);
        return st;
    }
    q->passive_ = q->resolved_execution_level() == WdfExecutionLevelPassive;
    q->power_managed_ = c.PowerManaged != WdfFalse;
    {
        std::lock_guard g(sched_lock());
        if (q->power_managed_ && !package->powered)
            q->power_ = power::off;
        if (package->shutting_down) {
            q->shutdown_ = true;
            q->accept_ = false;
        }
        if (c.DefaultQueue) {
            if (package->default_queue != nullptr) {
                st = STATUS_UNSUCCESSFUL;
            } else {
                package->default_queue = q;
            }
        }
        if (NT_SUCCESS(st))
            package->queues.push_back(q);
    }
    if (!NT_SUCCESS(st)) {
        q->delete_object();
        return st;
    }
    // The default queue and queues that receive dispatched requests are deleted only by the
    // framework, with the device.
    if (c.DefaultQueue)
        q->set_framework_deleted(true);

    q->control_ = std::make_shared<dispatch_control>();
    auto control = q->control_;
    q->thread_ = scheduler::get().start_thread(
        "wdf queue " + std::to_string(reinterpret_cast<std::uintptr_t>(q->handle()) >> 4),
        [q, control] { q->run_dispatch_thread(control); });
    *out = q;
    return STATUS_SUCCESS;
}

bool fx_queue::has_handler_for(UCHAR major) const {
    if (config_.DispatchType == WdfIoQueueDispatchManual || config_.EvtIoDefault)
        return true;
    switch (major) {
        case IRP_MJ_READ:
            return config_.EvtIoRead != nullptr;
        case IRP_MJ_WRITE:
            return config_.EvtIoWrite != nullptr;
        case IRP_MJ_DEVICE_CONTROL:
            return config_.EvtIoDeviceControl != nullptr;
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            return config_.EvtIoInternalDeviceControl != nullptr;
        default:
            return false;
    }
}

// ---- The event loop ------------------------------------------------------------------------

bool fx_queue::dispatchable_locked() const {
    return dispatch_ && power_ == power::on;
}

bool fx_queue::has_work_locked(bool may_present) const {
    if (!cancelled_for_driver_.empty() || !cancelled_on_queue_.empty())
        return true;
    if ((idle_done_ || idle_flag_) && driver_count == 0)
        return true;
    if ((purge_done_ || purge_flag_) && driver_count == 0 && queued.empty())
        return true;
    if (!may_present)
        return false;
    if (!stop_notify_.empty())
        return true;
    if (!dispatchable_locked() || queued.empty())
        return false;
    switch (config_.DispatchType) {
        case WdfIoQueueDispatchManual:
            return ready_ != nullptr && transition_from_empty_;
        case WdfIoQueueDispatchSequential:
            return driver_count == 0;
        default:
            return driver_count < config_.Settings.Parallel.NumberOfPresentedRequests;
    }
}

void fx_queue::run_dispatch_thread(std::shared_ptr<dispatch_control> control) {
    auto& s = scheduler::get();
    std::unique_lock lk(s.lock());
    for (;;) {
        std::function<bool()> ready = [&] {
            return control->stop || (delivering_ == nullptr && has_work_locked(true));
        };
        s.block(lk, ready, no_deadline, "queue events");
        if (control->stop)
            return;
        delivering_ = &s.current_locked();
        for (;;) {
            if (!deliver_one(lk, true))
                break;
            if (control->stop) {
                // Deleted from one of its own callbacks: `this` may be gone once the
                // reference deliver_one keeps is dropped, so leave without touching it.
                return;
            }
        }
        delivering_ = nullptr;
        s.wake();
    }
}

void fx_queue::loop(std::unique_lock<std::mutex>& lk, bool may_present) {
    while (deliver_one(lk, may_present)) {
    }
}

// Delivers one event. Returns false when there was nothing to deliver. With the lock held on
// entry and on return (it is dropped around each driver callback).
bool fx_queue::deliver_one(std::unique_lock<std::mutex>& lk, bool may_present) {
    auto& s = scheduler::get();
    WDFQUEUE self = handle_as<WDFQUEUE>();
    // Runs a driver callback with no platform lock held. On the dispatch thread the callback
    // must return with every lock released. Returns false when the queue was deleted meanwhile
    // from the dispatch thread itself.
    auto call = [&](auto&& fn, const char* what) {
        in_callback_ = true;
        add_ref();
        lk.unlock();
        fn();
        if (may_present)
            lock_tracker::expect_none_held(what);
        lk.lock();
        in_callback_ = false;
        if (may_present && control_->stop) {
            lk.unlock();
            release();
            lk.lock();
            return false;
        }
        lk.unlock();
        release();
        lk.lock();
        return true;
    };

    if (!cancelled_for_driver_.empty()) {
        fx_request* r = cancelled_for_driver_.front();
        cancelled_for_driver_.pop_front();
        PFN_WDF_REQUEST_CANCEL routine = r->cancel_routine;
        r->cancel_delivered = true;
        WDFREQUEST h = r->handle_as<WDFREQUEST>();
        call([&] { routine(h); }, "EvtRequestCancel");
        return true;
    }
    if (!cancelled_on_queue_.empty()) {
        fx_request* r = cancelled_on_queue_.front();
        cancelled_on_queue_.pop_front();
        WDFREQUEST h = r->handle_as<WDFREQUEST>();
        auto fn = config_.EvtIoCanceledOnQueue;
        call([&] { fn(self, h); }, "EvtIoCanceledOnQueue");
        return true;
    }
    if ((idle_done_ || idle_flag_) && driver_count == 0) {
        cancel_dispatched_ = false;
        if (idle_flag_ != nullptr) {
            *idle_flag_ = true;
            idle_flag_ = nullptr;
            s.wake();
        }
        if (idle_done_ != nullptr) {
            auto fn = idle_done_;
            WDFCONTEXT ctx = idle_context_;
            idle_done_ = nullptr;
            idle_context_ = nullptr;
            call([&] { fn(self, ctx); }, "EvtIoQueueState");
        }
        return true;
    }
    if ((purge_done_ || purge_flag_) && driver_count == 0 && queued.empty()) {
        cancel_dispatched_ = false;
        if (purge_flag_ != nullptr) {
            *purge_flag_ = true;
            purge_flag_ = nullptr;
            s.wake();
        }
        if (purge_done_ != nullptr) {
            auto fn = purge_done_;
            WDFCONTEXT ctx = purge_context_;
            purge_done_ = nullptr;
            purge_context_ = nullptr;
            call([&] { fn(self, ctx); }, "EvtIoQueueState");
        }
        return true;
    }
    if (!may_present)
        return false;

    if (!stop_notify_.empty()) {
        fx_request* r = stop_notify_.front();
        stop_notify_.pop_front();
        bool resume = power_ == power::restarting;
        bool live = r->where == fx_request::place::driver && r->queue == this && !r->canceled;
        WDFREQUEST h = r->handle_as<WDFREQUEST>();
        if (live && resume && config_.EvtIoResume) {
            auto fn = config_.EvtIoResume;
            if (!call([&] { fn(self, h); }, "EvtIoResume")) {
                lk.unlock();
                r->release();
                lk.lock();
                return true;
            }
        } else if (live && !resume && config_.EvtIoStop) {
            ULONG flags =
                power_ == power::purging ? WdfRequestStopActionPurge : WdfRequestStopActionSuspend;
            if (r->cancelable && !r->cancel_taken)
                flags |= WdfRequestStopRequestCancelable;
            r->in_stop_callback = true;
            auto fn = config_.EvtIoStop;
            bool alive = call([&] { fn(self, h, flags); }, "EvtIoStop");
            r->in_stop_callback = false;
            if (!alive) {
                lk.unlock();
                r->release();
                lk.lock();
                return true;
            }
        }
        // The reference taken when the notice was queued.
        lk.unlock();
        r->release();
        lk.lock();
        s.wake();
        return true;
    }
    if (!dispatchable_locked() || queued.empty())
        return false;

    if (config_.DispatchType == WdfIoQueueDispatchManual) {
        if (ready_ == nullptr || !transition_from_empty_)
            return false;
        transition_from_empty_ = false;
        auto fn = ready_;
        WDFCONTEXT ctx = ready_context_;
        call([&] { fn(self, ctx); }, "EvtIoQueueState");
        return true;
    }
    if (config_.DispatchType == WdfIoQueueDispatchSequential && driver_count > 0)
        return false;
    if (config_.DispatchType == WdfIoQueueDispatchParallel &&
        driver_count >= config_.Settings.Parallel.NumberOfPresentedRequests) {
        return false;
    }
    // The oldest request whose IRP is not being cancelled right now.
    for (auto it = queued.begin(); it != queued.end(); ++it) {
        fx_request* r = *it;
        if (!r->disarm_irp_cancel())
            continue;
        queued.erase(it);
        r->where = fx_request::place::driver;
        driver_owned.push_back(r);
        ++driver_count;
        present(lk, r);
        return true;
    }
    return false;
}

// Hands a request the queue took out for the driver to the right callback. Lock held.
void fx_queue::present(std::unique_lock<std::mutex>& lk, fx_request* r) {
    WDFQUEUE self = handle_as<WDFQUEUE>();
    WDFREQUEST h = r->handle_as<WDFREQUEST>();
    UCHAR major = r->major();
    PIRP irp = r->irp();
    bool zero = (major == IRP_MJ_READ || major == IRP_MJ_WRITE) && r->transfer_length() == 0;

    std::function<void()> fn;
    const char* what = "EvtIoDefault";
    if (major == IRP_MJ_READ && config_.EvtIoRead) {
        auto cb = config_.EvtIoRead;
        size_t len = r->transfer_length();
        fn = [=] { cb(self, h, len); };
        what = "EvtIoRead";
    } else if (major == IRP_MJ_WRITE && config_.EvtIoWrite) {
        auto cb = config_.EvtIoWrite;
        size_t len = r->transfer_length();
        fn = [=] { cb(self, h, len); };
        what = "EvtIoWrite";
    } else if (major == IRP_MJ_DEVICE_CONTROL && config_.EvtIoDeviceControl) {
        auto cb = config_.EvtIoDeviceControl;
        size_t out = irp->output_length, in = irp->input_length;
        ULONG code = irp->ioctl_code;
        fn = [=] { cb(self, h, out, in, code); };
        what = "EvtIoDeviceControl";
    } else if (major == IRP_MJ_INTERNAL_DEVICE_CONTROL && config_.EvtIoInternalDeviceControl) {
        auto cb = config_.EvtIoInternalDeviceControl;
        size_t out = irp->output_length, in = irp->input_length;
        ULONG code = irp->ioctl_code;
        fn = [=] { cb(self, h, out, in, code); };
        what = "EvtIoInternalDeviceControl";
    } else if (config_.EvtIoDefault) {
        auto cb = config_.EvtIoDefault;
        fn = [=] { cb(self, h); };
    }

    if (!fn || (zero && !config_.AllowZeroLengthRequests)) {
        // No callback for this kind of request, or a zero-length transfer the queue does not
        // want: the framework completes it itself.
        lk.unlock();
        if (fn) {
            r->complete(STATUS_SUCCESS, 0, true);
        } else {
            r->complete(STATUS_INVALID_DEVICE_REQUEST, 0, true);
        }
        lk.lock();
        return;
    }
    r->presented = true;
    in_callback_ = true;
    add_ref();
    lk.unlock();
    fn();
    lock_tracker::expect_none_held(what);
    lk.lock();
    in_callback_ = false;
    lk.unlock();
    release();  // may free the queue when it was deleted from this callback: touch nothing after
    lk.lock();
}

// Delivers what can be delivered on the calling thread (cancellations and state callbacks),
// unless another thread is delivering or the caller's IRQL is too high for this queue; then
// the dispatch thread does it. Lock held.
void fx_queue::kick(std::unique_lock<std::mutex>& lk) {
    auto& s = scheduler::get();
    thread_record& me = s.current_locked();
    bool dispatch_thread = thread_ && thread_->record() == &me;
    // The dispatch thread between two callbacks is only doing bookkeeping: let it finish
    // rather than defer the cancellation behind it.
    if (!dispatch_thread && me.irql == 0 && delivering_ != nullptr && delivering_ != &me &&
        !in_callback_) {
        std::function<bool()> settled = [&] { return delivering_ == nullptr || in_callback_; };
        s.block(lk, settled, no_deadline, "queue dispatch thread between callbacks");
    }
    if (delivering_ == nullptr && !dispatch_thread && !(passive_ && me.irql > 0) &&
        !(control_ && control_->stop)) {
        delivering_ = &me;
        loop(lk, false);
        delivering_ = nullptr;
    }
    s.wake();
}

bool fx_queue::on_own_callback_thread() const {
    return in_callback_ && delivering_ == &scheduler::get().current_locked();
}

void fx_queue::wait_for(std::unique_lock<std::mutex>& lk, const std::function<bool()>& ready,
                        const char* what) {
    scheduler::get().block(lk, ready, no_deadline, what);
}

// ---- Requests entering and leaving -----------------------------------------------------------

void fx_queue::queue_request(fx_request* r) {
    std::unique_lock lk(sched_lock());
    NTSTATUS fail = STATUS_SUCCESS;
    if (!accept_) {
        fail = STATUS_INVALID_DEVICE_STATE;
    } else {
        r->queue = this;
        r->where = fx_request::place::queued;
        if (!r->arm_irp_cancel()) {
            fail = STATUS_CANCELLED;
        } else {
            if (queued.empty())
                transition_from_empty_ = true;
            queued.push_back(r);
        }
    }
    if (fail != STATUS_SUCCESS) {
        r->queue = nullptr;
        r->where = fx_request::place::none;
        lk.unlock();
        r->complete(fail, 0, true);
        return;
    }
    scheduler::get().wake();
}

void fx_queue::release_driver_request(std::unique_lock<std::mutex>&, fx_request* r) {
    driver_owned.remove(r);
    if (driver_count > 0)
        --driver_count;
    scheduler::get().wake();
}

// Takes a request that waits in this queue out because it was cancelled or purged; the caller
// has already removed it from `queued`. Lock held.
void fx_queue::cancel_queued_locked(fx_request* r, std::vector<fx_request*>& complete) {
    r->canceled = true;
    if (config_.EvtIoCanceledOnQueue && r->presented) {
        r->where = fx_request::place::driver;
        r->queue = this;
        driver_owned.push_back(r);
        ++driver_count;
        cancelled_on_queue_.push_back(r);
    } else {
        r->where = fx_request::place::none;
        r->queue = nullptr;
        complete.push_back(r);
    }
}

// A driver-owned cancelable request is cancelled: its cancel routine is due. Lock held.
void fx_queue::cancel_for_driver_locked(fx_request* r) {
    r->cancel_taken = true;
    r->canceled = true;
    cancelled_for_driver_.push_back(r);
}

void fx_queue::complete_all(std::unique_lock<std::mutex>& lk, std::vector<fx_request*>& requests,
                            NTSTATUS status) {
    if (requests.empty())
        return;
    lk.unlock();
    for (fx_request* r : requests)
        r->complete(status, 0, true);
    requests.clear();
    lk.lock();
}

void fx_queue::on_irp_cancel(fx_request* r) {
    std::unique_lock lk(sched_lock());
    std::vector<fx_request*> done;
    if (r->where == fx_request::place::queued && r->queue == this) {
        auto it = std::find(queued.begin(), queued.end(), r);
        if (it != queued.end()) {
            queued.erase(it);
            cancel_queued_locked(r, done);
        }
    } else if (r->where == fx_request::place::driver && r->queue == this && r->cancelable &&
               !r->cancel_taken) {
        cancel_for_driver_locked(r);
    }
    kick(lk);
    complete_all(lk, done, STATUS_CANCELLED);
    scheduler::get().wake();
}

// ---- Driver operations --------------------------------------------------------------------

void fx_queue::start() {
    std::unique_lock lk(sched_lock());
    if (!shutdown_)
        accept_ = true;
    dispatch_ = true;
    cancel_dispatched_ = false;
    if (!queued.empty())
        transition_from_empty_ = true;
    scheduler::get().wake();
}

void fx_queue::idle(bool cancel, PFN_WDF_IO_QUEUE_STATE done, WDFCONTEXT context, bool wait,
                    const char* routine) {
    std::unique_lock lk(sched_lock());
    if (wait && on_own_callback_thread()) {
        violation(std::string(routine) + " called from a callback of the same queue");
    }
    if (deleting())
        return;
    bool flag = false;
    if (done != nullptr || wait) {
        if (idle_done_ != nullptr || idle_flag_ != nullptr) {
            violation(std::string(routine) + ": a stop of this queue is already pending");
        }
        idle_done_ = done;
        idle_context_ = context;
        if (wait)
            idle_flag_ = &flag;
    }
    if (!shutdown_)
        accept_ = true;
    dispatch_ = false;
    std::vector<fx_request*> complete;
    if (cancel) {
        // Only the requests present now; those that arrive later wait for the next start.
        cancel_present_locked(complete);
    }
    complete_all(lk, complete, STATUS_CANCELLED);
    kick(lk);
    if (wait)
        wait_for(
            lk, [&] { return flag; }, "queue stop");
}

// Cancels what the queue holds now: queued requests (collected in `complete`) and the
// driver-owned ones that are cancelable (their cancel routines run).
void fx_queue::cancel_present_locked(std::vector<fx_request*>& complete) {
    cancel_dispatched_ = true;
    std::deque<fx_request*> keep;
    for (fx_request* r : queued) {
        if (r->disarm_irp_cancel()) {
            cancel_queued_locked(r, complete);
        } else {
            keep.push_back(r);
        }
    }
    queued.swap(keep);
    for (fx_request* r : driver_owned) {
        if (r->cancelable && !r->cancel_taken && r->disarm_irp_cancel()) {
            cancel_for_driver_locked(r);
        }
    }
}

void fx_queue::purge(bool cancel, PFN_WDF_IO_QUEUE_STATE done, WDFCONTEXT context, bool wait,
                     const char* routine) {
    std::unique_lock lk(sched_lock());
    if (wait && on_own_callback_thread()) {
        violation(std::string(routine) + " called from a callback of the same queue");
    }
    if (deleting())
        return;
    bool flag = false;
    if (done != nullptr || wait) {
        if (purge_done_ != nullptr || purge_flag_ != nullptr) {
            violation(std::string(routine) + ": a purge or drain of this queue is already pending");
        }
        purge_done_ = done;
        purge_context_ = context;
        if (wait)
            purge_flag_ = &flag;
    }
    accept_ = false;
    std::vector<fx_request*> complete;
    if (cancel) {
        cancel_present_locked(complete);
    }
    complete_all(lk, complete, STATUS_CANCELLED);
    kick(lk);
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

NTSTATUS fx_queue::retrieve(PFILE_OBJECT file, fx_request* found, fx_request** out) {
    *out = nullptr;
    if (config_.DispatchType == WdfIoQueueDispatchParallel)
        return STATUS_INVALID_DEVICE_STATE;
    if (found != nullptr && config_.DispatchType != WdfIoQueueDispatchManual) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::unique_lock lk(sched_lock());
    if ((power_managed_ && power_ == power::off) || !dispatch_)
        return STATUS_WDF_PAUSED;
    std::vector<fx_request*> zero;
    fx_request* got = nullptr;
    for (auto it = queued.begin(); it != queued.end();) {
        fx_request* r = *it;
        bool match =
            (file == nullptr || r->irp()->file == file) && (found == nullptr || r == found);
        if (!match) {
            ++it;
            continue;
        }
        if (!r->disarm_irp_cancel()) {
            ++it;
            continue;
        }
        it = queued.erase(it);
        bool rw = r->major() == IRP_MJ_READ || r->major() == IRP_MJ_WRITE;
        if (rw && r->transfer_length() == 0 && !config_.AllowZeroLengthRequests) {
            r->where = fx_request::place::none;
            r->queue = nullptr;
            zero.push_back(r);
            if (found != nullptr)
                break;
            continue;
        }
        r->where = fx_request::place::driver;
        r->presented = true;
        driver_owned.push_back(r);
        ++driver_count;
        got = r;
        break;
    }
    complete_all(lk, zero, STATUS_SUCCESS);
    if (got == nullptr) {
        if (found != nullptr)
            return STATUS_NOT_FOUND;
        return STATUS_NO_MORE_ENTRIES;
    }
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

NTSTATUS fx_queue::ready_notify(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context) {
    if (config_.DispatchType != WdfIoQueueDispatchManual)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::lock_guard g(sched_lock());
    if (callback != nullptr && ready_ != nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    ready_ = callback;
    ready_context_ = context;
    if (callback != nullptr && !queued.empty())
        transition_from_empty_ = true;
    scheduler::get().wake();
    return STATUS_SUCCESS;
}

NTSTATUS fx_queue::forward(fx_request* r) {
    std::unique_lock lk(sched_lock());
    if (r->where != fx_request::place::driver) {
        violation("WdfRequestForwardToIoQueue: the driver does not own the request",
                  reinterpret_cast<std::uintptr_t>(r->handle()));
    }
    if (r->cancelable) {
        violation("WdfRequestForwardToIoQueue: the request is still cancelable",
                  reinterpret_cast<std::uintptr_t>(r->handle()));
    }
    fx_queue* source = r->queue;
    if (source == this)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (r->package() != package_)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!accept_)
        return STATUS_WDF_BUSY;
    if (source != nullptr)
        source->release_driver_request(lk, r);
    r->queue = this;
    r->where = fx_request::place::queued;
    std::vector<fx_request*> complete;
    if (!r->arm_irp_cancel()) {
        cancel_queued_locked(r, complete);
    } else {
        if (queued.empty())
            transition_from_empty_ = true;
        queued.push_back(r);
    }
    kick(lk);
    complete_all(lk, complete, STATUS_CANCELLED);
    return STATUS_SUCCESS;
}

NTSTATUS fx_queue::requeue(fx_request* r) {
    if (config_.DispatchType != WdfIoQueueDispatchManual)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::unique_lock lk(sched_lock());
    if (r->where != fx_request::place::driver || r->queue != this) {
        violation("WdfRequestRequeue: the driver does not own the request",
                  reinterpret_cast<std::uintptr_t>(r->handle()));
    }
    if (r->cancelable) {
        violation("WdfRequestRequeue: the request is still cancelable",
                  reinterpret_cast<std::uintptr_t>(r->handle()));
    }
    release_driver_request(lk, r);
    r->where = fx_request::place::queued;
    std::vector<fx_request*> complete;
    if (cancel_dispatched_ || !r->arm_irp_cancel()) {
        cancel_queued_locked(r, complete);
    } else {
        if (queued.empty())
            transition_from_empty_ = true;
        queued.push_front(r);
    }
    kick(lk);
    complete_all(lk, complete, STATUS_CANCELLED);
    return STATUS_SUCCESS;
}

void fx_queue::mark_cancelable(fx_request* r, PFN_WDF_REQUEST_CANCEL routine,
                               bool fail_if_cancelled, NTSTATUS* status) {
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
    // Cancelled already, or a purge is under way: the request is cancelled at once.
    if (cancel_dispatched_ || !r->arm_irp_cancel()) {
        if (fail_if_cancelled) {
            r->cancel_routine = nullptr;
            *status = STATUS_CANCELLED;
            return;
        }
        r->cancelable = true;
        cancel_for_driver_locked(r);
        kick(lk);
        return;
    }
    r->cancelable = true;
}

NTSTATUS fx_queue::unmark_cancelable(fx_request* r) {
    std::unique_lock lk(sched_lock());
    if (r->where != fx_request::place::driver || !r->cancelable) {
        violation("WdfRequestUnmarkCancelable: the request is not marked cancelable",
                  reinterpret_cast<std::uintptr_t>(r->handle()));
    }
    if (r->cancel_taken)
        return STATUS_CANCELLED;
    if (!r->disarm_irp_cancel()) {
        // The IRP is being cancelled on another thread: the cancel routine will run.
        cancel_for_driver_locked(r);
        kick(lk);
        return STATUS_CANCELLED;
    }
    r->cancelable = false;
    r->cancel_routine = nullptr;
    return STATUS_SUCCESS;
}

void fx_queue::stop_acknowledge(fx_request* r, bool requeue) {
    std::unique_lock lk(sched_lock());
    if (r->stop != fx_request::stop_state::notified) {
        violation("WdfRequestStopAcknowledge: the request is not being stopped",
                  reinterpret_cast<std::uintptr_t>(r->handle()));
    }
    if (!requeue) {
        r->stop = fx_request::stop_state::acknowledged;
        r->suspended = power_ == power::stopping;
        scheduler::get().wake();
        return;
    }
    if (r->cancelable) {
        violation("WdfRequestStopAcknowledge: a cancelable request cannot be requeued",
                  reinterpret_cast<std::uintptr_t>(r->handle()));
    }
    r->stop = fx_request::stop_state::none;
    release_driver_request(lk, r);
    r->where = fx_request::place::queued;
    std::vector<fx_request*> complete;
    if (cancel_dispatched_ || !r->arm_irp_cancel()) {
        cancel_queued_locked(r, complete);
    } else {
        queued.push_front(r);
    }
    kick(lk);
    complete_all(lk, complete, STATUS_CANCELLED);
}

// ---- The I/O package's hooks --------------------------------------------------------------

void fx_queue::flush_file(PFILE_OBJECT file) {
    std::unique_lock lk(sched_lock());
    std::vector<fx_request*> complete;
    std::deque<fx_request*> keep;
    for (fx_request* r : queued) {
        if (r->irp()->file == file && r->disarm_irp_cancel()) {
            cancel_queued_locked(r, complete);
        } else {
            keep.push_back(r);
        }
    }
    queued.swap(keep);
    complete_all(lk, complete, STATUS_CANCELLED);
    kick(lk);
}

void fx_queue::power_down() {
    if (!power_managed_)
        return;
    std::unique_lock lk(sched_lock());
    if (power_ != power::on)
        return;
    power_ = power::stopping;
    for (fx_request* r : driver_owned) {
        if (r->stop != fx_request::stop_state::none)
            continue;
        r->stop = fx_request::stop_state::notified;
        r->add_ref();
        stop_notify_.push_back(r);
    }
    scheduler::get().wake();
    wait_for(
        lk,
        [&] {
            if (!stop_notify_.empty())
                return false;
            return std::none_of(driver_owned.begin(), driver_owned.end(), [](fx_request* r) {
                return r->stop == fx_request::stop_state::notified;
            });
        },
        "queue power-down");
    power_ = power::off;
    scheduler::get().wake();
}

void fx_queue::power_up() {
    if (!power_managed_)
        return;
    std::unique_lock lk(sched_lock());
    if (power_ != power::off || shutdown_)
        return;
    power_ = power::restarting;
    for (fx_request* r : driver_owned) {
        if (!r->suspended)
            continue;
        r->suspended = false;
        r->stop = fx_request::stop_state::none;
        r->add_ref();
        stop_notify_.push_back(r);
    }
    for (fx_request* r : driver_owned) {
        if (r->stop == fx_request::stop_state::acknowledged)
            r->stop = fx_request::stop_state::none;
    }
    scheduler::get().wake();
    wait_for(
        lk, [&] { return stop_notify_.empty(); }, "queue power-up");
    power_ = power::on;
    if (!queued.empty())
        transition_from_empty_ = true;
    scheduler::get().wake();
}

void fx_queue::remove() {
    {
        std::unique_lock lk(sched_lock());
        if (shutdown_ && power_ == power::off)
            return;
        shutdown_ = true;
        accept_ = false;
    }
    purge(true, nullptr, nullptr, false, "removal");
    std::unique_lock lk(sched_lock());
    power_ = power::purging;
    for (fx_request* r : driver_owned) {
        if (r->canceled || r->stop == fx_request::stop_state::notified)
            continue;
        r->stop = fx_request::stop_state::notified;
        r->add_ref();
        stop_notify_.push_back(r);
    }
    scheduler::get().wake();
    wait_for(
        lk,
        [&] {
            if (!stop_notify_.empty())
                return false;
            return std::none_of(driver_owned.begin(), driver_owned.end(), [](fx_request* r) {
                return r->stop == fx_request::stop_state::notified;
            });
        },
        "queue purge at removal");
    power_ = power::off;
}

// The queue is being deleted (WdfObjectDelete, its parent's deletion or the device's): it
// takes no more requests, cancels those still waiting and the driver's cancelable ones, then
// every request the driver still owns must be completed; a request never completed is a
// verifier error.
void fx_queue::dispose() {
    auto& s = scheduler::get();
    ticks deadline = s.now() + teardown_grace;  // now() takes the scheduler lock itself
    std::unique_lock lk(s.lock());
    shutdown_ = true;
    accept_ = false;
    cancel_dispatched_ = true;
    std::vector<fx_request*> complete;
    std::deque<fx_request*> keep;
    for (fx_request* r : queued) {
        if (r->disarm_irp_cancel()) {
            cancel_queued_locked(r, complete);
        } else {
            keep.push_back(r);
        }
    }
    queued.swap(keep);
    for (fx_request* r : driver_owned) {
        if (r->cancelable && !r->cancel_taken && r->disarm_irp_cancel()) {
            cancel_for_driver_locked(r);
        }
    }
    complete_all(lk, complete, STATUS_CANCELLED);
    kick(lk);
    bool own_thread = thread_ && thread_->record() == &s.current_locked();
    if (!own_thread) {
        std::function<bool()> ready = [&] {
            return queued.empty() && driver_count == 0 && cancelled_for_driver_.empty() &&
                   cancelled_on_queue_.empty() && delivering_ == nullptr;
        };
        if (!s.block(lk, ready, deadline, "queue teardown")) {
            bug_check(bug_code::wdf_violation,
                      "WDFQUEUE deleted while the driver still owns requests it never completed",
                      reinterpret_cast<std::uintptr_t>(handle()), driver_count, queued.size());
        }
    } else if (driver_count != 0) {
        bug_check(bug_code::wdf_violation,
                  "WDFQUEUE deleted from its own callback while the driver still owns requests",
                  reinterpret_cast<std::uintptr_t>(handle()), driver_count);
    }
    // Leave the device's tables.
    auto& qs = package_->queues;
    qs.erase(std::remove(qs.begin(), qs.end(), this), qs.end());
    if (package_->default_queue == this)
        package_->default_queue = nullptr;
    for (auto& entry : package_->dispatch_table) {
        if (entry == this)
            entry = nullptr;
    }
    // Stop the dispatch thread.
    if (control_)
        control_->stop = true;
    s.wake();
    lk.unlock();
    if (thread_) {
        if (own_thread) {
            std::lock_guard g(s.lock());
            graveyard().push_back(std::move(thread_));
        } else {
            thread_->join();
            thread_.reset();
        }
    }
    reap_graveyard();
}

fx_queue* queue_from(WDFQUEUE handle, const char* routine) {
    return fx_get<fx_queue>(handle, fx_type::queue, routine);
}

}  // namespace platform::wdf
