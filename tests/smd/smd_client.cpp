#include "smd_client.h"

#include <cstring>

#include "core/scheduler.h"
#include "kernel/kernel.h"
#include "kernel/named_events.h"
#include "kernel/strings.h"
#include "pnp/pnp_manager.h"

namespace smd_test {

namespace io = platform::io;
using platform::scheduler;

void set_name(WCHAR (&field)[SMD_EVENT_NAME_CHARS], std::u16string_view text) {
    std::memset(field, 0, sizeof field);
    for (std::size_t i = 0; i < text.size() && i < SMD_EVENT_NAME_CHARS; ++i)
        field[i] = text[i];
}

SMD_OPEN_REQUEST open_request(unsigned port) {
    SMD_OPEN_REQUEST r{};
    r.Reserved = SMD_OPEN_RESERVED;
    r.Version = SMD_OPEN_VERSION;
    r.BufferLength = SMD_OPEN_BUFFER_LENGTH;
    std::u16string n = platform::kernel::to_utf16(std::to_string(port));
    set_name(r.ReadEventName, u"" SMD_READ_EVENT_PREFIX + n);
    set_name(r.OpenEventName, u"" SMD_OPEN_EVENT_PREFIX + n);
    set_name(r.CloseEventName, u"" SMD_CLOSE_EVENT_PREFIX + n);
    return r;
}

std::u16string event_path(const char* kind, unsigned port) {
    return platform::kernel::to_utf16(std::string(SMD_EVENT_DIRECTORY "VRAX_SMD_SHARED_EVENT_") +
                                      kind + "_" + std::to_string(port));
}

bool pending_io::wait(std::int64_t ms) {
    auto& s = scheduler::get();
    const platform::ticks deadline = s.now() + ms * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    return s.block(
        lk, [this] { return done; }, deadline, "test: SMD request");
}

bool pending_io::finished() {
    std::lock_guard g(scheduler::get().lock());
    return done;
}

std::vector<std::uint8_t> pending_io::bytes() const {
    std::size_t n = std::min<std::size_t>(information, output.size());
    return {output.begin(), output.begin() + static_cast<std::ptrdiff_t>(n)};
}

channel::channel(std::u16string link) {
    if (link.empty()) {
        auto links = smd::interface_links();
        if (links.empty()) {
            open_status_ = STATUS_OBJECT_NAME_NOT_FOUND;
            return;
        }
        link = links.front();
    }
    io::open_params params;
    params.desired_access = FILE_READ_DATA | FILE_WRITE_DATA;
    params.synchronous = false;
    auto result = io::open_file(link, params);
    open_status_ = result.status;
    file_ = std::move(result.file);
}

channel::~channel() {
    close_handle();
}

void channel::close_handle() {
    if (file_)
        io::close_file(std::move(file_));
    file_.reset();
}

PFILE_OBJECT channel::file() const {
    return io::file_body(*file_);
}

std::shared_ptr<pending_io> channel::start(UCHAR major, ULONG code, std::vector<std::uint8_t> input,
                                           ULONG output_length) {
    auto p = std::make_shared<pending_io>();
    p->input = std::move(input);
    p->output.assign(output_length, 0);
    io::user_request r;
    r.major = major;
    r.ioctl_code = code;
    r.input = p->input.empty() ? nullptr : p->input.data();
    r.input_length = static_cast<ULONG>(p->input.size());
    r.output = p->output.empty() ? nullptr : p->output.data();
    r.output_length = output_length;
    r.requestor_mode = KernelMode;
    r.tag = p.get();
    pending_io* raw = p.get();
    r.on_complete = [raw](NTSTATUS status, ULONG_PTR information) {
        std::lock_guard g(scheduler::get().lock());
        raw->done = true;
        raw->status = status;
        raw->information = information;
        scheduler::get().wake();
    };
    auto started = io::start_request(file(), std::move(r));
    p->request = started.req;
    if (!started.sent) {
        std::lock_guard g(scheduler::get().lock());
        p->sent = started.status;
        p->status = started.status;
        p->done = true;
    }
    return p;
}

std::shared_ptr<pending_io> channel::send(UCHAR major, ULONG code, std::vector<std::uint8_t> input,
                                          ULONG output_length) {
    auto p = start(major, code, std::move(input), output_length);
    EXPECT_TRUE(p->wait()) << "request still pending after 5 s";
    return p;
}

NTSTATUS channel::open(const SMD_OPEN_REQUEST& request) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&request);
    return send(IRP_MJ_DEVICE_CONTROL, IOCTL_SMD_OPEN, {b, b + sizeof request}, 0)->status;
}

NTSTATUS channel::open(unsigned port) {
    return open(open_request(port));
}

NTSTATUS channel::close() {
    return send(IRP_MJ_DEVICE_CONTROL, IOCTL_SMD_CLOSE, {}, 0)->status;
}

std::shared_ptr<pending_io> channel::read_pending() {
    return send(IRP_MJ_DEVICE_CONTROL, IOCTL_SMD_READ_PENDING, {}, 0);
}

std::shared_ptr<pending_io> channel::start_read(ULONG length) {
    return start(IRP_MJ_READ, 0, {}, length);
}

std::shared_ptr<pending_io> channel::write(std::vector<std::uint8_t> frame) {
    return send(IRP_MJ_WRITE, 0, std::move(frame), 0);
}

std::size_t channel::cancel() {
    return io::cancel_requests(file(), nullptr, nullptr, nullptr);
}

client_event::client_event(const std::u16string& path) {
    platform::kernel::owned_unicode_string name(path);
    event_ = IoCreateSynchronizationEvent(name.get(), &handle_);
}

client_event::~client_event() {
    if (handle_ != nullptr)
        ZwClose(handle_);
}

bool client_event::take() {
    LARGE_INTEGER zero{};
    return KeWaitForSingleObject(event_, Executive, KernelMode, FALSE, &zero) == STATUS_SUCCESS;
}

far_end::open_request last_open_request() {
    auto all = far_end::open_requests();
    if (all.empty()) {
        ADD_FAILURE() << "no open request seen";
        return {};
    }
    return all.back();
}

far_end::close_request last_close_request() {
    auto all = far_end::close_requests();
    if (all.empty()) {
        ADD_FAILURE() << "no close request seen";
        return {};
    }
    return all.back();
}

bool event_exists(const std::u16string& path) {
    return platform::kernel::open_event(path).status == STATUS_SUCCESS;
}

void smd_fixture::SetUp() {
    far_end::reset();
    ASSERT_EQ(smd::install(), STATUS_SUCCESS);
}

namespace {

// Lets every other thread run until it blocks: virtual time passes the deadline only once
// all of them are blocked. A completion's tail (dropping the references its request held)
// runs after the request is reported complete.
void let_others_settle() {
    auto& s = scheduler::get();
    const platform::ticks later = s.now() + platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    s.block(
        lk, [] { return false; }, later, "test: other threads settling");
}

}  // namespace

void smd_fixture::TearDown() {
    let_others_settle();
    far_end::reset();
    if (smd::installed()) {
        EXPECT_EQ(smd::uninstall(), STATUS_SUCCESS);
    }
    let_others_settle();
    platform::pnp::final_check();
    platform::pnp::reset();
    platform::kernel::final_check();
}

}  // namespace smd_test
