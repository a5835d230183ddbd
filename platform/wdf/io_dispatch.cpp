// The framework's handling of a device's I/O request packets: create, clean-up and close with
// their file objects and callbacks, and the routing of every other request to a queue.
#include "wdf/io_dispatch.h"

#include <mutex>

#include "core/driver_call.h"
#include "core/faults.h"
#include "core/scheduler.h"
#include "io/irp.h"
#include "wdf/file_object.h"
#include "wdf/queue.h"
#include "wdf/request.h"

namespace platform::wdf {
namespace {

struct package_table {
    std::mutex mutex;
    std::map<fx_object*, std::unique_ptr<io_package>> packages;
};

package_table& packages() {
    static auto* t = new package_table;  // never destroyed: devices may outlive main
    return *t;
}

void complete_now(PIRP irp, NTSTATUS status) {
    io::complete_irp(irp, status, 0);
}

// A snapshot of the device's queues, each referenced so none goes away while in use.
std::vector<fx_queue*> referenced_queues(io_package* p) {
    std::lock_guard g(scheduler::get().lock());
    std::vector<fx_queue*> qs = p->queues;
    for (fx_queue* q : qs)
        q->add_ref();
    return qs;
}

void release_all(std::vector<fx_queue*>& qs) {
    for (fx_queue* q : qs)
        q->release();
}

// A file callback of the driver (create, clean-up, close) in progress on this device. The
// removal waits for those in progress and, once it has begun, none starts: the file objects
// go with the device's object tree, so a clean-up or close that arrives later has nothing of
// the driver's left to call.
class file_call {
  public:
    explicit file_call(io_package* p) : p_(p) {
        std::lock_guard g(scheduler::get().lock());
        entered_ = !p_->removing;
        if (entered_)
            ++p_->file_calls;
    }
    ~file_call() {
        if (!entered_)
            return;
        auto& s = scheduler::get();
        std::lock_guard g(s.lock());
        if (--p_->file_calls == 0)
            s.wake();
    }
    file_call(const file_call&) = delete;
    file_call& operator=(const file_call&) = delete;
    bool entered() const { return entered_; }

