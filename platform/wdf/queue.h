// Framework I/O queues. A queue holds the requests waiting to be presented, counts the
// requests the driver owns that came from it, and delivers every driver callback of the queue
// (request presentation, EvtIoStop/EvtIoResume, EvtIoCanceledOnQueue, cancel routines of
// requests it presented, ready and state-change callbacks) from one event loop,
// `dispatch_events`, as the framework's FxIoQueue::DispatchEvents does.
//
// The loop has no thread of its own: it runs on whichever thread changed the queue's state,
// at that thread's IRQL.
//   - A new request is presented on the sender's thread, inside the I/O call.
//   - A forwarded request is presented on the forwarding thread, inside
//     WdfRequestForwardToIoQueue; WdfIoQueueStart, stop, purge and ready notification run
//     the loop on the calling thread too, as do power changes (on the PnP thread).
//   - Completing a request, forwarding it elsewhere, acknowledging a stop and cancelling run
//     the loop only when no thread is running it (`dispatching_ == 0`, the framework's
//     m_Dispatching, through DispatchInternalEvents). So a completion inside the queue's own
//     callback presents nothing: the loop that called the callback presents the next request
//     once it returns. A completion from elsewhere (a work item, a system thread, a timer)
//     presents the next request of a sequential queue on the completing thread, inside
//     WdfRequestComplete, with whatever locks that thread holds.
//   - Several threads may run the loop at once; a parallel queue presents on all of them. A
//     sequential queue never presents while the driver owns one of its requests.
//   - A passive-level queue never runs the loop above PASSIVE_LEVEL, and no queue runs it on
//     a thread that holds the queue's callback lock (a driver callback serialised with the
//     queue, such as a work item or a timer routine, or WdfObjectAcquireLock): the caller's
//     work is posted to the queue's worker thread (the framework's system work item, or its
//     DPC for a dispatch-level queue, when the worker runs the loop at DISPATCH_LEVEL).
//
// Synchronisation scope (FxIoQueue::ConfigureConstraints). The execution level and scope
// come from the queue's attributes, else from its device. Every queue has a callback lock
// (fx_callback_lock.h): its own, or its device's under device scope. With queue or device
// scope every callback of the queue runs under it (not the stop-complete callback, as in the
// framework), so callbacks of a parallel queue never overlap, those of every device-scoped
// queue of a device never overlap each other, and a dispatch-level scope runs them at
// DISPATCH_LEVEL.
//
// All state is guarded by the scheduler lock; driver callbacks run with no platform lock
// held (only the callback lock, when the scope asks for it), each inside a
// verifier::driver_call naming the callback, the queue and the request.
//
// The code is split by concern: queue.cpp (creation, deletion, the deferred worker),
// queue_dispatch.cpp (the loop and presentation), queue_requests.cpp (requests entering and
// leaving: new, forwarded, requeued, retrieved, completed), queue_state.cpp (start, stop,
// purge, drain, state bits, ready notification), queue_power.cpp (power changes and the
// removal purges) and queue_cancel.cpp (cancellation).
#pragma once

#include <wdf.h>

#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "core/scheduler.h"
#include "wdf/fx_callback_lock.h"
#include "wdf/fx_object.h"

namespace platform::wdf {

class io_package;
class fx_request;

class fx_queue : public fx_object {
  public:
    static NTSTATUS create(io_package* package, const WDF_IO_QUEUE_CONFIG* config,
                           const WDF_OBJECT_ATTRIBUTES* attributes, fx_queue** out);

    io_package* package() const { return package_; }
    const WDF_IO_QUEUE_CONFIG& config() const { return config_; }
    bool power_managed() const { return power_managed_; }
    bool has_handler_for(UCHAR major) const;

    // Execution level and synchronisation scope as resolved at creation, and the callback
    // lock (the queue's own, or its device's under device scope).
    bool passive() const { return passive_; }
    WDF_SYNCHRONIZATION_SCOPE sync_scope_in_effect() const { return scope_; }
    fx_callback_lock* callback_lock() const { return callback_lock_; }

    // ---- Requests entering and leaving (queue_requests.cpp) ---------------------------------

    // A new request from the I/O package (or the create path). Returns STATUS_PENDING once
    // the queue has taken it (it may already be presented, or completed STATUS_CANCELLED when
    // its IRP was cancelled); when the queue does not accept requests the request is
    // completed STATUS_INVALID_DEVICE_STATE and that status is returned, for the dispatch
    // routine to return.
    NTSTATUS queue_request(fx_request* request);
    NTSTATUS forward(fx_request* request);  // into this queue, from the driver
    NTSTATUS requeue(fx_request* request);
    NTSTATUS retrieve(PFILE_OBJECT file, fx_request* found, fx_request** out);
    NTSTATUS find(fx_request* after, PFILE_OBJECT file, fx_request** out);
    // Called by fx_request::complete once the IRP is completed: the request no longer counts
    // as the driver's, and the loop runs when nobody runs it.
    void request_completed();

