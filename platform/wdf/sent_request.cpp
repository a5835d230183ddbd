// Driver-created requests: creation, formatting, completion (with the completion routine
// called where the completion context says), reuse and cancellation.
#include "wdf/sent_request.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <random>

#include "core/bugcheck.h"
#include "core/driver_call.h"
#include "core/pause_points.h"
#include "core/scheduler.h"
#include "wdf/fx_device.h"
#include "wdf/fx_driver.h"
#include "wdf/fx_memory.h"
#include "wdf/io_target.h"
#include "wdf/queue.h"

namespace platform::wdf {
namespace {

constexpr std::uint8_t uninitialised_fill = 0xCC;

std::mutex& sched_lock() {
    return scheduler::get().lock();
}

std::uint64_t as_number(const void* p) {
    return reinterpret_cast<std::uintptr_t>(p);
}

// ---- Completion context ----------------------------------------------------------------

struct context_settings {
    std::mutex lock;
    completion_context mode = completion_context::always;
    std::mt19937_64 generator{0};
};

context_settings& settings() {
    static auto* s = new context_settings();  // never destroyed: the worker outlives main
    return *s;
}

enum class where_to_run { completing_thread, raised_on_completing_thread, completion_thread };

where_to_run choose_context() {
    auto& s = settings();
    std::lock_guard g(s.lock);
    switch (s.mode) {
        case completion_context::never:
            return where_to_run::completing_thread;
        case completion_context::always:
            return where_to_run::completion_thread;
        case completion_context::random:
            break;
    }
    return static_cast<where_to_run>(s.generator() % 3);
}

// The completion thread: completions handed over run here, one at a time, in the order
// their IRPs completed, at DISPATCH_LEVEL.
struct completion_queue {
    std::deque<fx_sent_request*> pending;  // each holds a reference; guarded by the sched lock
    std::shared_ptr<scheduler::joinable> thread;
};

completion_queue& queue_state() {
    static auto* q = new completion_queue();
    return *q;
}

void completion_thread_body(const std::function<void(fx_sent_request*)>& run) {
    auto& s = scheduler::get();
    auto& q = queue_state();
    std::function<bool()> ready = [&q] { return !q.pending.empty(); };
    for (;;) {
        fx_sent_request* r;
        {
            std::unique_lock lk(s.lock());
            s.block(lk, ready, no_deadline, "I/O target completions");
            r = q.pending.front();
            q.pending.pop_front();
        }
        run(r);
    }
}

}  // namespace

void set_completion_context(completion_context mode, std::uint64_t seed) {
    auto& s = settings();
    std::lock_guard g(s.lock);
    s.mode = mode;
    s.generator.seed(seed);
}

completion_context current_completion_context() {
    auto& s = settings();
    std::lock_guard g(s.lock);
    return s.mode;
}

fx_sent_request::fx_sent_request() : fx_request(new _IRP()) {
    owned_irp_.reset(irp());
    owned_irp_->status = STATUS_SUCCESS;  // as a freshly allocated IRP reads
    owned_irp_->requestor_mode = KernelMode;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&params_);
}

fx_sent_request::~fx_sent_request() = default;

NTSTATUS fx_sent_request::create(const WDF_OBJECT_ATTRIBUTES* attributes, fx_io_target* target,
                                 fx_sent_request** out) {
    *out = nullptr;
    if (target != nullptr) {
        std::lock_guard g(sched_lock());
        if (!target->is_open_locked())
            return STATUS_INVALID_DEVICE_STATE;  // FxRequestBase::ValidateTarget
    }
    auto* r = new fx_sent_request();
    // FxRequest::_Create commits with no parent of its own: the driver is the default.
    NTSTATUS st = r->commit(attributes, fx_driver_root(), attr_none);
    if (!NT_SUCCESS(st)) {
        fx_object::discard(r);
        return st;
    }
    *out = r;
    return STATUS_SUCCESS;
}

