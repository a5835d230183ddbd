// Framework requests: creation for an incoming IRP, completion, buffers, parameters and the
// exported WdfRequest* routines of the I/O path.
#include "wdf/request.h"

#include <cstdio>
#include <deque>
#include <map>
#include <string>

#include "core/bugcheck.h"
#include "core/faults.h"
#include "core/pause_points.h"
#include "core/scheduler.h"
#include "wdf/file_object.h"
#include "wdf/fx_memory.h"
#include "wdf/io_dispatch.h"
#include "wdf/queue.h"

namespace platform::wdf {
namespace {

std::mutex& sched_lock() {
    return scheduler::get().lock();
}

std::uint64_t as_number(const void* p) {
    return reinterpret_cast<std::uintptr_t>(p);
}

bool is_ioctl(UCHAR major) {
    return major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
}

}  // namespace

fx_request::fx_request(io_package* package, PIRP irp, bool is_create)
    : fx_object(fx_type::request),
      irp_(irp),
      package_(package),
      is_create_(is_create),
      major_(irp->major) {}

fx_request::fx_request(PIRP irp)
    : fx_object(fx_type::request), irp_(irp), package_(nullptr), is_create_(false), major_(0) {}

fx_request* fx_request::create(io_package* package, PIRP irp, bool is_create, NTSTATUS* status) {
    auto* r = new fx_request(package, irp, is_create);
    const io_device_config& cfg = package->config();
    const WDF_OBJECT_ATTRIBUTES* attrs =
        cfg.has_request_attributes ? &cfg.request_attributes : nullptr;
    *status = r->commit(attrs, nullptr, attr_parent_not_allowed);
    if (!NT_SUCCESS(*status)) {
        fx_object::discard(r);
        return nullptr;
    }
    r->set_framework_deleted(true);
    // Buffered transfers use one system buffer for input and output; make sure it covers both
    // lengths so no retrieval can point past its end.
    size_t need = std::max<size_t>(irp->input_length, irp->output_length);
    if (irp->system_buffer.size() < need)
        irp->system_buffer.resize(need);
    return r;
}

size_t fx_request::transfer_length() const {
    switch (major_) {
        case IRP_MJ_READ:
            return irp_->output_length;
        case IRP_MJ_WRITE:
            return irp_->input_length;
        default:
            return 0;
    }
}

fx_file_object* fx_request::file_object() const {
    if (package_ == nullptr)
        return nullptr;  // a request the driver created has no file object
    return fx_file_object::resolve(package_, irp_->file);
}

bool fx_request::arm_irp_cancel() {
    std::lock_guard g(irp_->cancel_lock);
    if (irp_->cancel)
        return false;
    irp_->cancel_routine = [this](PIRP) {
        fx_queue* q;
        {
            std::lock_guard g2(sched_lock());
            q = queue;
            if (q == nullptr)
                return;
            q->add_ref();
        }
        q->on_irp_cancel(this);
        q->release();
    };
    return true;
}

bool fx_request::disarm_irp_cancel() {
    std::lock_guard g(irp_->cancel_lock);
    if (!irp_->cancel_routine)
        return false;
    irp_->cancel_routine = nullptr;
    return true;
}

bool fx_request::irp_cancelled() const {
    std::lock_guard g(irp_->cancel_lock);
    return irp_->cancel;
}

namespace {

// FxRequest::CompleteInternal: a status of the framework's own facility never reaches the
// IRP; it is mapped to the standard status the framework gives it.
NTSTATUS map_framework_status(NTSTATUS status) {
    if ((static_cast<ULONG>(status) & 0x0FFF0000) != (FACILITY_DRIVER_FRAMEWORK << 16))
        return status;
    switch (status) {
        case STATUS_WDF_PAUSED:
        case STATUS_WDF_BUSY:
            return STATUS_DEVICE_BUSY;
        case STATUS_WDF_INTERNAL_ERROR:
            return STATUS_INTERNAL_ERROR;
        case STATUS_WDF_NOT_ENOUGH_MAP_REGISTERS:
            return STATUS_INSUFFICIENT_RESOURCES;
        default:  // STATUS_WDF_TOO_FRAGMENTED, STATUS_WDF_TOO_MANY_TRANSFERS and the rest
            return STATUS_INVALID_DEVICE_REQUEST;
    }
}

// Requests completed lately, by handle (handles are never reused), with what they were, so a
// second completion or a later use can be named in the driver's terms. Bounded: the oldest
// entries are forgotten. Guarded by the scheduler lock.
struct completed_requests {
    static constexpr std::size_t limit = 4096;
    std::map<WDFREQUEST, std::string> by_handle;
    std::deque<WDFREQUEST> order;

