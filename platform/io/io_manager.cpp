// Opening devices, file-object lifetime (clean-up and close), and the requests the I/O
// manager sends on behalf of programs.
#include "io/io_manager.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>

#include "core/bugcheck.h"
#include "core/pause_points.h"
#include "core/scheduler.h"
#include "io/device_record.h"
#include "kernel/kernel.h"

namespace platform::io {
namespace {

constexpr std::uint8_t uninitialised_fill = 0xCC;
constexpr ticks thread_exit_wait = 5 * 60 * ticks_per_second;

auto as_number(const void* p) {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p));
}

// Depth of I/O completions on this thread: a close that falls due inside one is deferred.
thread_local int completion_depth = 0;

// The FILE_OBJECT and the storage its FileName points into; outlives the file record when
// the close is deferred.
struct file_storage {
    FILE_OBJECT fo{};
    std::u16string file_name;
};

void send_close(std::unique_ptr<file_storage> body, ob::ref<device_record> device);

struct file_record : ob::object {
    file_record(std::unique_ptr<file_storage> b, ob::ref<device_record> d)
        : ob::object(ob::kind::file, &b->fo), body(std::move(b)), device(std::move(d)) {
        body->fo.FileObjectExtension = this;
    }
    ~file_record() override;

    std::unique_ptr<file_storage> body;
    ob::ref<device_record> device;
    ACCESS_MASK granted = 0;
    bool synchronous = true;
    bool created = false;  // IRP_MJ_CREATE succeeded: clean-up and close follow
    std::atomic<bool> cleanup_sent{false};
    // Guarded by the scheduler lock.
    bool busy = false;        // a synchronous file's lock: its current request or clean-up
    std::size_t pending = 0;  // incomplete requests sent on the file

    void send_cleanup();

  protected:
    void on_last_handle_closed() override { send_cleanup(); }
};

file_record* file_of(PFILE_OBJECT fo) {
    if (fo == nullptr || fo->Type != IO_TYPE_FILE || fo->FileObjectExtension == nullptr) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  "not a file object the I/O manager created", as_number(fo));
    }
    return static_cast<file_record*>(fo->FileObjectExtension);
}

PDEVICE_OBJECT top_of(PDEVICE_OBJECT dev) {
    std::lock_guard g(devices_lock());
    return top_of_stack_locked(dev);
}

// ---- Deferred closes -----------------------------------------------------------------------

struct close_job {
    std::unique_ptr<file_storage> body;
    ob::ref<device_record> device;
};

std::deque<close_job>& close_jobs() {  // guarded by the scheduler lock
    static auto* q = new std::deque<close_job>();
    return *q;
}

void close_worker() {
    auto& s = scheduler::get();
    std::function<bool()> ready = [] { return !close_jobs().empty(); };
    for (;;) {
        close_job job;
        {
            std::unique_lock lk(s.lock());
            s.block(lk, ready, no_deadline, "deferred file-object closes");
            job = std::move(close_jobs().front());
            close_jobs().pop_front();
        }
        send_close(std::move(job.body), std::move(job.device));
    }
}

void defer_close(std::unique_ptr<file_storage> body, ob::ref<device_record> device) {
    // Never joined: the worker lives as long as the process.
    static auto* worker = new std::shared_ptr<scheduler::joinable>(
        scheduler::get().start_thread("io-close", close_worker));
    (void)worker;
    auto& s = scheduler::get();
    std::lock_guard g(s.lock());
    close_jobs().push_back({std::move(body), std::move(device)});
    s.wake();
}

void send_close(std::unique_ptr<file_storage> body, ob::ref<device_record> device) {
    _IRP irp;
    irp.major = IRP_MJ_CLOSE;
    irp.file = &body->fo;
    irp.requestor_mode = KernelMode;
    irp.thread = &scheduler::get().current();
    send_irp_and_wait(top_of(body->fo.DeviceObject), &irp);
    std::lock_guard g(devices_lock());
    --device->files;
}

