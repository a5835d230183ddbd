// Framework I/O queues: creation with their execution level, synchronisation scope and
// callback lock, deletion, and the worker thread that runs the loop for callers that may not
// (above PASSIVE_LEVEL for a passive-level queue, or holding the queue's callback lock).
#include "wdf/queue.h"

#include <algorithm>
#include <string>

#include "core/bugcheck.h"
#include "wdf/io_dispatch.h"
#include "wdf/request.h"

namespace platform::wdf {
namespace {

std::mutex& sched_lock() {
    return scheduler::get().lock();
}

// Worker threads whose queue was deleted from the worker itself cannot join themselves; the
// next queue deletion joins them.
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

// How long a queue being deleted or purged for removal waits for the driver to complete the
// requests it owns before the verifier reports them (virtual time: costs nothing when nothing
// else runs). The framework's verifier breaks in after its own wait time-out the same way.
constexpr ticks completion_grace = 30 * ticks_per_second;

}  // namespace

fx_queue::fx_queue(io_package* package, const WDF_IO_QUEUE_CONFIG& config)
    : fx_object(fx_type::queue), package_(package), config_(config) {}

fx_queue::~fx_queue() = default;

const char* io_kind_name(UCHAR major) {
    switch (major) {
        case IRP_MJ_CREATE:
            return "create";
        case IRP_MJ_READ:
            return "read";
        case IRP_MJ_WRITE:
            return "write";
        case IRP_MJ_DEVICE_CONTROL:
            return "device control";
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            return "internal device control";
        default:
            return "other request";
    }
}

namespace {

NTSTATUS check_config(io_package* package, const WDF_IO_QUEUE_CONFIG& c,
                      const WDF_OBJECT_ATTRIBUTES* attributes) {
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
    if (attributes != nullptr) {
        NTSTATUS st =
            validate_attributes(attributes, attr_exec_level_allowed | attr_sync_scope_allowed);
        if (!NT_SUCCESS(st))
            return st;
        // Device scope shares the device's callback lock, so the queue must run its callbacks
        // at the device's execution level (FxIoQueue::ConfigureConstraints).
        fx_object* device = package->device();
        WDF_EXECUTION_LEVEL device_level = device->resolved_execution_level();
        WDF_EXECUTION_LEVEL level = attributes->ExecutionLevel;
        if (level == WdfExecutionLevelInheritFromParent)
            level = device_level;
        WDF_SYNCHRONIZATION_SCOPE scope = attributes->SynchronizationScope;
        if (scope == WdfSynchronizationScopeInheritFromParent)
            scope = device->resolved_sync_scope();
        if (scope == WdfSynchronizationScopeDevice && level != device_level)
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
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS fx_queue::create(io_package* package, const WDF_IO_QUEUE_CONFIG* config,
                          const WDF_OBJECT_ATTRIBUTES* attributes, fx_queue** out) {
    const WDF_IO_QUEUE_CONFIG& c = *config;
    NTSTATUS st = check_config(package, c, attributes);
    if (!NT_SUCCESS(st))
        return st;
    auto* q = new fx_queue(package, c);
    st =
        q->commit(attributes, package->device(), attr_exec_level_allowed | attr_sync_scope_allowed);
    if (!NT_SUCCESS(st)) {
        fx_object::discard(q);
        return st;
    }
    q->configure_constraints();
    q->prepare_worker();
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

    *out = q;
    return STATUS_SUCCESS;
}

// The execution level and synchronisation scope of the queue: its own attributes, else its
// device's (FxIoQueue::ConfigureConstraints resolves them from the device, not from a parent
// given in the attributes). The queue's own callback lock exists whatever the scope; under
// device scope its callbacks use the device's lock instead.
void fx_queue::configure_constraints() {
    fx_object* device = package_->device();
    WDF_EXECUTION_LEVEL level = execution_level();
    if (level == WdfExecutionLevelInheritFromParent)
        level = device->resolved_execution_level();
    scope_ = sync_scope();
    if (scope_ == WdfSynchronizationScopeInheritFromParent)
        scope_ = device->resolved_sync_scope();
    passive_ = level == WdfExecutionLevelPassive;
    own_lock_ = std::make_unique<fx_callback_lock>(
        passive_ ? fx_callback_lock::kind::passive : fx_callback_lock::kind::spin,
        passive_ ? "WDFQUEUE callback lock" : "WDFQUEUE callback spin lock");
    own_lock_->identify(handle());
    callback_lock_ =
        scope_ == WdfSynchronizationScopeDevice ? device_callback_lock(device) : own_lock_.get();
    serialised_ = scope_ == WdfSynchronizationScopeQueue || scope_ == WdfSynchronizationScopeDevice;
}

// The thread that runs the loop for callers that may not: at PASSIVE_LEVEL for a
// passive-level queue, at DISPATCH_LEVEL (as the framework's DPC) for the others. The
// framework prepares its work item or DPC with the queue; the thread that stands for it
// starts at the first posting (most queues, manual ones above all, never need it).
void fx_queue::prepare_worker() {
    auto w = std::make_shared<worker>();
    w->irql = passive_ ? PASSIVE_LEVEL : DISPATCH_LEVEL;
    worker_ = w;
}

void fx_queue::start_worker_thread_locked() {
    std::shared_ptr<worker> w = worker_;
    fx_queue* q = this;
    w->thread = scheduler::get().start_thread_locked(
        "wdf queue worker " + std::to_string(reinterpret_cast<std::uintptr_t>(handle()) >> 4),
        [q, w] {
            auto& s = scheduler::get();
            thread_record& me = s.current();
            std::unique_lock lk(s.lock());
            for (;;) {
                std::function<bool()> ready = [&] { return w->stop || w->posted; };
                s.block(lk, ready, no_deadline, "queue work its caller could not run");
                if (w->stop)
                    return;
                w->posted = false;
                // The queue lives while its worker runs: deletion stops the worker first.
                me.irql = w->irql;
                q->dispatch_events(lk);
                me.irql = PASSIVE_LEVEL;
            }
        });
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

void fx_queue::wait_for(std::unique_lock<std::mutex>& lk, const std::function<bool()>& ready,
                        const char* what) {
    scheduler::get().block(lk, ready, no_deadline, what);
}

// The driver still owns a request at a point where it must have completed them all: names
// the oldest one, its I/O kind and the callback that received it. Lock held.
void fx_queue::report_never_completed(const char* when) {
    std::string culprit;
    std::uint64_t request = 0;
    if (!driver_owned.empty()) {
        culprit = ": " + driver_owned.front()->describe_locked();
        request = reinterpret_cast<std::uintptr_t>(driver_owned.front()->handle());
    } else if (!queued.empty()) {
        culprit = ": " + queued.front()->describe_locked() + " still waits in the queue";
    }
    bug_check(bug_code::wdf_violation,
              std::string("WDFQUEUE ") + when + " while the driver still owns " +
                  std::to_string(driver_count) + " request(s) it never completed" + culprit,
              reinterpret_cast<std::uintptr_t>(handle()), request, driver_count);
}

// The queue is being deleted (WdfObjectDelete, its parent's deletion or the device's): it
// takes no more requests, cancels those still waiting and the driver's cancelable ones, then
// every request the driver still owns must be completed; a request never completed is a
// verifier error.
void fx_queue::dispose() {
    auto& s = scheduler::get();
    ticks deadline = s.now() + completion_grace;  // now() takes the scheduler lock itself
    std::unique_lock lk(s.lock());
    shutdown_ = true;
    accept_ = false;
    cancel_dispatched_ = true;
    cancel_present_locked(lk);
    cancel_driver_cancelable_locked();
    dispatch_events(lk);
    thread_record& me = s.current_locked();
    int mine = static_cast<int>(std::count(dispatchers_.begin(), dispatchers_.end(), &me));
    bool own_worker = worker_ && worker_->thread && worker_->thread->record() == &me;
    if (mine > 0 || own_worker) {
        // Deleted from one of its own callbacks: nothing it owns may be left.
        if (driver_count != 0)
            report_never_completed("deleted from its own callback");
    } else {
        std::function<bool()> ready = [&] {
            return queued.empty() && driver_count == 0 && cancelled_for_driver_.empty() &&
                   cancelled_on_queue_.empty() && dispatching_ == 0;
        };
        if (!s.block(lk, ready, deadline, "queue teardown"))
            report_never_completed("deleted");
    }
    closed_ = true;
    // Leave the device's tables.
    auto& qs = package_->queues;
    qs.erase(std::remove(qs.begin(), qs.end(), this), qs.end());
    if (package_->default_queue == this)
        package_->default_queue = nullptr;
    for (auto& entry : package_->dispatch_table) {
        if (entry == this)
            entry = nullptr;
    }
    std::shared_ptr<scheduler::joinable> thread;
    if (worker_) {
        worker_->stop = true;
        thread = std::move(worker_->thread);
    }
    s.wake();
    if (thread && own_worker)
        graveyard().push_back(std::move(thread));
    lk.unlock();
    if (thread)
        thread->join();
    reap_graveyard();
}

fx_queue* queue_from(WDFQUEUE handle, const char* routine) {
    return fx_get<fx_queue>(handle, fx_type::queue, routine);
}

}  // namespace platform::wdf
