// Remote I/O targets: opening by name, the sent list, closing (cancel, wait, close the file
// object), and the default handling of the target device's PnP notifications.
#include "wdf/io_target.h"

#include <cstring>

#include "core/bugcheck.h"
#include "core/driver_call.h"
#include "core/scheduler.h"
#include "io/io_manager.h"
#include "kernel/kernel.h"
#include "kernel/strings.h"
#include "wdf/fx_device.h"
#include "wdf/fx_driver.h"
#include "wdf/sent_request.h"

namespace platform::wdf {
namespace {

// The target-device-change events, by value.
constexpr GUID query_remove_event = {
    0xcb3a4006L, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};
constexpr GUID remove_cancelled_event = {
    0xcb3a4007L, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};
constexpr GUID remove_complete_event = {
    0xcb3a4008L, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};

std::mutex& sched_lock() {
    return scheduler::get().lock();
}

std::uint64_t as_number(const void* p) {
    return reinterpret_cast<std::uintptr_t>(p);
}

// FxIoTargetRemote::_PlugPlayNotification: the registration's context is the target.
NTSTATUS target_notification(PVOID structure, PVOID context) {
    auto* note = static_cast<TARGET_DEVICE_REMOVAL_NOTIFICATION*>(structure);
    auto* target = static_cast<fx_io_target*>(context);
    fx_ref keep(target);  // a callback may delete the target
    return target->on_target_change(note->Event);
}

}  // namespace

fx_io_target* fx_io_target::from(WDFIOTARGET handle, const char* routine) {
    return fx_get<fx_io_target>(handle, fx_type::io_target, routine);
}

WDF_IO_TARGET_STATE fx_io_target::state() const {
    std::lock_guard g(sched_lock());
    return state_;
}

PDEVICE_OBJECT fx_io_target::target_device() const {
    std::lock_guard g(sched_lock());
    return top_;
}

PFILE_OBJECT fx_io_target::target_file() const {
    std::lock_guard g(sched_lock());
    return file_;
}

NTSTATUS fx_io_target::open_by_name(const WDF_IO_TARGET_OPEN_PARAMS& params) {
    io::open_params op;
    op.desired_access = desired_access_;
    op.requestor_mode = KernelMode;  // OBJ_KERNEL_HANDLE from the framework: no access check
    op.synchronous = false;          // no FILE_SYNCHRONOUS_IO_* option: I/O is not serialised
    ULONG disposition = params.Type == WdfIoTargetOpenReopen ? FILE_OPEN : params.CreateDisposition;
    op.create_options = (disposition << 24) | (create_options_ & 0x00FFFFFF);
    op.share_access = static_cast<USHORT>(share_access_);
    io::open_result opened = io::open_file(name_, op);
    if (!NT_SUCCESS(opened.status))
        return opened.status;
    PFILE_OBJECT fo = io::file_body(*opened.file);
    PDEVICE_OBJECT top = IoGetAttachedDevice(fo->DeviceObject);
    PVOID entry = nullptr;
    fx_driver* driver = device != nullptr ? device->driver : nullptr;
    // Even when the registration fails the open succeeds, without PnP notifications
    // (FxIoTargetRemote::Open).
    if (!NT_SUCCESS(IoRegisterPlugPlayNotification(EventCategoryTargetDeviceChange, 0, fo,
                                                   driver != nullptr ? driver->wdm : nullptr,
                                                   target_notification, this, &entry))) {
        entry = nullptr;
    }
    std::lock_guard g(sched_lock());
    file_ref_ = std::move(opened.file);
    file_ = fo;
    top_ = top;
    notify_entry_ = entry;
    return STATUS_SUCCESS;
}

NTSTATUS fx_io_target::open(const WDF_IO_TARGET_OPEN_PARAMS& params) {
    bool reopen = params.Type == WdfIoTargetOpenReopen;
    PVOID stale_entry = nullptr;
    {
        std::lock_guard g(sched_lock());
        if (reopen && !by_name_)
            return STATUS_INVALID_DEVICE_REQUEST;
        if (state_ == WdfIoTargetDeleted || open_ != open_state::closed)
            return STATUS_INVALID_DEVICE_STATE;
        open_ = open_state::opening;
        // Still registered after a close for query-remove; the new open registers again.
        stale_entry = std::exchange(notify_entry_, nullptr);
    }
    if (stale_entry != nullptr)
        IoUnregisterPlugPlayNotificationEx(stale_entry);
    NTSTATUS st = STATUS_SUCCESS;
    if (!reopen) {
        by_name_ = params.Type == WdfIoTargetOpenByName;
        query_remove_ = params.EvtIoTargetQueryRemove;
        remove_canceled_ = params.EvtIoTargetRemoveCanceled;
        remove_complete_ = params.EvtIoTargetRemoveComplete;
    }
    if (params.Type == WdfIoTargetOpenByName) {
        name_ = kernel::to_u16(&params.TargetDeviceName);
        desired_access_ = params.DesiredAccess;
        share_access_ = params.ShareAccess;
        create_options_ = params.CreateOptions;
    }
    if (by_name_) {
        st = open_by_name(params);
    } else {
        // An existing device (and optionally its file object) the driver already holds.
        std::lock_guard g(sched_lock());
        top_ = params.TargetDeviceObject;
        file_ = params.TargetFileObject;
    }
    std::lock_guard g(sched_lock());
    if (NT_SUCCESS(st)) {
        open_ = open_state::open;
        state_ = WdfIoTargetStarted;
    } else {
        open_ = open_state::closed;
    }
    scheduler::get().wake();
    return st;
}

void fx_io_target::cancel_and_wait_locked(std::unique_lock<std::mutex>& lk) {
    auto& s = scheduler::get();
    std::vector<fx_sent_request*> sent(sent_.begin(), sent_.end());
    for (fx_sent_request* r : sent)
        r->add_ref();
    lk.unlock();
    for (fx_sent_request* r : sent) {
        r->cancel_sent();
        r->release();
    }
    lk.lock();
    if (s.current_locked().irql > PASSIVE_LEVEL) {
        bug_check(bug_code::irql_not_less_or_equal,
                  "WdfIoTargetClose (or the target's deletion) above PASSIVE_LEVEL: it waits "
                  "for the target's sent requests" +
                      verifier::describe_current_call(),
                  s.current_locked().irql);
    }
    std::function<bool()> drained = [this] { return sent_.empty() && completing_ == 0; };
    s.block(lk, drained, no_deadline,
            "an I/O target's sent requests to complete after it was closed");
}

// FxIoTargetRemote::Close: stop taking requests, cancel and wait for those sent, then let go
// of the file object. A close for query-remove keeps the notification registration so that
// a cancelled removal can reopen the target.
void fx_io_target::close(close_reason reason) {
    auto& s = scheduler::get();
    std::unique_lock lk(s.lock());
    std::function<bool()> settled = [this] { return open_ != open_state::opening; };
    s.block(lk, settled, no_deadline, "an I/O target's open in progress (close)");
    if (reason == close_reason::remove) {
        state_ = WdfIoTargetDeleted;
    } else if (open_ == open_state::open && reason == close_reason::query_remove) {
        state_ = WdfIoTargetClosedForQueryRemove;
    } else {
        state_ = WdfIoTargetClosed;
    }
    open_ = open_state::closed;
    PVOID entry = nullptr;
    if (reason != close_reason::query_remove)
        entry = std::exchange(notify_entry_, nullptr);
    cancel_and_wait_locked(lk);
    ob::ref<ob::object> file = std::move(file_ref_);
    top_ = nullptr;
    file_ = nullptr;
    lk.unlock();
    if (entry != nullptr)
        IoUnregisterPlugPlayNotificationEx(entry);
    if (file)
        io::close_file(std::move(file));
}

void fx_io_target::dispose() {
    close(close_reason::remove);
}

bool fx_io_target::submit(fx_sent_request* r, const WDF_REQUEST_SEND_OPTIONS* options,
                          const char* routine) {
    ULONG flags = options != nullptr ? options->Flags : 0;
    PDEVICE_OBJECT top;
    {
        std::lock_guard g(sched_lock());
        if (r->state == fx_sent_request::phase::sent) {
            violation(std::string(routine) + ": the " + r->describe_locked() +
                          " has already been sent and is still pending on an I/O target",
                      as_number(r->handle()), as_number(handle()));
        }
        NTSTATUS st = STATUS_SUCCESS;
        if (!r->formatted) {
            st = STATUS_REQUEST_NOT_ACCEPTED;  // FxIoTarget::VerifySubmitLocked
        } else if (state_ != WdfIoTargetStarted || top_ == nullptr) {
            // Closed, closed for query-remove or deleted: with or without
            // WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE nothing is sent.
            st = STATUS_INVALID_DEVICE_STATE;
        }
        (void)flags;
        if (!NT_SUCCESS(st)) {
            PIRP p = r->irp();
            std::lock_guard ig(p->cancel_lock);
            p->status = st;
            return false;
        }
        r->state = fx_sent_request::phase::sent;
        r->sent_to = this;
        sent_.push_back(r);
        r->add_ref();  // dropped when the completion has finished
        add_ref();     // the target outlives its sent requests
        top = top_;
        r->prepare_irp(top, file_);
    }
    io::call_driver(top, r->irp());
    return true;
}

NTSTATUS fx_io_target::submit_sync(fx_sent_request* r, const WDF_REQUEST_SEND_OPTIONS* options,
                                   bool call_routine, const char* routine, bool* sent) {
    if (sent != nullptr)
        *sent = false;
    auto& s = scheduler::get();
    if (s.current().irql != PASSIVE_LEVEL) {
        bug_check(bug_code::irql_not_less_or_equal,
                  std::string(routine) + " at IRQL " + std::to_string(s.current().irql) +
                      ": a synchronous send waits, so it needs PASSIVE_LEVEL" +
                      verifier::describe_current_call(),
                  s.current().irql);
    }
    ticks deadline = no_deadline;
    if (options != nullptr && (options->Flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) != 0 &&
        options->Timeout != 0) {
        LONGLONG timeout = options->Timeout;
        deadline = kernel::deadline_of(&timeout);
    }
    fx_sent_request::sync_wait w;
    w.call_driver_routine = call_routine;
    {
        std::lock_guard g(s.lock());
        if (r->state == fx_sent_request::phase::sent) {
            violation(std::string(routine) + ": the " + r->describe_locked() +
                          " has already been sent and is still pending on an I/O target",
                      as_number(r->handle()), as_number(handle()));
        }
        r->waiter = &w;
    }
    if (!submit(r, options, routine)) {
        std::lock_guard g(s.lock());
        r->waiter = nullptr;
        std::lock_guard ig(r->irp()->cancel_lock);
        return r->irp()->status;
    }
    if (sent != nullptr)
        *sent = true;
    std::unique_lock lk(s.lock());
    std::function<bool()> done = [&w] { return w.done; };
    if (!s.block(lk, done, deadline, "a synchronous send to an I/O target")) {
        // FxIoTarget::SubmitSync: cancel, wait for the request to come back, and report
        // STATUS_IO_TIMEOUT if it came back cancelled.
        r->timed_out = true;
        lk.unlock();
        r->cancel_sent();
        lk.lock();
        s.block(lk, done, no_deadline, "a timed-out synchronous send to be cancelled");
    }
    return w.status;
}

void fx_io_target::request_left_locked(fx_sent_request* r) {
    sent_.remove(r);
    ++completing_;
}

void fx_io_target::completion_returned() {
    {
        std::lock_guard g(sched_lock());
        --completing_;
        scheduler::get().wake();
    }
    release();  // the reference the send took
}

NTSTATUS fx_io_target::on_target_change(const GUID& event) {
    WDFIOTARGET h = handle_as<WDFIOTARGET>();
    if (event == query_remove_event) {
        // With a driver callback there is no default action: the driver decides.
        if (query_remove_ != nullptr) {
            verifier::driver_call call({"EvtIoTargetQueryRemove", handle()});
            return query_remove_(h);
        }
        close(close_reason::query_remove);
        return STATUS_SUCCESS;
    }
    if (event == remove_complete_event) {
        if (remove_complete_ != nullptr) {
            verifier::driver_call call({"EvtIoTargetRemoveComplete", handle()});
            remove_complete_(h);
            return STATUS_SUCCESS;
        }
        close(close_reason::plain);
        return STATUS_SUCCESS;
    }
    if (event == remove_cancelled_event) {
        if (remove_canceled_ != nullptr) {
            verifier::driver_call call({"EvtIoTargetRemoveCanceled", handle()});
            remove_canceled_(h);
            return STATUS_SUCCESS;
        }
        WDF_IO_TARGET_OPEN_PARAMS params;
        WDF_IO_TARGET_OPEN_PARAMS_INIT_REOPEN(&params);
        return open(params);
    }
    return STATUS_SUCCESS;
}

}  // namespace platform::wdf