  private:
    io_package* p_;
    bool entered_;
};

WDFFILEOBJECT handle_of(fx_file_object* fo) {
    return fo != nullptr ? fo->handle_as<WDFFILEOBJECT>() : nullptr;
}

NTSTATUS on_create(io_package* p, PIRP irp) {
    const io_device_config& cfg = p->config();
    file_call call(p);
    if (!call.entered()) {
        complete_now(irp, STATUS_DELETE_PENDING);
        return STATUS_DELETE_PENDING;
    }
    bool refused;
    {
        std::lock_guard g(scheduler::get().lock());
        refused = cfg.exclusive && p->open_handles > 0;
        if (!refused)
            ++p->open_handles;
    }
    if (refused) {
        complete_now(irp, STATUS_ACCESS_DENIED);
        return STATUS_ACCESS_DENIED;
    }
    auto undo_open = [&] {
        std::lock_guard g(scheduler::get().lock());
        --p->open_handles;
    };
    fx_file_object* fo = nullptr;
    NTSTATUS st = fx_file_object::create(p, irp->file, &fo);
    if (!NT_SUCCESS(st)) {
        undo_open();
        complete_now(irp, st);
        return st;
    }
    fx_queue* queue;
    {
        std::lock_guard g(scheduler::get().lock());
        queue = p->dispatch_table[IRP_MJ_CREATE];
    }
    PFN_WDF_DEVICE_FILE_CREATE create =
        cfg.file_config.Size != 0 ? cfg.file_config.EvtDeviceFileCreate : nullptr;
    if (queue == nullptr && create == nullptr) {
        complete_now(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }
    fx_request* r = fx_request::create(p, irp, true, &st);
    if (r == nullptr) {
        if (fo != nullptr)
            fo->destroy_from_close();
        undo_open();
        complete_now(irp, st);
        return st;
    }
    if (queue != nullptr)
        return queue->queue_request(r);
    {
        std::lock_guard g(scheduler::get().lock());
        r->where = fx_request::place::driver;
    }
    WDFREQUEST request = r->handle_as<WDFREQUEST>();
    verifier::driver_call guard({"EvtDeviceFileCreate", p->device_handle(), request, "create"});
    create(p->device_handle(), request, handle_of(fo));
    return STATUS_PENDING;
}

NTSTATUS on_cleanup(io_package* p, PIRP irp) {
    const io_device_config& cfg = p->config();
    {
        file_call call(p);
        fx_file_object* fo = fx_file_object::resolve(p, irp->file, true);
        if (call.entered() && cfg.file_config.Size != 0 &&
            cfg.file_config.EvtFileCleanup != nullptr) {
            verifier::driver_call guard({"EvtFileCleanup", handle_of(fo), nullptr, "cleanup"});
            cfg.file_config.EvtFileCleanup(handle_of(fo));
        }
        if (fo != nullptr)
            fo->release();
    }
    // Requests of this handle still waiting in a queue are cancelled; those the driver owns
    // are the driver's to finish.
    if (irp->file != nullptr) {
        std::vector<fx_queue*> qs = referenced_queues(p);
        for (fx_queue* q : qs)
            q->flush_file(irp->file);
        release_all(qs);
    }
    complete_now(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS on_close(io_package* p, PIRP irp) {
    const io_device_config& cfg = p->config();
    {
        file_call call(p);
        // Referenced: the device's removal may delete the file object meanwhile.
        fx_file_object* fo = fx_file_object::resolve(p, irp->file, true);
        if (call.entered() && cfg.file_config.Size != 0 &&
            cfg.file_config.EvtFileClose != nullptr) {
            verifier::driver_call guard({"EvtFileClose", handle_of(fo), nullptr, "close"});
            cfg.file_config.EvtFileClose(handle_of(fo));
        }
        if (fo != nullptr) {
            fo->destroy_from_close();
            fo->release();
        }
    }
    {
        std::lock_guard g(scheduler::get().lock());
        if (p->open_handles > 0)
            --p->open_handles;
    }
    complete_now(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS to_queue(io_package* p, PIRP irp) {
    fx_queue* queue;
    {
        std::lock_guard g(scheduler::get().lock());
        queue = irp->major <= IRP_MJ_MAXIMUM_FUNCTION ? p->dispatch_table[irp->major] : nullptr;
        if (queue == nullptr)
            queue = p->default_queue;
        if (queue != nullptr)
            queue->add_ref();
    }
    if (queue == nullptr) {
        complete_now(irp, STATUS_INVALID_DEVICE_REQUEST);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS st;
    fx_request* r = fx_request::create(p, irp, false, &st);
    if (r == nullptr) {
        queue->release();
        complete_now(irp, st);
        return st;
    }
    NTSTATUS status = queue->queue_request(r);
    queue->release();
    return status;
}

}  // namespace

io_package::io_package(fx_object* device, const io_device_config& config)
    : device_(device), config_(config) {}

WDF_FILEOBJECT_CLASS io_package::file_class() const {
    if (config_.file_config.Size == 0)
        return WdfFileObjectNotRequired;
    return static_cast<WDF_FILEOBJECT_CLASS>(config_.file_config.FileObjectClass &
                                             ~static_cast<ULONG>(WdfFileObjectCanBeOptional));
}

bool io_package::file_optional() const {
    return config_.file_config.Size != 0 &&
           (config_.file_config.FileObjectClass & WdfFileObjectCanBeOptional) != 0;
}

io_package* io_attach(fx_object* device, const io_device_config& config) {
    auto& t = packages();
    std::lock_guard g(t.mutex);
    auto& slot = t.packages[device];
    if (slot) {
        *slot = io_package(device, config);  // set-up before any queue exists
    } else {
        slot = std::make_unique<io_package>(device, config);
    }
    return slot.get();
}

io_package* io_package_of(fx_object* device) {
    auto& t = packages();
    std::lock_guard g(t.mutex);
    auto& slot = t.packages[device];
    if (!slot)
        slot = std::make_unique<io_package>(device, io_device_config{});
    return slot.get();
}

void io_detach(fx_object* device) {
    std::unique_ptr<io_package> gone;
    auto& t = packages();
    std::lock_guard g(t.mutex);
    auto it = t.packages.find(device);
    if (it != t.packages.end()) {
        gone = std::move(it->second);
        t.packages.erase(it);
    }
}

NTSTATUS io_dispatch(fx_object* device, PIRP irp) {
    io_package* p = io_package_of(device);
    switch (irp->major) {
        case IRP_MJ_CREATE:
            return on_create(p, irp);
        case IRP_MJ_CLEANUP:
            return on_cleanup(p, irp);
        case IRP_MJ_CLOSE:
            return on_close(p, irp);
        case IRP_MJ_PNP:
        case IRP_MJ_POWER:
            complete_now(irp, STATUS_INVALID_DEVICE_REQUEST);
            return STATUS_INVALID_DEVICE_REQUEST;
        default:
            return to_queue(p, irp);
    }
}

void io_power_down(fx_object* device) {
    io_package* p = io_package_of(device);
    {
        std::lock_guard g(scheduler::get().lock());
        p->powered = false;
    }
    std::vector<fx_queue*> qs = referenced_queues(p);
    for (fx_queue* q : qs)
        q->power_down();
    release_all(qs);
}

void io_power_up(fx_object* device) {
    io_package* p = io_package_of(device);
    {
        std::lock_guard g(scheduler::get().lock());
        p->powered = true;
    }
    std::vector<fx_queue*> qs = referenced_queues(p);
    for (fx_queue* q : qs)
        q->power_up();
    release_all(qs);
}

// Every purge the device's removal makes goes through here (FxPkgIo's
// StopProcessingForPower with FxIoStopProcessingForPowerPurgeManaged, then
// ...PurgeNonManaged at the final remove). A queue already purged is left as it is.
void purge_for_removal(io_package* p, removal_purge which) {
    std::vector<fx_queue*> qs = referenced_queues(p);
    for (fx_queue* q : qs) {
        if (which == removal_purge::power_managed)
            q->purge_for_surprise_removal();
        else
            q->purge_for_remove();
    }
    release_all(qs);
}

void io_purge_power_managed(fx_object* device) {
    io_package* p = io_package_of(device);
    {
        std::lock_guard g(scheduler::get().lock());
        p->powered = false;
    }
    purge_for_removal(p, removal_purge::power_managed);
}

void io_remove(fx_object* device) {
    io_package* p = io_package_of(device);
    {
        std::lock_guard g(scheduler::get().lock());
        p->shutting_down = true;
        p->powered = false;
    }
    purge_for_removal(p, removal_purge::all);
}

void io_begin_removal(fx_object* device) {
    io_package* p = io_package_of(device);
    auto& s = scheduler::get();
    std::unique_lock lk(s.lock());
    p->removing = true;
    s.block(
        lk, [p] { return p->file_calls == 0; }, no_deadline,
        "a file callback in progress on the device being removed");
}

WDFQUEUE io_default_queue(fx_object* device) {
    io_package* p = io_package_of(device);
    std::lock_guard g(scheduler::get().lock());
    return p->default_queue ? p->default_queue->handle_as<WDFQUEUE>() : nullptr;
}

}  // namespace platform::wdf

using namespace platform::wdf;

extern "C" {

NTSTATUS WdfDeviceConfigureRequestDispatching(WDFDEVICE Device, WDFQUEUE Queue,
                                              WDF_REQUEST_TYPE RequestType) {
    if (auto st = platform::faults::fault_point("WdfDeviceConfigureRequestDispatching")) {
        return *st;
    }
    fx_object* device = fx_object::get(reinterpret_cast<WDFOBJECT>(Device), fx_type::device,
                                       "WdfDeviceConfigureRequestDispatching");
    fx_queue* q = queue_from(Queue, "WdfDeviceConfigureRequestDispatching");
    io_package* p = io_package_of(device);
    UCHAR major;
    switch (RequestType) {
        case WdfRequestTypeCreate:
            major = IRP_MJ_CREATE;
            break;
        case WdfRequestTypeRead:
            major = IRP_MJ_READ;
            break;
        case WdfRequestTypeWrite:
            major = IRP_MJ_WRITE;
            break;
        case WdfRequestTypeDeviceControl:
            major = IRP_MJ_DEVICE_CONTROL;
            break;
        case WdfRequestTypeDeviceControlInternal:
            major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            break;
        default:
            return STATUS_INVALID_PARAMETER;
    }
    if (q->package() != p)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (major != IRP_MJ_CREATE && !q->has_handler_for(major))
        return STATUS_INVALID_DEVICE_REQUEST;
    if (major == IRP_MJ_CREATE && q->config().DispatchType != WdfIoQueueDispatchManual &&
        q->config().EvtIoDefault == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    {
        std::lock_guard g(platform::scheduler::get().lock());
        if (q == p->default_queue)
            return STATUS_INVALID_DEVICE_REQUEST;
        fx_queue* current = p->dispatch_table[major];
        if (current != nullptr && current != q)
            return STATUS_WDF_BUSY;
        p->dispatch_table[major] = q;
    }
    // A queue that receives dispatched requests can no longer be deleted by the driver.
    q->set_framework_deleted(true);
    return STATUS_SUCCESS;
}

WDFFILEOBJECT WdfDeviceGetFileObject(WDFDEVICE Device, PFILE_OBJECT FileObject) {
    fx_object* device = fx_object::get(reinterpret_cast<WDFOBJECT>(Device), fx_type::device,
                                       "WdfDeviceGetFileObject");
    fx_file_object* fo = fx_file_object::lookup(io_package_of(device), FileObject);
    return fo ? fo->handle_as<WDFFILEOBJECT>() : nullptr;
}

}  // extern "C"