    void add(WDFREQUEST h, std::string what) {
        if (order.size() == limit) {
            by_handle.erase(order.front());
            order.pop_front();
        }
        by_handle.emplace(h, std::move(what));
        order.push_back(h);
    }
    const std::string* lookup(WDFREQUEST h) const {
        auto it = by_handle.find(h);
        return it == by_handle.end() ? nullptr : &it->second;
    }
};

completed_requests& completed() {
    static auto* c = new completed_requests;  // never destroyed
    return *c;
}

}  // namespace

std::string fx_request::describe_locked() const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", static_cast<const void*>(handle()));
    std::string what = std::string(io_kind_name(major_)) + " request " + buf;
    if (received_by != nullptr)
        return what + " received by " + received_by;
    if (package_ == nullptr)
        return what + " created by the driver";
    if (is_create_)
        return what + " received by EvtDeviceFileCreate";
    return what + " never presented to the driver";
}

// Verifier checks of a driver completion. Lock held.
void fx_request::check_completion_locked(NTSTATUS status, ULONG_PTR info) {
    if (where != place::driver) {
        violation("WdfRequestComplete: the driver does not own the " + describe_locked(),
                  as_number(handle()));
    }
    if (cancelable && !cancel_delivered) {
        violation("WdfRequestComplete: the " + describe_locked() +
                      " is still cancelable (call WdfRequestUnmarkCancelable first, and "
                      "complete a cancelled request only from its cancel routine)",
                  as_number(handle()));
    }
    size_t length = transfer_length();
    bool rw = major() == IRP_MJ_READ || major() == IRP_MJ_WRITE;
    bool user_ioctl = major() == IRP_MJ_DEVICE_CONTROL && irp_->requestor_mode == UserMode &&
                      irp_->output_length > 0;
    if (user_ioctl)
        length = irp_->output_length;
    if ((rw || user_ioctl) && NT_SUCCESS(status) && info > length) {
        bug_check(
            bug_code::wdf_violation,
            "WDFREQUEST completed with Information larger than its buffer: " + describe_locked(),
            as_number(handle()), info, length);
    }
}

void fx_request::complete(NTSTATUS status, ULONG_PTR info, bool by_framework) {
    fx_queue* q = nullptr;
    bool counted = false;
    {
        std::unique_lock lk(sched_lock());
        if (where == place::completed) {
            violation("WDFREQUEST completed twice: " + describe_locked(), as_number(handle()));
        }
        if (package_ == nullptr) {
            violation("WdfRequestComplete: the " + describe_locked() +
                          " (WdfRequestCreate) is not completed by the driver; delete it with "
                          "WdfObjectDelete once its send has completed",
                      as_number(handle()));
        }
        if (!by_framework)
            check_completion_locked(status, info);
        q = queue;
        counted = where == place::driver && q != nullptr;
        if (counted)
            q->driver_owned.remove(this);
        completed().add(handle_as<WDFREQUEST>(), describe_locked());
        where = place::completed;
        cancelable = false;
    }

    // A failed create leaves no file object behind: the I/O manager sends no clean-up or close.
    if (is_create_ && !NT_SUCCESS(status)) {
        if (fx_file_object* fo = fx_file_object::lookup(package_, irp_->file)) {
            fo->destroy_from_close();
        }
        std::lock_guard g(sched_lock());
        --package_->open_handles;
    }
    io::complete_irp(irp_, map_framework_status(status), info);
    irp_ = nullptr;

    // Keep the queue until its count is dropped: the request was what kept it from going away.
    fx_ref keep(q);
    delete_object();
    // RequestCompletedCallback: the queue may present its next request now, on this thread.
    if (counted)
        q->request_completed();
}

namespace {

[[noreturn]] void already_completed(const char* routine, WDFREQUEST handle,
                                    const std::string& what) {
    if (std::string_view(routine).rfind("WdfRequestComplete", 0) == 0)
        violation("WDFREQUEST completed twice: " + what, as_number(handle));
    violation(std::string(routine) + ": the request has already been completed (" + what + ")",
              as_number(handle));
}

}  // namespace