fx_sent_request* fx_sent_request::from(WDFREQUEST handle, const char* routine) {
    fx_request* r = request_from(handle, routine);
    if (!r->driver_created()) {
        // Sending a request a queue presented passes its IRP down the target's stack; the
        // platform's IRPs carry one file object, so that path is not built.
        not_implemented(std::string(routine) + " with a request presented by a queue");
    }
    return static_cast<fx_sent_request*>(r);
}

void fx_sent_request::release_format_locked(std::vector<fx_object*>& to_release) {
    if (input_.memory != nullptr)
        to_release.push_back(input_.memory);
    if (output_.memory != nullptr)
        to_release.push_back(output_.memory);
    if (target != nullptr)
        to_release.push_back(target);
    input_ = {};
    output_ = {};
    target = nullptr;
    formatted = false;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&params_);
}

NTSTATUS fx_sent_request::format(fx_io_target* t, UCHAR major, ULONG ioctl_code,
                                 transfer_buffer input, transfer_buffer output,
                                 LONGLONG device_offset, const char* routine) {
    std::vector<fx_object*> drop;
    NTSTATUS st = STATUS_SUCCESS;
    {
        std::lock_guard g(sched_lock());
        if (state == phase::sent) {
            violation(std::string(routine) + ": the " + describe_locked() +
                          " is still pending on an I/O target; format it again only after "
                          "its completion routine has been called",
                      as_number(handle()));
        }
        // A previous format's references go whatever happens (FxRequestBase::ValidateTarget
        // restores the request first).
        release_format_locked(drop);
        if (!t->is_open_locked()) {
            st = STATUS_INVALID_DEVICE_STATE;
        } else if (input.length > MAXULONG || output.length > MAXULONG) {
            st = STATUS_INVALID_PARAMETER;
        }
        if (!NT_SUCCESS(st)) {
            if (input.memory != nullptr)
                drop.push_back(input.memory);
            if (output.memory != nullptr)
                drop.push_back(output.memory);
        } else {
            t->add_ref();
            target = t;
            input_ = input;
            output_ = output;
            device_offset_ = device_offset;
            formatted = true;
            set_major(major);
            params_.Type = static_cast<WDF_REQUEST_TYPE>(major);
            auto handle_of = [](fx_memory* m) { return m ? m->handle_as<WDFMEMORY>() : nullptr; };
            switch (major) {
                case IRP_MJ_READ:
                    params_.Parameters.Read.Buffer = handle_of(output.memory);
                    params_.Parameters.Read.Offset = output.offset;
                    break;
                case IRP_MJ_WRITE:
                    params_.Parameters.Write.Buffer = handle_of(input.memory);
                    params_.Parameters.Write.Offset = input.offset;
                    break;
                default:
                    params_.Type = major == IRP_MJ_INTERNAL_DEVICE_CONTROL
                                       ? WdfRequestTypeDeviceControlInternal
                                       : WdfRequestTypeDeviceControl;
                    params_.Parameters.Ioctl.IoControlCode = ioctl_code;
                    params_.Parameters.Ioctl.Input.Buffer = handle_of(input.memory);
                    params_.Parameters.Ioctl.Input.Offset = input.offset;
                    params_.Parameters.Ioctl.Output.Buffer = handle_of(output.memory);
                    params_.Parameters.Ioctl.Output.Offset = output.offset;
                    break;
            }
            PIRP p = irp();
            std::lock_guard ig(p->cancel_lock);
            p->major = major;
            p->ioctl_code = ioctl_code;
        }
    }
    for (fx_object* o : drop)
        o->release();
    return st;
}

void fx_sent_request::set_completion_routine(PFN_WDF_REQUEST_COMPLETION_ROUTINE routine,
                                             WDFCONTEXT context) {
    std::lock_guard g(sched_lock());
    routine_ = routine;
    routine_context_ = context;
}

