// The user-mode client calls: Win32 and include/vrax/ only.
#include "vrax_client.h"

#include <vrax/vrax_ioctl.h>
#include <vrax/vrax_names.h>

#include <string>
#include <utility>

namespace vraxsim {
namespace {

void put_u32(byte_vector& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

// `name` (ASCII) as wide characters with the terminating NUL.
std::vector<WCHAR> wide(const std::string& name) {
    std::vector<WCHAR> w(name.begin(), name.end());
    w.push_back(0);
    return w;
}

}  // namespace

// ---- One handle of \\.\VRAX ---------------------------------------------------------------------

// An overlapped operation: its OVERLAPPED and buffer stay at one address until it is finished.
struct vrax_client::pending {
    std::string what;
    OVERLAPPED ov{};
    byte_vector buffer;
    std::uint64_t started = 0;
    bool finished = false;
};

vrax_client::vrax_client(call_log& log) : log_(log) {}

vrax_client::~vrax_client() {
    close();
}

bool vrax_client::open() {
    win32_call c;
    c.started = log_.stamp();
    handle_ = CreateFileW(VRAX_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    c.what = "CreateFileW(\\\\.\\VRAX, read and write, overlapped)";
    c.ok = handle_ != INVALID_HANDLE_VALUE;
    c.error = c.ok ? 0 : GetLastError();
    c.finished = log_.stamp();
    log_.add(std::move(c));
    return handle_ != INVALID_HANDLE_VALUE;
}

void vrax_client::close() {
    if (handle_ == INVALID_HANDLE_VALUE) {
        return;
    }
    // Whatever is still pending is cancelled; its buffer stays alive until it has completed.
    for (auto& p : ops_) {
        if (!p->finished) {
            CancelIoEx(handle_, &p->ov);
            DWORD n = 0;
            GetOverlappedResult(handle_, &p->ov, &n, TRUE);
            CloseHandle(p->ov.hEvent);
            p->finished = true;
        }
    }
    win32_call c;
    c.what = "CloseHandle";
    c.started = log_.stamp();
    c.ok = CloseHandle(handle_) != FALSE;
    c.error = c.ok ? 0 : GetLastError();
    c.finished = log_.stamp();
    handle_ = INVALID_HANDLE_VALUE;
    log_.add(std::move(c));
}

std::optional<vrax_client::op> vrax_client::started(std::unique_ptr<pending> p, BOOL result) {
    if (!result && GetLastError() != ERROR_IO_PENDING) {
        win32_call c;
        c.what = std::move(p->what);
        c.error = GetLastError();
        c.started = p->started;
        c.finished = log_.stamp();
        CloseHandle(p->ov.hEvent);
        log_.add(std::move(c));
        return std::nullopt;
    }
    ops_.push_back(std::move(p));
    return ops_.size() - 1;
}

std::optional<vrax_client::op> vrax_client::start_control(std::string what, DWORD code,
                                                          const byte_vector& in, DWORD out_length) {
    auto p = std::make_unique<pending>();
    p->what = std::move(what);
    p->ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Buffered transfer: the driver copies the input before it writes any output, so one
    // buffer the size of the larger serves both.
    p->buffer = in;
    if (p->buffer.size() < out_length) {
        p->buffer.resize(out_length, 0);
    }
    p->started = log_.stamp();
    BOOL result =
        DeviceIoControl(handle_, code, p->buffer.empty() ? nullptr : p->buffer.data(),
                        static_cast<DWORD>(in.size()), out_length == 0 ? nullptr : p->buffer.data(),
                        out_length, nullptr, &p->ov);
    return started(std::move(p), result);
}

bool vrax_client::is_done(op o) const {
    return o < ops_.size() && (ops_[o]->finished || HasOverlappedIoCompleted(&ops_[o]->ov));
}

bool vrax_client::cancel(op o) {
    if (o >= ops_.size() || ops_[o]->finished) {
        return false;
    }
    win32_call c;
    c.what = "CancelIoEx(" + ops_[o]->what + ")";
    c.started = log_.stamp();
    c.ok = CancelIoEx(handle_, &ops_[o]->ov) != FALSE;
    c.error = c.ok ? 0 : GetLastError();
    c.finished = log_.stamp();
    const bool ok = c.ok;
    log_.add(std::move(c));
    return ok;
}

bool vrax_client::finish(op o, byte_vector* out) {
    if (o >= ops_.size() || ops_[o]->finished) {
        return false;
    }
    pending& p = *ops_[o];
    win32_call c;
    c.what = p.what;
    c.started = p.started;
    DWORD n = 0;
    c.ok = GetOverlappedResult(handle_, &p.ov, &n, TRUE) != FALSE;
    c.error = c.ok ? 0 : GetLastError();
    c.transferred = n;
    c.finished = log_.stamp();
    if (c.ok) {
        c.data.assign(p.buffer.begin(),
                      p.buffer.begin() +
                          static_cast<std::ptrdiff_t>(n < p.buffer.size() ? n : p.buffer.size()));
    }
    if (out != nullptr) {
        *out = c.data;
    }
    CloseHandle(p.ov.hEvent);
    p.finished = true;
    const bool ok = c.ok;
    log_.add(std::move(c));
    return ok;
}

bool vrax_client::poll(op o, byte_vector* out) {
    if (o >= ops_.size() || ops_[o]->finished) {
        return false;
    }
    pending& p = *ops_[o];
    DWORD n = 0;
    if (!GetOverlappedResult(handle_, &p.ov, &n, FALSE) && GetLastError() == ERROR_IO_INCOMPLETE) {
        win32_call c;
        c.what = "GetOverlappedResult(" + p.what + ", no wait)";
        c.error = ERROR_IO_INCOMPLETE;
        c.started = log_.stamp();
        c.finished = c.started;
        log_.add(std::move(c));
        return false;
    }
    return finish(o, out);
}

bool vrax_client::bind(std::uint32_t service, std::uint32_t port, std::uint16_t words[4]) {
    byte_vector in;
    put_u32(in, service);
    put_u32(in, port);
    byte_vector out;
    auto o = start_control("DeviceIoControl(IOCTL_VRAX_BIND_SERVICE, service " +
                               std::to_string(service) + ", port " + std::to_string(port) + ")",
                           IOCTL_VRAX_BIND_SERVICE, in, 8);
    const bool ok = o && finish(*o, &out);
    for (int i = 0; i < 4; ++i) {
        words[i] = out.size() >= static_cast<std::size_t>(2 * i + 2)
                       ? static_cast<std::uint16_t>(out[2 * i] | (out[2 * i + 1] << 8))
                       : 0;
    }
    return ok;
}

std::optional<vrax_client::op> vrax_client::start_get_client_id(std::uint32_t service) {
    byte_vector in;
    put_u32(in, service);
    return start_control(
        "DeviceIoControl(IOCTL_VRAX_GET_CLIENT_ID, service " + std::to_string(service) + ")",
        IOCTL_VRAX_GET_CLIENT_ID, in, 1);
}

bool vrax_client::get_client_id(std::uint32_t service, std::uint8_t& id) {
    byte_vector out;
    auto o = start_get_client_id(service);
    const bool ok = o && finish(*o, &out);
    id = ok && !out.empty() ? out[0] : 0;
    return ok;
}

std::optional<vrax_client::op> vrax_client::start_read_notification() {
    return start_control("DeviceIoControl(IOCTL_VRAX_READ_NOTIFICATION)",
                         IOCTL_VRAX_READ_NOTIFICATION, {}, 8);
}

bool vrax_client::register_event(const std::string& name, std::int64_t& handle_value) {
    byte_vector in;
    for (WCHAR ch : wide(name)) {
        in.push_back(static_cast<std::uint8_t>(ch & 0xFF));
        in.push_back(static_cast<std::uint8_t>((ch >> 8) & 0xFF));
    }
    byte_vector out;
    auto o = start_control("DeviceIoControl(IOCTL_VRAX_OPEN_EVENT_W, \"" + name + "\")",
                           IOCTL_VRAX_OPEN_EVENT_W, in, 8);
    const bool ok = o && finish(*o, &out) && out.size() == 8;
    std::uint64_t v = 0;
    for (std::size_t i = 0; ok && i < 8; ++i) {
        v |= static_cast<std::uint64_t>(out[i]) << (8 * i);
    }
    handle_value = static_cast<std::int64_t>(v);
    return ok;
}

std::optional<vrax_client::op> vrax_client::start_write(const byte_vector& message) {
    auto p = std::make_unique<pending>();
    p->what = "WriteFile(" + std::to_string(message.size()) + " bytes)";
    p->ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    p->buffer = message;
    p->started = log_.stamp();
    BOOL result =
        WriteFile(handle_, p->buffer.data(), static_cast<DWORD>(p->buffer.size()), nullptr, &p->ov);
    return started(std::move(p), result);
}

bool vrax_client::write(const byte_vector& message) {
    auto o = start_write(message);
    return o && finish(*o);
}

std::optional<vrax_client::op> vrax_client::start_read(DWORD length) {
    auto p = std::make_unique<pending>();
    p->what = "ReadFile(" + std::to_string(length) + " bytes)";
    p->ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    p->buffer.assign(length, 0);
    p->started = log_.stamp();
    BOOL result = ReadFile(handle_, p->buffer.data(), length, nullptr, &p->ov);
    last_read_ = started(std::move(p), result);
    return last_read_;
}

bool vrax_client::finish_read(byte_vector& message) {
    if (!last_read_) {
        return false;
    }
    const op o = *last_read_;
    last_read_.reset();
    return finish(o, &message);
}

bool vrax_client::read(DWORD length, byte_vector& message) {
    return start_read(length) && finish_read(message);
}

// ---- Messages ---------------------------------------------------------------------------------

byte_vector service_request(const byte_vector& value) {
    byte_vector m{0x00, 0x01, 0x01, 0x10, 0x00};
    const std::size_t tlv_length = 3 + value.size();
    m.push_back(static_cast<std::uint8_t>(tlv_length));
    m.push_back(static_cast<std::uint8_t>(tlv_length >> 8));
    m.push_back(0x01);
    m.push_back(static_cast<std::uint8_t>(value.size()));
    m.push_back(static_cast<std::uint8_t>(value.size() >> 8));
    m.insert(m.end(), value.begin(), value.end());
    return m;
}

// ---- Named events -----------------------------------------------------------------------------

HANDLE create_named_event(call_log& log, const std::string& name) {
    win32_call c;
    c.what = "CreateEventW(manual reset, not signalled, \"" + name + "\")";
    c.started = log.stamp();
    const std::vector<WCHAR> w = wide(name);
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, w.data());
    c.ok = h != nullptr;
    c.error = c.ok ? 0 : GetLastError();
    c.finished = log.stamp();
    log.add(std::move(c));
    return h;
}

DWORD wait_for_event(call_log& log, HANDLE event, DWORD milliseconds) {
    win32_call c;
    c.what = "WaitForSingleObject(" +
             (milliseconds == INFINITE ? std::string("INFINITE")
                                       : std::to_string(milliseconds) + " ms") +
             ")";
    c.started = log.stamp();
    const DWORD result = WaitForSingleObject(event, milliseconds);
    c.ok = result == WAIT_OBJECT_0;
    c.error = result == WAIT_FAILED ? GetLastError() : 0;
    c.transferred = result;
    c.finished = log.stamp();
    log.add(std::move(c));
    return result;
}

void close_event(call_log& log, HANDLE event) {
    win32_call c;
    c.what = "CloseHandle(event)";
    c.started = log.stamp();
    c.ok = CloseHandle(event) != FALSE;
    c.error = c.ok ? 0 : GetLastError();
    c.finished = log.stamp();
    log.add(std::move(c));
}

}  // namespace vraxsim
