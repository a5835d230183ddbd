// Framework requests: one WDFREQUEST per IRP that the I/O package receives. A request is
// in one place at a time: waiting in a queue, owned by the driver (presented, retrieved or
// handed to EvtDeviceFileCreate), or completed. Completing it completes the IRP and deletes
// the request; its handle is invalid afterwards unless the driver holds a reference.
//
// Cancellation follows the framework's rules:
//   1. while the request waits in a queue, an IRP cancel takes it out of the queue and the
//      framework completes it STATUS_CANCELLED (or hands it to EvtIoCanceledOnQueue when the
//      request had been presented before and the queue has that callback);
//   2. while the driver owns it and has marked it cancelable, an IRP cancel (or a purge)
//      takes the cancelable mark away and the driver's cancel routine runs once;
//   3. while the driver owns it unmarked, a cancel only sets the IRP's flag
//      (WdfRequestIsCanceled).
#pragma once

#include <wdf.h>

#include <string>

#include "io/irp.h"
#include "wdf/fx_object.h"

namespace platform::wdf {

class io_package;
class fx_queue;
class fx_file_object;

class fx_request : public fx_object {
  public:
    // Creates the request for `irp` with the device's request attributes. On failure the IRP
    // is untouched and null is returned with the status.
    static fx_request* create(io_package* package, PIRP irp, bool is_create, NTSTATUS* status);

    PIRP irp() const { return irp_; }
    io_package* package() const { return package_; }
    // Created by the driver with WdfRequestCreate (no queue, no I/O package): see
    // sent_request.h.
    bool driver_created() const { return package_ == nullptr; }
    bool is_create() const { return is_create_; }
    UCHAR major() const { return major_; }
    // Read length, write length; 0 for anything else.
    size_t transfer_length() const;

    // The framework file object of the request's WDM file object, or null.
    fx_file_object* file_object() const;

    // Completes the IRP with `status` and `information`, then deletes the request. Checks the
    // verifier's rules first (not completed yet, not still cancelable, information within the
    // buffer). `by_framework` completions skip the ownership checks.
    void complete(NTSTATUS status, ULONG_PTR information, bool by_framework = false);

    // ---- State, guarded by the scheduler lock ----------------------------------------------
    enum class place { none, queued, driver, completed };
    place where = place::none;
    fx_queue* queue = nullptr;  // the queue it waits in or that presented/retrieved it
    bool presented = false;     // ever given to the driver by a queue
    // The callback (or retrieval routine) that last gave the request to the driver, for the
    // verifier's messages; a literal.
    const char* received_by = nullptr;
    bool canceled = false;          // the framework took it out because of a cancel or purge
    bool cancelable = false;        // marked cancelable by the driver
    bool cancel_taken = false;      // the cancel mark was taken away; the routine is due
    bool cancel_delivered = false;  // the driver's cancel routine has been called
    PFN_WDF_REQUEST_CANCEL cancel_routine = nullptr;
    enum class stop_state { none, notified, acknowledged, acknowledged_requeue };
    stop_state stop = stop_state::none;
    bool in_stop_callback = false;
    bool suspended = false;  // acknowledged at power-down, resumed at power-up
    ULONG_PTR information = 0;
    WDFMEMORY input_memory = nullptr;
    WDFMEMORY output_memory = nullptr;

    // Installs the IRP cancel routine that takes this request out of its queue or out of the
    // driver's cancelable set. Returns false when the IRP is already cancelled (nothing set).
    bool arm_irp_cancel();
    // Removes that routine. Returns false when an IRP cancel already took it (the routine is
    // running or about to, and will handle the request).
    bool disarm_irp_cancel();
    bool irp_cancelled() const;

    // "read request 0x... received by EvtIoRead", for verifier messages. Lock held.
    std::string describe_locked() const;

  protected:
    ~fx_request() override = default;
    // A driver-created request over the IRP it owns; the kind is set when it is formatted.
    explicit fx_request(PIRP irp);
    void set_major(UCHAR major) { major_ = major; }

  private:
    fx_request(io_package* package, PIRP irp, bool is_create);
    void check_completion_locked(NTSTATUS status, ULONG_PTR information);

    PIRP irp_;
    io_package* package_;
    bool is_create_;
    UCHAR major_;
};

// The request behind a handle, checked to be a live request that is not completed.
fx_request* request_from(WDFREQUEST handle, const char* routine);

}  // namespace platform::wdf