    // ---- Driver operations on the queue's state (queue_state.cpp) ---------------------------

    void start();
    // Stop (cancel = false) or stop-and-purge (cancel = true). `done` / `context` as the
    // driver's PFN_WDF_IO_QUEUE_STATE; `wait` makes it synchronous.
    void idle(bool cancel, PFN_WDF_IO_QUEUE_STATE done, WDFCONTEXT context, bool wait,
              const char* routine);
    // Purge (cancel = true) or drain (cancel = false).
    void purge(bool cancel, PFN_WDF_IO_QUEUE_STATE done, WDFCONTEXT context, bool wait,
               const char* routine);
    WDF_IO_QUEUE_STATE state(PULONG queued, PULONG driver);
    NTSTATUS ready_notify(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context);
    void stop_acknowledge(fx_request* request, bool requeue);

    // ---- Power and removal (queue_power.cpp), called by the device's PnP handling ----------

    // Before EvtDeviceD0Exit: a power-managed queue waits until no thread runs its loop,
    // then EvtIoStop (suspend) reaches each request the driver owns; returns when each is
    // acknowledged or completed. Nothing for a queue that is not power-managed.
    void power_down();
    // After EvtDeviceD0Entry: EvtIoResume for each request suspended at power-down, then the
    // queue presents again.
    void power_up();
    // Surprise removal and removal, before EvtDeviceSelfManagedIoFlush
    // (PnpCleanupForRemove): a power-managed queue stops accepting for good, cancels what
    // waits in it and the driver's cancelable requests, sends EvtIoStop (purge) for the rest
    // and returns once the driver has completed every request it owns, cancelled ones
    // included. A queue that is not power-managed is left alone: it keeps taking and
    // presenting requests.
    void purge_for_surprise_removal();
    // The final remove (PnpEventRemovedCommonCode): the same purge for every queue not purged
    // yet, which after a surprise removal means those that are not power-managed.
    void purge_for_remove();

    // ---- Cancellation (queue_cancel.cpp) ----------------------------------------------------

    void mark_cancelable(fx_request* request, PFN_WDF_REQUEST_CANCEL routine,
                         bool fail_if_cancelled, NTSTATUS* status);
    NTSTATUS unmark_cancelable(fx_request* request);
    void flush_file(PFILE_OBJECT file);  // clean-up: cancel queued requests of that handle
    // An IRP cancel reached a request of this queue (its IRP cancel routine).
    void on_irp_cancel(fx_request* request);

    // ---- State, guarded by the scheduler lock ------------------------------------------------
    std::deque<fx_request*> queued;
    std::list<fx_request*> driver_owned;  // presented or retrieved, not completed or forwarded
    ULONG driver_count = 0;               // requests the driver owns (completion in progress too)

  protected:
    ~fx_queue() override;
    void dispose() override;

  private:
    fx_queue(io_package* package, const WDF_IO_QUEUE_CONFIG& config);

    // The framework's FxIoQueuePowerState, reduced to what a stand-in needs.
    enum class power {
        on,
        leaving,     // StartingTransition: no presentation until no thread runs the loop
        stopping,    // EvtIoStop (suspend) due for `stop_notify_`
        stop_wait,   // waiting for each notified request to be acknowledged or completed
        purging,     // EvtIoStop (purge) due for `stop_notify_`
        purge_wait,  // waiting for every driver-owned request to be completed
        off,         // nothing is presented
        restarting,  // EvtIoResume due for `stop_notify_`
    };
    // The framework's system work item (passive-level queues) or DPC (the others): one
    // thread that runs the loop whenever a caller could not (above PASSIVE_LEVEL for a
    // passive-level queue, or holding the queue's callback lock), at PASSIVE_LEVEL or, for a
    // dispatch-level queue, at DISPATCH_LEVEL. Guarded by the scheduler lock.
    struct worker {
        bool posted = false;  // the caller's work waits for the worker (m_WorkItemQueued)
        bool stop = false;
        std::uint8_t irql = 0;  // the loop runs at this IRQL
        std::shared_ptr<scheduler::joinable> thread;
    };