file_record::~file_record() {
    if (auto* c = static_cast<completion_context*>(body->fo.CompletionContext)) {
        body->fo.CompletionContext = nullptr;
        c->release(c);
    }
    if (!created) {
        std::lock_guard g(devices_lock());
        --device->files;
        return;
    }
    bool passive = scheduler::get().current().irql == PASSIVE_LEVEL;
    if (completion_depth == 0 && passive) {
        send_close(std::move(body), std::move(device));
    } else {
        defer_close(std::move(body), std::move(device));
    }
}

void file_record::send_cleanup() {
    if (!created || cleanup_sent.exchange(true)) {
        return;
    }
    // On a synchronous file object the clean-up takes the file object's lock first
    // (IopCloseFile), as every request on it does: the close waits behind the request in
    // progress, which it therefore cannot cancel.
    auto& s = scheduler::get();
    if (synchronous) {
        std::unique_lock lk(s.lock());
        std::function<bool()> idle = [this] { return !busy; };
        s.block(lk, idle, no_deadline, "the synchronous file object's request in progress (close)");
        busy = true;
    }
    _IRP irp;
    irp.major = IRP_MJ_CLEANUP;
    irp.file = &body->fo;
    irp.requestor_mode = KernelMode;
    irp.thread = &s.current();
    send_irp_and_wait(top_of(body->fo.DeviceObject), &irp);
    body->fo.Flags |= FO_CLEANUP_COMPLETE;
    if (synchronous) {
        std::lock_guard g(s.lock());
        busy = false;
        s.wake();
    }
}

}  // namespace

// ---- Requests ------------------------------------------------------------------------------