void fx_sent_request::completion_params(WDF_REQUEST_COMPLETION_PARAMS* out) {
    std::lock_guard g(sched_lock());
    *out = params_;
}

NTSTATUS fx_sent_request::reuse(const WDF_REQUEST_REUSE_PARAMS& params) {
    std::vector<fx_object*> drop;
    {
        std::lock_guard g(sched_lock());
        if (state == phase::sent) {
            violation("WdfRequestReuse: the " + describe_locked() +
                          " is still pending on an I/O target (reuse it in or after its "
                          "completion routine)",
                      as_number(handle()));
        }
        release_format_locked(drop);
        routine_ = nullptr;  // FxRequest::Reuse: a reused request has no completion routine
        routine_context_ = nullptr;
        timed_out = false;
        information = 0;
        PIRP p = irp();
        std::lock_guard ig(p->cancel_lock);
        p->status = params.Status;  // what WdfRequestGetStatus reads until the next send
        p->information = 0;
        p->cancel = false;
    }
    for (fx_object* o : drop)
        o->release();
    return STATUS_SUCCESS;
}

bool fx_sent_request::cancel_sent() {
    {
        std::lock_guard g(sched_lock());
        if (state != phase::sent)
            return false;  // completed already (FxRequestBase::Cancel)
    }
    return io::cancel_irp(irp());
}

void fx_sent_request::prepare_irp(PDEVICE_OBJECT device, PFILE_OBJECT file) {
    PIRP p = irp();
    std::lock_guard g(p->cancel_lock);
    if (p->cancel_routine) {
        violation(
            "I/O target send: the IRP of the " + describe_locked() + " still has a cancel routine",
            as_number(handle()));
    }
    p->file = file;
    p->device = device;
    p->requestor_mode = KernelMode;
    p->byte_offset = device_offset_;
    p->thread = nullptr;  // a framework IRP belongs to no thread: no cancel at thread exit
    p->status = STATUS_PENDING;
    p->information = 0;
    p->completed = false;
    p->completing = false;
    p->completion_routines.clear();
    p->input_length = 0;
    p->output_length = 0;
    switch (p->major) {
        case IRP_MJ_READ:
            p->output_length = static_cast<ULONG>(output_.length);
            p->system_buffer.assign(output_.length, uninitialised_fill);
            break;
        case IRP_MJ_WRITE:
            p->input_length = static_cast<ULONG>(input_.length);
            p->system_buffer.assign(input_.data, input_.data + input_.length);
            break;
        default:
            p->input_length = static_cast<ULONG>(input_.length);
            p->output_length = static_cast<ULONG>(output_.length);
            p->system_buffer.assign(std::max(input_.length, output_.length), uninitialised_fill);
            if (input_.length != 0)
                std::memcpy(p->system_buffer.data(), input_.data, input_.length);
            break;
    }
    p->on_complete = [this](PIRP) { on_irp_completed(); };
}

void fx_sent_request::on_irp_completed() {
    bool driver_code;
    {
        std::lock_guard g(sched_lock());
        driver_code = waiter == nullptr ? routine_ != nullptr : waiter->call_driver_routine;
    }
    // Only a completion routine cares where it runs; a plain synchronous send finishes here.
    where_to_run run_at = driver_code ? choose_context() : where_to_run::completing_thread;
    auto& s = scheduler::get();
    switch (run_at) {
        case where_to_run::completing_thread: {
            fx_io_target* t = finish_completion();
            release();  // the reference the send took
            t->completion_returned();
            return;
        }
        case where_to_run::raised_on_completing_thread: {
            thread_record& me = s.current();
            std::uint8_t old = me.irql;
            me.irql = std::max<std::uint8_t>(old, DISPATCH_LEVEL);
            fx_io_target* t = finish_completion();
            me.irql = old;
            release();
            t->completion_returned();
            return;
        }
        case where_to_run::completion_thread:
            break;
    }
    auto& q = queue_state();
    static std::once_flag started;
    std::call_once(started, [&q, &s] {
        // Never joined: like the I/O manager's close worker it lives as long as the process.
        auto thread = s.start_thread("io-completion", [] {
            completion_thread_body([](fx_sent_request* r) {
                thread_record& me = scheduler::get().current();
                me.irql = DISPATCH_LEVEL;
                fx_io_target* t = r->finish_completion();
                me.irql = PASSIVE_LEVEL;
                r->release();
                t->completion_returned();
            });
        });
        std::lock_guard g(s.lock());
        q.thread = std::move(thread);
    });
    std::lock_guard g(s.lock());
    q.pending.push_back(this);
    s.wake();
}