    // queue_dispatch.cpp: the loop.
    void dispatch_events(std::unique_lock<std::mutex>& lk);
    void dispatch_internal_events(std::unique_lock<std::mutex>& lk);
    bool must_defer_locked(const thread_record& me) const;
    void post_to_worker_locked();
    bool deliver_next(std::unique_lock<std::mutex>& lk);
    bool deliver_cancellation(std::unique_lock<std::mutex>& lk);
    bool deliver_state_callback(std::unique_lock<std::mutex>& lk);
    bool deliver_ready(std::unique_lock<std::mutex>& lk);
    bool present_next(std::unique_lock<std::mutex>& lk);
    void present(std::unique_lock<std::mutex>& lk, fx_request* request);
    void call_driver(std::unique_lock<std::mutex>& lk, const char* role, fx_request* request,
                     const std::function<void()>& fn, bool serialised = true);
    bool in_own_loop_locked() const;

    // queue_state.cpp.
    struct state_callback_slot {
        PFN_WDF_IO_QUEUE_STATE& done;
        WDFCONTEXT& context;
        bool*& flag;
    };
    void arm_state_callback_locked(const char* routine, const char* pending_what, bool wait,
                                   PFN_WDF_IO_QUEUE_STATE done, WDFCONTEXT context,
                                   state_callback_slot slot, bool* flag);

    // queue_power.cpp.
    bool power_notifying_locked() const;
    bool advance_power(std::unique_lock<std::mutex>& lk);
    bool deliver_stop_or_resume(std::unique_lock<std::mutex>& lk);
    void notify_owned_locked();
    void purge_for_removal(const char* what);
    void wait_for_removal_purge(std::unique_lock<std::mutex>& lk, const char* what);

    // queue_cancel.cpp.
    void cancel_for_queue_locked(std::unique_lock<std::mutex>& lk, fx_request* request);
    void cancel_for_driver_locked(fx_request* request);
    void cancel_present_locked(std::unique_lock<std::mutex>& lk);
    void cancel_driver_cancelable_locked();

    // queue_requests.cpp.
    void enqueue_locked(std::unique_lock<std::mutex>& lk, fx_request* request, bool at_head);
    void take_for_driver_locked(fx_request* request);
    void leave_driver_locked(fx_request* request);

    // queue.cpp.
    void configure_constraints();
    void prepare_worker();
    void start_worker_thread_locked();
    void wait_for(std::unique_lock<std::mutex>& lk, const std::function<bool()>& ready,
                  const char* what);
    [[noreturn]] void report_never_completed(const char* when);

    io_package* package_;
    WDF_IO_QUEUE_CONFIG config_;
    bool power_managed_ = false;
    bool passive_ = false;  // callbacks only at PASSIVE_LEVEL
    WDF_SYNCHRONIZATION_SCOPE scope_ = WdfSynchronizationScopeNone;
    bool serialised_ = false;  // queue or device scope: callbacks run under callback_lock_
    std::unique_ptr<fx_callback_lock> own_lock_;
    fx_callback_lock* callback_lock_ = nullptr;  // own_lock_, or the device's

    // Guarded by the scheduler lock.
    bool accept_ = true;
    bool dispatch_ = true;
    bool shutdown_ = false;           // removal: accept stays off
    bool removal_purged_ = false;     // purge_for_surprise_removal / purge_for_remove done
    bool closed_ = false;             // deleted: the loop delivers nothing more (m_Deleted)
    bool cancel_dispatched_ = false;  // purge in progress: newly cancelable requests cancel
    power power_ = power::on;
    int dispatching_ = 0;                           // threads running the loop (m_Dispatching)
    std::vector<thread_record*> dispatchers_;       // those threads, innermost last
    std::deque<fx_request*> cancelled_for_driver_;  // cancel routine due
    std::deque<fx_request*> cancelled_on_queue_;    // EvtIoCanceledOnQueue due
    std::deque<fx_request*> stop_notify_;           // EvtIoStop / EvtIoResume due
    PFN_WDF_IO_QUEUE_STATE idle_done_ = nullptr;
    WDFCONTEXT idle_context_ = nullptr;
    bool* idle_flag_ = nullptr;  // a synchronous stop waits on this
    PFN_WDF_IO_QUEUE_STATE purge_done_ = nullptr;
    WDFCONTEXT purge_context_ = nullptr;
    bool* purge_flag_ = nullptr;
    PFN_WDF_IO_QUEUE_STATE ready_ = nullptr;
    WDFCONTEXT ready_context_ = nullptr;
    bool transition_from_empty_ = false;
    std::shared_ptr<worker> worker_;
};

fx_queue* queue_from(WDFQUEUE handle, const char* routine);

// The I/O kind of a major function as the verifier names it ("read", "device control", ...).
const char* io_kind_name(UCHAR major);

}  // namespace platform::wdf