struct request {
    _IRP irp;
    ob::ref<ob::object> file;  // dropped when the request completes
    file_record* frec = nullptr;
    void* output = nullptr;
    ULONG output_length = 0;
    const void* tag = nullptr;
    void* process = nullptr;
    const thread_record* thread = nullptr;
    std::function<void(NTSTATUS, ULONG_PTR)> on_complete;
    // Guarded by the scheduler lock. A completing request stays listed among the pending
    // ones until its caller has been told (IopCompleteRequest writes the status block before
    // the IRP leaves its thread's list), so a thread's or process's exit that waits for its
    // requests never returns between the two.
    bool completing = false;
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

namespace {

std::list<std::shared_ptr<request>>& pending_requests() {  // guarded by the scheduler lock
    static auto* l = new std::list<std::shared_ptr<request>>();
    return *l;
}

// ---- Freed system buffers ---------------------------------------------------------------
//
// A completed request's system buffer is not released at once: it is filled with a pattern
// and quarantined, as freed pool is, so a driver that writes into a request's buffer after
// completing it (a work item still filling a buffer it completed, a cancel path that
// completes and then copies) is caught when the buffer leaves the quarantine or at the final
// check, with the request and its kind named.

constexpr std::uint8_t freed_fill = 0xF0;
constexpr std::size_t buffer_quarantine_limit = 4u << 20;

struct freed_buffer {
    std::vector<std::uint8_t> bytes;
    const void* irp = nullptr;
    UCHAR major = 0;
    ULONG ioctl_code = 0;
};

struct buffer_quarantine {
    std::mutex lock;
    std::deque<freed_buffer> buffers;
    std::size_t bytes = 0;
};

buffer_quarantine& quarantine() {
    static auto* q = new buffer_quarantine();
    return *q;
}

std::string request_kind(UCHAR major, ULONG ioctl_code) {
    char buf[48];
    switch (major) {
        case IRP_MJ_READ:
            return "read";
        case IRP_MJ_WRITE:
            return "write";
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            std::snprintf(buf, sizeof buf, "%sdevice control 0x%08X",
                          major == IRP_MJ_INTERNAL_DEVICE_CONTROL ? "internal " : "",
                          static_cast<unsigned>(ioctl_code));
            return buf;
        default:
            std::snprintf(buf, sizeof buf, "major function 0x%02X", major);
            return buf;
    }
}

// The offset of the first byte that is not the fill, or the size when there is none. Whole
// blocks are compared with memcmp first: the quarantine holds megabytes, scanned at every
// release from it and at every final check.
std::size_t first_written(const std::vector<std::uint8_t>& bytes) {
    static const auto* fill = [] {
        auto* block = new std::array<std::uint8_t, 4096>();
        block->fill(freed_fill);
        return block;
    }();
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t n = std::min(fill->size(), bytes.size() - at);
        if (std::memcmp(bytes.data() + at, fill->data(), n) != 0)
            break;
        at += n;
    }
    while (at < bytes.size() && bytes[at] == freed_fill)
        ++at;
    return at;
}

void check_freed(const freed_buffer& b) {
    const std::size_t i = first_written(b.bytes);
    if (i == b.bytes.size())
        return;
    char buf[64];
    std::snprintf(buf, sizeof buf, "request (IRP %p, ", b.irp);
    bug_check(bug_code::driver_verifier_detected_violation,
              std::string("driver wrote into the system buffer of a completed ") + buf +
                  request_kind(b.major, b.ioctl_code) + ") at offset " + std::to_string(i) +
                  " after completing it",
              0x1010, as_number(b.irp), i, b.bytes[i]);
}

void check_buffer_quarantine() {
    auto& q = quarantine();
    std::lock_guard g(q.lock);
    for (const auto& b : q.buffers) {
        check_freed(b);
    }
}

void quarantine_system_buffer(_IRP& irp) {
    if (irp.system_buffer.empty()) {
        return;
    }
    static std::once_flag registered;
    std::call_once(registered, [] { kernel::add_final_check(check_buffer_quarantine); });
    freed_buffer b;
    b.bytes = std::move(irp.system_buffer);  // the driver's pointer still points into it
    irp.system_buffer.clear();
    b.irp = &irp;
    b.major = irp.major;
    b.ioctl_code = irp.ioctl_code;
    std::memset(b.bytes.data(), freed_fill, b.bytes.size());
    std::deque<freed_buffer> recycled;
    auto& q = quarantine();
    {
        std::lock_guard g(q.lock);
        q.bytes += b.bytes.size();
        q.buffers.push_back(std::move(b));
        while (q.bytes > buffer_quarantine_limit && q.buffers.size() > 1) {
            check_freed(q.buffers.front());
            q.bytes -= q.buffers.front().bytes.size();
            recycled.push_back(std::move(q.buffers.front()));
            q.buffers.pop_front();
        }
    }
}

void finish_request(request* raw) {
    auto& s = scheduler::get();
    std::shared_ptr<request> req;
    {
        std::lock_guard g(s.lock());
        auto& l = pending_requests();
        auto it = std::find_if(l.begin(), l.end(), [raw](auto& r) { return r.get() == raw; });
        if (it == l.end() || (*it)->completing) {
            bug_check(bug_code::driver_verifier_detected_violation,
                      "completion of a request the I/O manager does not know", as_number(raw));
        }
        req = *it;
        req->completing = true;
    }
    pause_points::reach("io-completion", &req->irp);
    ++completion_depth;
    NTSTATUS status = req->irp.status;
    ULONG_PTR info = req->irp.information;
    const UCHAR major = req->irp.major;
    if (!NT_ERROR(status) && major == IRP_MJ_DEVICE_CONTROL &&
        req->irp.requestor_mode == UserMode && req->output_length != 0 &&
        METHOD_FROM_CTL_CODE(req->irp.ioctl_code) == METHOD_BUFFERED && info > req->output_length) {
        // IopCompleteRequest copies Information bytes of the system buffer to the program's
        // output buffer, whatever its length, unless the status is an error: a success or a
        // warning with more would overrun the program's buffer and read past the system
        // buffer ("Failure to Initialize Output Buffers", the I/O manager's buffered copy).
        char buf[160];
        std::snprintf(buf, sizeof buf,
                      "completed with status 0x%08X and Information %llu, more than the "
                      "program's %lu-byte output buffer",
                      static_cast<unsigned>(status), static_cast<unsigned long long>(info),
                      static_cast<unsigned long>(req->output_length));
        bug_check(bug_code::driver_verifier_detected_violation,
                  request_kind(major, req->irp.ioctl_code) + " " + buf, 0x1011,
                  as_number(&req->irp), info, req->output_length);
    }
    if (!NT_ERROR(status) && req->output != nullptr &&
        (major == IRP_MJ_READ || major == IRP_MJ_DEVICE_CONTROL)) {
        // Never more than the caller's buffer, whatever the driver reported.
        std::size_t n = std::min<std::size_t>(
            {static_cast<std::size_t>(info), req->output_length, req->irp.system_buffer.size()});
        std::memcpy(req->output, req->irp.system_buffer.data(), n);
    }
    quarantine_system_buffer(req->irp);
    if (req->on_complete) {
        req->on_complete(status, info);
    }
    {
        std::lock_guard g(s.lock());
        pending_requests().remove(req);
        req->done = true;
        req->status = status;
        req->information = info;
        --req->frec->pending;
        if (req->frec->synchronous) {
            req->frec->busy = false;
        }
        s.wake();
    }
    req->file.reset();  // may close the file object (deferred: we are inside a completion)
    --completion_depth;
}

void watch_thread_exit() {
    thread_local bool watching = false;
    if (watching) {
        return;
    }
    watching = true;
    thread_record& self = scheduler::get().current();
    self.at_exit.push_back([rec = &self] { cancel_thread_requests(rec); });
}

}  // namespace