// FxIoTarget::RequestCompletionRoutine and FxRequestBase::CompleteSubmitted: copy the output
// back, record the outcome, take the request off the target, then call the routine.
fx_io_target* fx_sent_request::finish_completion() {
    pause_points::reach("io-target-completion", handle());
    PFN_WDF_REQUEST_COMPLETION_ROUTINE routine = nullptr;
    WDFCONTEXT context = nullptr;
    sync_wait* w = nullptr;
    fx_io_target* t;
    NTSTATUS status;
    {
        std::lock_guard g(sched_lock());
        PIRP p = irp();
        ULONG_PTR info;
        {
            std::lock_guard ig(p->cancel_lock);
            status = p->status;
            info = p->information;
            if (timed_out && status == STATUS_CANCELLED) {
                status = STATUS_IO_TIMEOUT;  // FxIoTarget::CompleteCanceledRequest
                p->status = status;
            }
        }
        bool has_output = p->major == IRP_MJ_READ || p->major == IRP_MJ_DEVICE_CONTROL ||
                          p->major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
        if (has_output && !NT_ERROR(status) && output_.data != nullptr) {
            // Never more than the driver's buffer, whatever the target reported.
            size_t n =
                std::min({static_cast<size_t>(info), output_.length, p->system_buffer.size()});
            std::memcpy(output_.data, p->system_buffer.data(), n);
        }
        params_.IoStatus.Status = status;
        params_.IoStatus.Information = info;
        switch (p->major) {
            case IRP_MJ_READ:
                params_.Parameters.Read.Length = info;
                break;
            case IRP_MJ_WRITE:
                params_.Parameters.Write.Length = info;
                break;
            default:
                params_.Parameters.Ioctl.Output.Length = info;
                break;
        }
        information = info;
        state = phase::idle;
        formatted = false;  // a request is formatted again before each send
        timed_out = false;
        t = sent_to;
        sent_to = nullptr;
        t->request_left_locked(this);
        w = waiter;
        waiter = nullptr;
        if (w == nullptr || w->call_driver_routine) {
            routine = routine_;  // called once: a resend needs the routine set again
            context = routine_context_;
            routine_ = nullptr;
            routine_context_ = nullptr;
        }
    }
    if (routine != nullptr) {
        fx_driver* driver = t->device != nullptr ? t->device->driver : nullptr;
        driver_scope scope(driver);
        verifier::driver_call call(
            {"EvtRequestCompletionRoutine", t->handle(), handle(), io_kind_name(major())});
        routine(handle_as<WDFREQUEST>(), t->handle_as<WDFIOTARGET>(), &params_, context);
    }
    if (w != nullptr) {
        std::lock_guard g(sched_lock());
        w->status = status;
        w->done = true;
        scheduler::get().wake();
    }
    return t;
}

void fx_sent_request::dispose() {
    std::vector<fx_object*> drop;
    {
        std::lock_guard g(sched_lock());
        if (state == phase::sent) {
            violation("WdfObjectDelete: the " + describe_locked() +
                          " is still pending on an I/O target (delete it only after its "
                          "completion routine has been called)",
                      as_number(handle()));
        }
        release_format_locked(drop);
    }
    for (fx_object* o : drop)
        o->release();
}

}  // namespace platform::wdf
