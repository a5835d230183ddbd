#include "bench_world.h"

#include <ntddk.h>

#include <vrax/smd_channel.h>
#include <vrax/vrax_ioctl.h>
#include <vrax/vrax_names.h>

#include <cstring>
#include <functional>
#include <string>
#include <utility>

#include "core/scheduler.h"
#include "machine/machine.h"
#include "modem/modem.h"
#include "smd/far_end.h"
#include "smd/install.h"

namespace bench {
namespace {

namespace far_end = smd::far_end;

bytes u32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

// Offsets in a frame: the service type, and the service message's type.
constexpr std::size_t service_type_at = 4;
constexpr std::size_t message_type_at = modem::frame_header_size;
constexpr std::uint8_t request_type = 0;
constexpr std::uint8_t response_type = 2;
constexpr std::uint8_t indication_type = 4;
constexpr std::uint16_t request_message = 0x0010;
constexpr std::uint16_t indication_message = 0x0040;

// The far end of both paths: a service request comes back at once as its response (the same
// bytes, message type 2), on the far end's thread, whichever port it came on. Control frames
// of port 0 go to the modem, which grants and releases client ids.
far_end::frame_hook echo_hook(modem::emulator* control) {
    return [control](unsigned port, std::vector<std::uint8_t> frame) {
        if (frame.size() <= message_type_at)
            return;
        if (frame[service_type_at] == modem::control_service) {
            if (control != nullptr)
                control->feed(frame);
            return;
        }
        if (frame[message_type_at] != request_type)
            return;
        frame[message_type_at] = response_type;
        (void)far_end::queue_read(port, std::move(frame));
    };
}

modem::message service_message(std::uint8_t service, std::uint8_t client_id, std::uint8_t type,
                               std::uint16_t transaction, std::uint16_t message_id) {
    modem::message m;
    m.service_type = service;
    m.client_id = client_id;
    m.message_type = type;
    m.transaction_id = transaction;
    m.message_id = message_id;
    m.tlvs = {{0x01, {0x07}}};
    return m;
}

// "\??\X" as a Win32 program names it: "\\?\X".
std::wstring win32_path(const std::u16string& nt) {
    std::wstring out = L"\\\\?\\";
    for (std::size_t i = 4; i < nt.size(); ++i)
        out.push_back(static_cast<wchar_t>(nt[i]));
    return out;
}

void set_name(WCHAR (&field)[SMD_EVENT_NAME_CHARS], const std::string& text) {
    std::memset(field, 0, sizeof field);
    for (std::size_t i = 0; i < text.size() && i + 1 < SMD_EVENT_NAME_CHARS; ++i)
        field[i] = static_cast<WCHAR>(text[i]);
}

bytes open_request(unsigned port) {
    SMD_OPEN_REQUEST r{};
    r.Reserved = SMD_OPEN_RESERVED;
    r.Version = SMD_OPEN_VERSION;
    r.BufferLength = SMD_OPEN_BUFFER_LENGTH;
    const std::string n = std::to_string(port);
    set_name(r.ReadEventName, SMD_READ_EVENT_PREFIX + n);
    set_name(r.OpenEventName, SMD_OPEN_EVENT_PREFIX + n);
    set_name(r.CloseEventName, SMD_CLOSE_EVENT_PREFIX + n);
    const auto* b = reinterpret_cast<const std::uint8_t*>(&r);
    return {b, b + sizeof r};
}

HANDLE open_overlapped(const wchar_t* path) {
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

}  // namespace

// ---- handle_io ---------------------------------------------------------------------------------

handle_io::handle_io(HANDLE h) : h_(h) {
    read_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    other_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

handle_io::~handle_io() {
    close();
    CloseHandle(read_.hEvent);
    CloseHandle(other_.hEvent);
}

void handle_io::close() {
    if (h_ == INVALID_HANDLE_VALUE)
        return;
    if (reading_) {
        CancelIoEx(h_, &read_);
        (void)finish_read();
    }
    CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
}

bool handle_io::wait(OVERLAPPED& ov, BOOL started, DWORD& n) {
    n = 0;
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return false;
    return GetOverlappedResult(h_, &ov, &n, TRUE) != FALSE;
}

bool handle_io::start_read(DWORD length) {
    HANDLE e = read_.hEvent;
    read_ = OVERLAPPED{};
    read_.hEvent = e;
    ResetEvent(e);
    read_buffer_.resize(length);
    BOOL started = ReadFile(h_, read_buffer_.data(), length, nullptr, &read_);
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return false;
    reading_ = true;
    return true;
}

std::optional<bytes> handle_io::finish_read() {
    if (!reading_)
        return std::nullopt;
    reading_ = false;
    DWORD n = 0;
    if (!wait(read_, TRUE, n))
        return std::nullopt;
    return bytes(read_buffer_.begin(), read_buffer_.begin() + n);
}

bool handle_io::write(const bytes& message) {
    HANDLE e = other_.hEvent;
    other_ = OVERLAPPED{};
    other_.hEvent = e;
    ResetEvent(e);
    BOOL started =
        WriteFile(h_, message.data(), static_cast<DWORD>(message.size()), nullptr, &other_);
    DWORD n = 0;
    return wait(other_, started, n) && n == message.size();
}

std::optional<bytes> handle_io::control(DWORD code, const bytes& in, DWORD out_length) {
    HANDLE e = other_.hEvent;
    other_ = OVERLAPPED{};
    other_.hEvent = e;
    ResetEvent(e);
    bytes input = in;
    bytes out(out_length, 0);
    BOOL started = DeviceIoControl(
        h_, code, input.empty() ? nullptr : input.data(), static_cast<DWORD>(input.size()),
        out.empty() ? nullptr : out.data(), out_length, nullptr, &other_);
    DWORD n = 0;
    if (!wait(other_, started, n))
        return std::nullopt;
    out.resize(n);
    return out;
}

// ---- direct_channel ----------------------------------------------------------------------------

direct_channel::direct_channel() {
    auto links = smd::interface_links();
    if (links.empty())
        return;
    HANDLE h = open_overlapped(win32_path(links.front()).c_str());
    if (h == INVALID_HANDLE_VALUE)
        return;
    auto io = std::make_unique<handle_io>(h);
    if (!io->control(IOCTL_SMD_OPEN, open_request(direct_port), 0))
        return;
    settle();
    io_ = std::move(io);
}

direct_channel::~direct_channel() {
    if (io_)
        (void)io_->control(IOCTL_SMD_CLOSE, {}, 0);
}

// ---- world -------------------------------------------------------------------------------------

world::world() {
    far_end::reset();
    sim::machine_options options;
    options.trace_level = 0;
    machine_ = std::make_unique<sim::machine>(options);
    modem::config c;
    c.services.clear();
    for (unsigned t = 1; t <= id_services; ++t)
        c.services.push_back(
            modem::service::make(static_cast<std::uint8_t>(t), {}, ids_per_service));
    modem_ = std::make_unique<modem::emulator>(std::move(c));
    modem_->start(0);
    far_end::set_frame_hook(0, echo_hook(modem_.get()));
    far_end::set_frame_hook(direct_port, echo_hook(nullptr));
    if (far_end::open_channel(direct_port) != STATUS_SUCCESS) {
        problem_ = "the far end did not open the direct port";
        return;
    }
    if (smd::install() != STATUS_SUCCESS || machine_->boot() != STATUS_SUCCESS) {
        problem_ = "the machine did not boot";
        return;
    }
    if (!modem_->wait_for_request(modem::control_service, modem::msg_service_table, 5000)) {
        problem_ = "port 0 never asked for the service table";
        return;
    }
    // The port is ready once a bind reads the service's version words back.
    for (int i = 0; i < 1000 && !ok_; ++i) {
        settle();
        HANDLE h = open_overlapped(VRAX_USER_DEVICE_PATH);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        handle_io probe(h);
        auto words = probe.control(IOCTL_VRAX_BIND_SERVICE, {1, 0, 0, 0, 0, 0, 0, 0}, 8);
        ok_ = words && words->size() == 8 && (*words)[0] != 0;
    }
    if (!ok_)
        problem_ = "port 0 never became ready";
}

world::~world() {
    if (machine_ && machine_->running())
        (void)take_down();
}

std::unique_ptr<session> world::open_session(std::uint8_t service, bool with_id) {
    HANDLE h = open_overlapped(VRAX_USER_DEVICE_PATH);
    if (h == INVALID_HANDLE_VALUE) {
        problem_ = "CreateFileW(\\\\.\\VRAX) failed";
        return nullptr;
    }
    auto s = std::make_unique<session>();
    s->io = std::make_unique<handle_io>(h);
    s->service = service;
    bytes in = u32(service);
    bytes port = u32(0);
    in.insert(in.end(), port.begin(), port.end());
    if (!s->io->control(IOCTL_VRAX_BIND_SERVICE, in, 8)) {
        problem_ = "the bind failed";
        return nullptr;
    }
    if (with_id && (s->id = get_client_id(*s)) == 0)
        return nullptr;
    return s;
}

std::uint8_t world::get_client_id(session& s) {
    auto out = s.io->control(IOCTL_VRAX_GET_CLIENT_ID, u32(s.service), 1);
    if (!out || out->size() != 1 || (*out)[0] == 0 || (*out)[0] == modem::broadcast_client) {
        problem_ = "no client id granted";
        return 0;
    }
    return (*out)[0];
}

std::vector<std::string> world::take_down() {
    if (!NT_SUCCESS(machine_->remove_device()))
        (void)machine_->surprise_remove();
    modem_->stop();
    far_end::reset();
    if (smd::installed())
        (void)smd::uninstall();
    return machine_->shutdown();
}

// ---- frames ------------------------------------------------------------------------------------

bytes indication_frame(std::uint8_t service, std::uint8_t client_id) {
    return modem::encode(
        service_message(service, client_id, indication_type, 0, indication_message));
}

bytes framed_request(std::uint8_t service, std::uint8_t client_id, std::uint16_t transaction) {
    return modem::encode(
        service_message(service, client_id, request_type, transaction, request_message));
}

bytes service_request(std::uint16_t transaction) {
    bytes framed = framed_request(1, 1, transaction);
    return bytes(framed.begin() + modem::frame_header_size, framed.end());
}

bool from_modem(unsigned port, bytes frame) {
    return far_end::queue_read(port, std::move(frame)) == STATUS_SUCCESS;
}

}  // namespace bench