PFILE_OBJECT file_body(ob::object& file) {
    if (file.type() != ob::kind::file) {
        return nullptr;
    }
    return static_cast<PFILE_OBJECT>(file.body());
}

ob::ref<ob::object> reference_file(PFILE_OBJECT fo) {
    file_record* rec = file_of(fo);
    return ob::ref<ob::object>(rec, false);
}

ACCESS_MASK file_granted_access(PFILE_OBJECT fo) {
    return file_of(fo)->granted;
}

bool file_is_synchronous(PFILE_OBJECT fo) {
    return file_of(fo)->synchronous;
}

std::size_t pending_request_count(PFILE_OBJECT fo) {
    file_record* rec = file_of(fo);
    std::lock_guard g(scheduler::get().lock());
    return rec->pending;
}

open_result open_file(std::u16string_view path, const open_params& params) {
    open_result out;
    ob::resolve_result found = ob::resolve(path, true);
    if (!NT_SUCCESS(found.status)) {
        out.status = found.status;
        return out;
    }
    if (found.obj->type() != ob::kind::device) {
        out.status = STATUS_OBJECT_TYPE_MISMATCH;
        return out;
    }
    ob::ref<device_record> dev(static_cast<device_record*>(found.obj.get()), false);
    PDEVICE_OBJECT d = dev->dev;
    std::shared_ptr<const security_descriptor> sd;
    {
        std::lock_guard g(devices_lock());
        if (dev->deleted || (d->Flags & DO_DEVICE_INITIALIZING) != 0) {
            out.status = STATUS_NO_SUCH_DEVICE;
            return out;
        }
        if ((d->Flags & DO_EXCLUSIVE) != 0 && dev->files != 0) {
            out.status = STATUS_ACCESS_DENIED;
            return out;
        }
        sd = dev->security;
    }
    const generic_mapping& mapping = file_generic_mapping();
    ACCESS_MASK granted = 0;
    // With a name past the device's, only a secure-open device is checked here; otherwise
    // the driver decides about the file name it is given.
    bool check = params.requestor_mode == UserMode &&
                 (found.remaining.empty() || (d->Characteristics & FILE_DEVICE_SECURE_OPEN) != 0);
    if (check) {
        if (params.caller == nullptr) {
            bug_check(bug_code::driver_verifier_detected_violation,
                      "user-mode open without a caller token");
        }
        NTSTATUS st = access_check(*sd, *params.caller, params.desired_access, mapping, granted);
        if (!NT_SUCCESS(st)) {
            out.status = st;
            return out;
        }
    } else if ((params.desired_access & MAXIMUM_ALLOWED) != 0) {
        granted = map_generic(params.desired_access & ~MAXIMUM_ALLOWED, mapping) | mapping.all;
    } else {
        granted = map_generic(params.desired_access, mapping);
    }
    {
        std::lock_guard g(devices_lock());
        // The device may have been deleted, or opened exclusively, meanwhile.
        if (dev->deleted) {
            out.status = STATUS_NO_SUCH_DEVICE;
            return out;
        }
        if ((d->Flags & DO_EXCLUSIVE) != 0 && dev->files != 0) {
            out.status = STATUS_ACCESS_DENIED;
            return out;
        }
        ++dev->files;
    }
    auto body = std::make_unique<file_storage>();
    body->file_name = found.remaining;
    FILE_OBJECT& fo = body->fo;
    fo.Type = IO_TYPE_FILE;
    fo.Size = sizeof(FILE_OBJECT);
    fo.DeviceObject = d;
    fo.FileName.Buffer =
        body->file_name.empty() ? nullptr : reinterpret_cast<PWCH>(body->file_name.data());
    fo.FileName.Length = static_cast<USHORT>(body->file_name.size() * sizeof(WCHAR));
    fo.FileName.MaximumLength = fo.FileName.Length;
    fo.Flags = params.synchronous ? FO_SYNCHRONOUS_IO : 0;
    fo.ReadAccess = (granted & FILE_READ_DATA) != 0;
    fo.WriteAccess = (granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    fo.DeleteAccess = (granted & DELETE) != 0;
    fo.SharedRead = (params.share_access & FILE_SHARE_READ) != 0;
    fo.SharedWrite = (params.share_access & FILE_SHARE_WRITE) != 0;
    fo.SharedDelete = (params.share_access & FILE_SHARE_DELETE) != 0;
    auto rec = ob::ref<file_record>(new file_record(std::move(body), dev), true);
    rec->granted = granted;
    rec->synchronous = params.synchronous;

    _IRP irp;
    irp.major = IRP_MJ_CREATE;
    irp.file = &rec->body->fo;
    irp.requestor_mode = params.requestor_mode;
    irp.desired_access = map_generic(params.desired_access, mapping);
    irp.create_options = params.create_options;
    irp.share_access = params.share_access;
    irp.file_attributes = params.file_attributes;
    irp.security_context.DesiredAccess = irp.desired_access;
    irp.security_context.FullCreateOptions = params.create_options;
    irp.thread = &scheduler::get().current();
    NTSTATUS st = send_irp_and_wait(top_of(d), &irp);
    if (!NT_SUCCESS(st)) {
        out.status = st;
        return out;  // no clean-up or close for a create that failed
    }
    rec->created = true;
    out.status = STATUS_SUCCESS;
    out.granted = granted;
    out.file = std::move(rec);
    return out;
}

void close_file(ob::ref<ob::object> file) {
    if (!file) {
        return;
    }
    PFILE_OBJECT fo = file_body(*file);
    if (fo == nullptr) {
        bug_check(bug_code::driver_verifier_detected_violation, "close_file on a non-file object",
                  as_number(file.get()));
    }
    file_of(fo)->send_cleanup();
}

start_result start_request(PFILE_OBJECT fo, user_request params) {
    start_result out;
    file_record* frec = file_of(fo);
    if (params.requestor_mode == UserMode) {
        ACCESS_MASK needed = 0;
        if (params.major == IRP_MJ_READ) {
            needed = FILE_READ_DATA;
        } else if (params.major == IRP_MJ_WRITE) {
            needed = FILE_WRITE_DATA;
        } else if (params.major == IRP_MJ_DEVICE_CONTROL) {
            ULONG access = (params.ioctl_code >> 14) & 3;
            if (access & FILE_READ_ACCESS)
                needed |= FILE_READ_DATA;
            if (access & FILE_WRITE_ACCESS)
                needed |= FILE_WRITE_DATA;
        }
        if ((frec->granted & needed) != needed) {
            out.status = STATUS_ACCESS_DENIED;
            return out;
        }
    }
    auto req = std::make_shared<request>();
    req->file = ob::ref<ob::object>(frec, false);
    req->frec = frec;
    req->tag = params.tag;
    req->process = params.process;
    req->on_complete = std::move(params.on_complete);
    thread_record& self = scheduler::get().current();
    req->thread = &self;
    _IRP& irp = req->irp;
    irp.major = params.major;
    irp.file = fo;
    irp.requestor_mode = params.requestor_mode;
    irp.thread = &self;
    irp.byte_offset = params.byte_offset;
    auto input = static_cast<const std::uint8_t*>(params.input);
    switch (params.major) {
        case IRP_MJ_READ:
            irp.output_length = params.output_length;
            irp.system_buffer.assign(params.output_length, uninitialised_fill);
            req->output = params.output;
            req->output_length = params.output_length;
            break;
        case IRP_MJ_WRITE:
            irp.input_length = params.input_length;
            irp.system_buffer.assign(input, input + params.input_length);
            break;
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            irp.ioctl_code = params.ioctl_code;
            irp.input_length = params.input_length;
            irp.output_length = params.output_length;
            irp.system_buffer.assign(std::max(params.input_length, params.output_length),
                                     uninitialised_fill);
            if (params.input_length != 0) {
                std::memcpy(irp.system_buffer.data(), input, params.input_length);
            }
            req->output = params.output;
            req->output_length = params.output_length;
            break;
        default:
            break;
    }
    request* raw = req.get();
    irp.on_complete = [raw](PIRP) { finish_request(raw); };
    watch_thread_exit();
    {
        auto& s = scheduler::get();
        std::unique_lock lk(s.lock());
        if (frec->synchronous) {
            // A synchronous file object carries one request at a time.
            std::function<bool()> idle = [frec] { return !frec->busy; };
            s.block(lk, idle, no_deadline, "the synchronous file object's previous request");
            frec->busy = true;
        }
        ++frec->pending;
        pending_requests().push_back(req);
    }
    out.sent = true;
    out.req = req;
    out.status = call_driver(top_of(fo->DeviceObject), &irp);
    return out;
}

NTSTATUS wait_request(const std::shared_ptr<request>& req, ULONG_PTR* information) {
    auto& s = scheduler::get();
    std::unique_lock lk(s.lock());
    std::function<bool()> done = [&req] { return req->done; };
    s.block(lk, done, no_deadline, "an I/O request to complete");
    if (information != nullptr) {
        *information = req->information;
    }
    return req->status;
}

bool request_done(const std::shared_ptr<request>& req) {
    std::lock_guard g(scheduler::get().lock());
    return req->done;
}

std::size_t cancel_requests(PFILE_OBJECT fo, void* process, const thread_record* thread,
                            const void* tag) {
    std::vector<std::shared_ptr<request>> matched;
    {
        std::lock_guard g(scheduler::get().lock());
        for (auto& r : pending_requests()) {
            if (r->done || r->completing || (fo != nullptr && r->irp.file != fo) ||
                (process != nullptr && r->process != process) ||
                (thread != nullptr && r->thread != thread) || (tag != nullptr && r->tag != tag)) {
                continue;
            }
            matched.push_back(r);
        }
    }
    for (auto& r : matched) {
        cancel_irp(&r->irp);
    }
    return matched.size();
}

namespace {

void cancel_and_wait(void* process, const thread_record* thread) {
    if (cancel_requests(nullptr, process, thread, nullptr) == 0) {
        return;
    }
    auto& s = scheduler::get();
    const ticks deadline = s.now() + thread_exit_wait;
    std::unique_lock lk(s.lock());
    std::function<bool()> gone = [process, thread] {
        for (auto& r : pending_requests()) {
            if ((process == nullptr || r->process == process) &&
                (thread == nullptr || r->thread == thread)) {
                return false;
            }
        }
        return true;
    };
    // Windows gives up after a while and leaves the requests to complete on their own.
    s.block(lk, gone, deadline, "cancelled requests of an exiting thread or process");
}

}  // namespace

void cancel_thread_requests(const thread_record* thread) {
    cancel_and_wait(nullptr, thread);
}

void cancel_process_requests(void* process) {
    cancel_and_wait(process, nullptr);
}

NTSTATUS send_irp_and_wait(PDEVICE_OBJECT device, PIRP irp) {
    auto& s = scheduler::get();
    bool done = false;
    auto previous = std::move(irp->on_complete);
    irp->on_complete = [&s, &done, previous = std::move(previous)](PIRP i) {
        if (previous) {
            previous(i);
        }
        std::lock_guard g(s.lock());
        done = true;
        s.wake();
    };
    call_driver(device, irp);
    std::unique_lock lk(s.lock());
    std::function<bool()> ready = [&done] { return done; };
    s.block(lk, ready, no_deadline, "an IRP sent by the platform to complete");
    return irp->status;
}

}  // namespace platform::io