fx_request* request_from(WDFREQUEST handle, const char* routine) {
    if (fx_object::find(reinterpret_cast<WDFOBJECT>(handle)) == nullptr) {
        std::string gone;
        {
            std::lock_guard g(sched_lock());
            if (const std::string* what = completed().lookup(handle))
                gone = *what;
        }
        if (!gone.empty())
            already_completed(routine, handle, gone);
    }
    auto* r = fx_get<fx_request>(handle, fx_type::request, routine);
    std::string what;
    {
        std::lock_guard g(sched_lock());
        if (r->where == fx_request::place::completed)
            what = r->describe_locked();
    }
    if (!what.empty())
        already_completed(routine, handle, what);
    return r;
}

}  // namespace platform::wdf

using namespace platform::wdf;
using platform::faults::fault_point;
using platform::pause_points::reach;

namespace {

// Where the input or the output of a request lives, with the framework's checks.
NTSTATUS locate_buffer(fx_request* r, bool output, PVOID* buffer, size_t* length) {
    // A request the driver created has no buffers of its own to hand back: it describes
    // what the driver sends.
    if (r->driver_created())
        return STATUS_INVALID_DEVICE_REQUEST;
    PIRP irp = r->irp();
    UCHAR major = r->major();
    size_t len = 0;
    if (output) {
        if (major == IRP_MJ_WRITE)
            return STATUS_INVALID_DEVICE_REQUEST;
        if (is_ioctl(major)) {
            len = irp->output_length;
        } else if (major == IRP_MJ_READ) {
            len = irp->output_length;
        } else {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
    } else {
        if (major == IRP_MJ_READ)
            return STATUS_INVALID_DEVICE_REQUEST;
        if (is_ioctl(major)) {
            len = irp->input_length;
        } else if (major == IRP_MJ_WRITE) {
            len = irp->input_length;
        } else {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    if (len == 0)
        return STATUS_BUFFER_TOO_SMALL;
    if (is_ioctl(major) && METHOD_FROM_CTL_CODE(irp->ioctl_code) == METHOD_NEITHER &&
        irp->requestor_mode == UserMode && major == IRP_MJ_DEVICE_CONTROL) {
        // User-mode addresses of METHOD_NEITHER controls are not safe to hand out here.
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    *buffer = irp->system_buffer.data();
    *length = len;
    return STATUS_SUCCESS;
}

NTSTATUS retrieve_buffer(WDFREQUEST Request, bool output, size_t minimum, PVOID* Buffer,
                         size_t* Length, const char* routine) {
    fx_request* r = request_from(Request, routine);
    if (Buffer == nullptr)
        violation(std::string(routine) + ": Buffer is NULL");
    *Buffer = nullptr;
    if (Length != nullptr)
        *Length = 0;
    PVOID p = nullptr;
    size_t len = 0;
    NTSTATUS st = locate_buffer(r, output, &p, &len);
    if (!NT_SUCCESS(st))
        return st;
    if (len < minimum)
        return STATUS_BUFFER_TOO_SMALL;
    *Buffer = p;
    if (Length != nullptr)
        *Length = len;
    return STATUS_SUCCESS;
}

NTSTATUS retrieve_memory(WDFREQUEST Request, bool output, WDFMEMORY* Memory, const char* routine) {
    fx_request* r = request_from(Request, routine);
    if (Memory == nullptr)
        violation(std::string(routine) + ": Memory is NULL");
    *Memory = nullptr;
    PVOID p = nullptr;
    size_t len = 0;
    NTSTATUS st = locate_buffer(r, output, &p, &len);
    if (!NT_SUCCESS(st))
        return st;
    WDFMEMORY& slot = output ? r->output_memory : r->input_memory;
    if (slot == nullptr) {
        // A memory object over the request's buffer, deleted with the request; the driver
        // cannot delete it itself.
        auto* m = new fx_memory();
        m->buffer = p;
        m->size = len;
        st = m->commit(nullptr, r, attr_none);
        if (!NT_SUCCESS(st)) {
            fx_object::discard(m);
            return st;
        }
        m->set_framework_deleted(true);
        slot = m->handle_as<WDFMEMORY>();
    }
    *Memory = slot;
    return STATUS_SUCCESS;
}

fx_queue* current_queue(fx_request* r, const char* routine) {
    fx_queue* q;
    {
        std::lock_guard g(platform::scheduler::get().lock());
        q = r->queue;
    }
    if (q == nullptr) {
        violation(std::string(routine) + ": the request does not belong to a queue",
                  reinterpret_cast<std::uintptr_t>(r->handle()));
    }
    return q;
}

}  // namespace

extern "C" {

VOID WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status) {
    reach("WdfRequestComplete", Request);
    fx_request* r = request_from(Request, "WdfRequestComplete");
    r->complete(Status, r->information);
}

VOID WdfRequestCompleteWithPriorityBoost(WDFREQUEST Request, NTSTATUS Status, CCHAR PriorityBoost) {
    (void)PriorityBoost;  // the host's scheduler has no priorities to boost
    reach("WdfRequestCompleteWithPriorityBoost", Request);
    fx_request* r = request_from(Request, "WdfRequestCompleteWithPriorityBoost");
    r->complete(Status, r->information);
}

VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information) {
    reach("WdfRequestCompleteWithInformation", Request);
    fx_request* r = request_from(Request, "WdfRequestCompleteWithInformation");
    r->complete(Status, Information);
}

VOID WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information) {
    fx_request* r = request_from(Request, "WdfRequestSetInformation");
    std::lock_guard g(platform::scheduler::get().lock());
    r->information = Information;
}

ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request) {
    fx_request* r = request_from(Request, "WdfRequestGetInformation");
    std::lock_guard g(platform::scheduler::get().lock());
    return r->information;
}

NTSTATUS WdfRequestGetStatus(WDFREQUEST Request) {
    fx_request* r = request_from(Request, "WdfRequestGetStatus");
    PIRP irp = r->irp();
    std::lock_guard g(irp->cancel_lock);  // a target's completion records it under this lock
    return irp->status;
}

VOID WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters) {
    fx_request* r = request_from(Request, "WdfRequestGetParameters");
    if (Parameters == nullptr || Parameters->Size != sizeof(WDF_REQUEST_PARAMETERS)) {
        violation(
            "WdfRequestGetParameters: WDF_REQUEST_PARAMETERS not initialised with "
            "WDF_REQUEST_PARAMETERS_INIT");
    }
    PIRP irp = r->irp();
    RtlZeroMemory(&Parameters->Parameters, sizeof(Parameters->Parameters));
    Parameters->MinorFunction = irp->minor;
    Parameters->Type = static_cast<WDF_REQUEST_TYPE>(irp->major);
    switch (irp->major) {
        case IRP_MJ_CREATE:
            Parameters->Parameters.Create.SecurityContext = &irp->security_context;
            Parameters->Parameters.Create.Options = irp->create_options;
            Parameters->Parameters.Create.FileAttributes = irp->file_attributes;
            Parameters->Parameters.Create.ShareAccess = irp->share_access;
            Parameters->Parameters.Create.EaLength = irp->ea_length;
            break;
        case IRP_MJ_READ:
            Parameters->Parameters.Read.Length = irp->output_length;
            Parameters->Parameters.Read.DeviceOffset = irp->byte_offset;
            break;
        case IRP_MJ_WRITE:
            Parameters->Parameters.Write.Length = irp->input_length;
            Parameters->Parameters.Write.DeviceOffset = irp->byte_offset;
            break;
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            Parameters->Parameters.DeviceIoControl.OutputBufferLength = irp->output_length;
            Parameters->Parameters.DeviceIoControl.InputBufferLength = irp->input_length;
            Parameters->Parameters.DeviceIoControl.IoControlCode = irp->ioctl_code;
            break;
        default:
            break;
    }
}

NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength,
                                       PVOID* Buffer, size_t* Length) {
    if (auto st = fault_point("WdfRequestRetrieveInputBuffer"))
        return *st;
    return retrieve_buffer(Request, false, MinimumRequiredLength, Buffer, Length,
                           "WdfRequestRetrieveInputBuffer");
}

NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize,
                                        PVOID* Buffer, size_t* Length) {
    if (auto st = fault_point("WdfRequestRetrieveOutputBuffer"))
        return *st;
    return retrieve_buffer(Request, true, MinimumRequiredSize, Buffer, Length,
                           "WdfRequestRetrieveOutputBuffer");
}

NTSTATUS WdfRequestRetrieveInputMemory(WDFREQUEST Request, WDFMEMORY* Memory) {
    if (auto st = fault_point("WdfRequestRetrieveInputMemory"))
        return *st;
    return retrieve_memory(Request, false, Memory, "WdfRequestRetrieveInputMemory");
}

NTSTATUS WdfRequestRetrieveOutputMemory(WDFREQUEST Request, WDFMEMORY* Memory) {
    if (auto st = fault_point("WdfRequestRetrieveOutputMemory"))
        return *st;
    return retrieve_memory(Request, true, Memory, "WdfRequestRetrieveOutputMemory");
}

WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request) {
    fx_request* r = request_from(Request, "WdfRequestGetFileObject");
    fx_file_object* fo = r->file_object();
    return fo ? fo->handle_as<WDFFILEOBJECT>() : nullptr;
}

