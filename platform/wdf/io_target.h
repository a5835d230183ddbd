// Remote I/O targets (WdfIoTargetCreate / WdfIoTargetOpen): another driver's device that the
// driver opens by name, as a kernel-mode open through the I/O manager, and sends requests to.
//
// States, as FxIoTargetRemote keeps them: a target is created closed (its framework state
// reads "started", but with no device behind it every format fails); WdfIoTargetOpen opens
// the device's file object, registers for target-device-change notifications on it and
// starts the target; closing (WdfIoTargetClose, the default query-remove and remove-complete
// handling, or deletion) moves it to its closed state first, so that new sends fail with
// STATUS_INVALID_DEVICE_STATE, then cancels every request still sent and waits until each
// has come back and its completion routine has returned, and only then closes the file
// object (FxIoTargetRemote::Close, FxIoTarget::GotoRemoveState).
#pragma once

#include <wdf.h>

#include <list>
#include <string>

#include "kernel/object_manager.h"
#include "wdf/fx_object.h"

namespace platform::wdf {

class fx_device;
class fx_sent_request;

class fx_io_target : public fx_object {
  public:
    fx_io_target() : fx_object(fx_type::io_target) {}

    static fx_io_target* from(WDFIOTARGET handle, const char* routine);

    fx_device* device = nullptr;  // the device that owns the target

    NTSTATUS open(const WDF_IO_TARGET_OPEN_PARAMS& params);
    enum class close_reason { plain, query_remove, remove };
    void close(close_reason reason);

    WDF_IO_TARGET_STATE state() const;
    PDEVICE_OBJECT target_device() const;  // the top of the target's stack, or null
    PFILE_OBJECT target_file() const;
    bool is_open_locked() const { return open_ == open_state::open && top_ != nullptr; }

    // Sends a formatted request. Returns whether it was sent; when it was not, the IRP's
    // status says why (FxIoTarget::SubmitLocked).
    bool submit(fx_sent_request* request, const WDF_REQUEST_SEND_OPTIONS* options,
                const char* routine);
    // Sends and waits (FxIoTarget::SubmitSync): a time-out cancels the request, waits for it
    // to come back and reports STATUS_IO_TIMEOUT. `call_routine` also runs the driver's
    // completion routine (WdfRequestSend with WDF_REQUEST_SEND_OPTION_SYNCHRONOUS).
    // `sent` (optional) tells whether the request reached the target.
    NTSTATUS submit_sync(fx_sent_request* request, const WDF_REQUEST_SEND_OPTIONS* options,
                         bool call_routine, const char* routine, bool* sent = nullptr);

    // From the request's completion: it has left the sent list (lock held) / its completion
    // routine has returned (lock not held).
    void request_left_locked(fx_sent_request* request);
    void completion_returned();

    // The driver's PnP callbacks and the default handling, from the notification.
    NTSTATUS on_target_change(const GUID& event);

  protected:
    ~fx_io_target() override = default;
    void dispose() override;

  private:
    enum class open_state { closed, opening, open };
    void cancel_and_wait_locked(std::unique_lock<std::mutex>& lk);
    NTSTATUS open_by_name(const WDF_IO_TARGET_OPEN_PARAMS& params);

    // Guarded by the scheduler lock.
    WDF_IO_TARGET_STATE state_ = WdfIoTargetStarted;
    open_state open_ = open_state::closed;
    std::list<fx_sent_request*> sent_;
    std::size_t completing_ = 0;  // completion routines running
    PDEVICE_OBJECT top_ = nullptr;
    PFILE_OBJECT file_ = nullptr;
    ob::ref<ob::object> file_ref_;
    PVOID notify_entry_ = nullptr;

    // The open's settings, kept for the reopen after a cancelled query-remove.
    std::u16string name_;
    ACCESS_MASK desired_access_ = 0;
    ULONG share_access_ = 0;
    ULONG create_options_ = 0;
    bool by_name_ = false;
    PFN_WDF_IO_TARGET_QUERY_REMOVE query_remove_ = nullptr;
    PFN_WDF_IO_TARGET_REMOVE_CANCELED remove_canceled_ = nullptr;
    PFN_WDF_IO_TARGET_REMOVE_COMPLETE remove_complete_ = nullptr;
};

}  // namespace platform::wdf
