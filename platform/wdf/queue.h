// Framework I/O queues. A queue holds the requests waiting to be presented, counts the
// requests the driver owns that came from it, and delivers every driver callback of the queue
// (request presentation, EvtIoStop/EvtIoResume, EvtIoCanceledOnQueue, cancel routines of
// requests it presented, state-change callbacks) from one event loop.
//
// The loop runs on the queue's own dispatch thread, so presentation never happens on the
// stack of the caller that queued, completed or forwarded a request, and a sequential queue
// presents its next request only after the current one is completed or forwarded and its
// callback has returned. Cancellations (IRP cancels, purges, marking an already cancelled
// request cancelable) are delivered on the calling thread when no callback of the queue is in
// progress and the caller runs at an IRQL the queue allows, as the framework does; otherwise
// the dispatch thread delivers them once the running callback returns.
//
// All state is guarded by the scheduler lock, so synchronous stops and purges wait through the
// scheduler on it. Driver callbacks always run with no platform lock held.
#pragma once

#include <wdf.h>

#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "core/scheduler.h"
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

    // A new request from the I/O package (or the create path): queued, or completed
    // STATUS_INVALID_DEVICE_STATE when the queue does not accept requests, or STATUS_CANCELLED
    // when its IRP is already cancelled.
    void queue_request(fx_request* request);

    // Driver operations (the exported routines validate handles and call these).
    void start();
    // Stop (cancel = false) or stop-and-purge (cancel = true). `done` / `context` as the
    // driver's PFN_WDF_IO_QUEUE_STATE; `wait` makes it synchronous.
    void idle(bool cancel, PFN_WDF_IO_QUEUE_STATE done, WDFCONTEXT context, bool wait,
              const char* routine);
    // Purge (cancel = true) or drain (cancel = false).
    void purge(bool cancel, PFN_WDF_IO_QUEUE_STATE done, WDFCONTEXT context, bool wait,
               const char* routine);
    WDF_IO_QUEUE_STATE state(PULONG queued, PULONG driver);
    NTSTATUS retrieve(PFILE_OBJECT file, fx_request* found, fx_request** out);
    NTSTATUS find(fx_request* after, PFILE_OBJECT file, fx_request** out);
    NTSTATUS ready_notify(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context);
    NTSTATUS forward(fx_request* request);  // into this queue, from the driver
    NTSTATUS requeue(fx_request* request);
    void mark_cancelable(fx_request* request, PFN_WDF_REQUEST_CANCEL routine,
                         bool fail_if_cancelled, NTSTATUS* status);
    NTSTATUS unmark_cancelable(fx_request* request);
    void stop_acknowledge(fx_request* request, bool requeue);

    // The I/O package.
    void flush_file(PFILE_OBJECT file);  // clean-up: cancel queued requests of that handle
    void power_down();
    void power_up();
    void remove();

    // Called by fx_request: the driver gave up a request this queue counted (completed it or
    // forwarded it elsewhere). `lk` holds the scheduler lock.
    void release_driver_request(std::unique_lock<std::mutex>& lk, fx_request* request);
    // An IRP cancel reached a request of this queue.
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

    struct dispatch_control;
    enum class power { on, stopping, stop_wait, off, purging, purge_wait, restarting };

    bool dispatchable_locked() const;
    bool has_work_locked(bool may_present) const;
    void loop(std::unique_lock<std::mutex>& lk, bool may_present);
    bool deliver_one(std::unique_lock<std::mutex>& lk, bool may_present);
    void present(std::unique_lock<std::mutex>& lk, fx_request* request);
    void kick(std::unique_lock<std::mutex>& lk);
    void cancel_queued_locked(fx_request* request, std::vector<fx_request*>& complete);
    void cancel_for_driver_locked(fx_request* request);
    void cancel_present_locked(std::vector<fx_request*>& complete);
    void complete_all(std::unique_lock<std::mutex>& lk, std::vector<fx_request*>& requests,
                      NTSTATUS status);
    void wait_for(std::unique_lock<std::mutex>& lk, const std::function<bool()>& ready,
                  const char* what);
    void run_dispatch_thread(std::shared_ptr<dispatch_control> control);
    bool on_own_callback_thread() const;

    io_package* package_;
    WDF_IO_QUEUE_CONFIG config_;
    bool power_managed_ = false;
    bool passive_ = false;  // callbacks only at PASSIVE_LEVEL

    // Guarded by the scheduler lock.
    bool accept_ = true;
    bool dispatch_ = true;
    bool shutdown_ = false;           // removal: accept stays off
    bool cancel_dispatched_ = false;  // purge in progress: newly cancelable requests cancel
    power power_ = power::on;
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
    thread_record* delivering_ = nullptr;  // the thread running this queue's event loop
    bool in_callback_ = false;             // a driver callback of this queue is running
    std::shared_ptr<dispatch_control> control_;
    std::shared_ptr<scheduler::joinable> thread_;
};

fx_queue* queue_from(WDFQUEUE handle, const char* routine);

}  // namespace platform::wdf