KPROCESSOR_MODE WdfRequestGetRequestorMode(WDFREQUEST Request) {
    fx_request* r = request_from(Request, "WdfRequestGetRequestorMode");
    return r->irp()->requestor_mode;
}

PIRP WdfRequestWdmGetIrp(WDFREQUEST Request) {
    fx_request* r = request_from(Request, "WdfRequestWdmGetIrp");
    return r->irp();
}

WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST Request) {
    fx_request* r = request_from(Request, "WdfRequestGetIoQueue");
    std::lock_guard g(platform::scheduler::get().lock());
    return r->queue ? r->queue->handle_as<WDFQUEUE>() : nullptr;
}

NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue) {
    if (auto st = fault_point("WdfRequestForwardToIoQueue"))
        return *st;
    fx_request* r = request_from(Request, "WdfRequestForwardToIoQueue");
    fx_queue* q = queue_from(DestinationQueue, "WdfRequestForwardToIoQueue");
    return q->forward(r);
}

NTSTATUS WdfRequestRequeue(WDFREQUEST Request) {
    if (auto st = fault_point("WdfRequestRequeue"))
        return *st;
    fx_request* r = request_from(Request, "WdfRequestRequeue");
    return current_queue(r, "WdfRequestRequeue")->requeue(r);
}

VOID WdfRequestMarkCancelable(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL EvtRequestCancel) {
    reach("WdfRequestMarkCancelable", Request);
    fx_request* r = request_from(Request, "WdfRequestMarkCancelable");
    if (EvtRequestCancel == nullptr)
        violation("WdfRequestMarkCancelable: no cancel routine");
    NTSTATUS st;
    current_queue(r, "WdfRequestMarkCancelable")->mark_cancelable(r, EvtRequestCancel, false, &st);
}

NTSTATUS WdfRequestMarkCancelableEx(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL EvtRequestCancel) {
    reach("WdfRequestMarkCancelableEx", Request);
    if (auto st = fault_point("WdfRequestMarkCancelableEx"))
        return *st;
    fx_request* r = request_from(Request, "WdfRequestMarkCancelableEx");
    if (EvtRequestCancel == nullptr)
        violation("WdfRequestMarkCancelableEx: no cancel routine");
    NTSTATUS st;
    current_queue(r, "WdfRequestMarkCancelableEx")->mark_cancelable(r, EvtRequestCancel, true, &st);
    return st;
}

NTSTATUS WdfRequestUnmarkCancelable(WDFREQUEST Request) {
    reach("WdfRequestUnmarkCancelable", Request);
    if (auto st = fault_point("WdfRequestUnmarkCancelable"))
        return *st;
    fx_request* r = request_from(Request, "WdfRequestUnmarkCancelable");
    return current_queue(r, "WdfRequestUnmarkCancelable")->unmark_cancelable(r);
}

BOOLEAN WdfRequestIsCanceled(WDFREQUEST Request) {
    fx_request* r = request_from(Request, "WdfRequestIsCanceled");
    {
        std::lock_guard g(platform::scheduler::get().lock());
        if (r->where != fx_request::place::driver) {
            violation("WdfRequestIsCanceled: the driver does not own the request",
                      reinterpret_cast<std::uintptr_t>(Request));
        }
        if (r->cancelable) {
            violation("WdfRequestIsCanceled: the request is marked cancelable",
                      reinterpret_cast<std::uintptr_t>(Request));
        }
        if (r->canceled)
            return TRUE;
    }
    return r->irp_cancelled() ? TRUE : FALSE;
}

VOID WdfRequestStopAcknowledge(WDFREQUEST Request, BOOLEAN Requeue) {
    fx_request* r = request_from(Request, "WdfRequestStopAcknowledge");
    current_queue(r, "WdfRequestStopAcknowledge")->stop_acknowledge(r, Requeue != FALSE);
}

}  // extern "C"
