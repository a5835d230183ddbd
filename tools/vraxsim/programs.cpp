// The user-mode client calls: Win32 and include/vrax/ only.
#include "programs.h"

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

}  // namespace

void call_log::add(win32_call c) {
    std::lock_guard g(lock_);
    calls_.push_back(std::move(c));
}

std::vector<win32_call> call_log::snapshot() const {
    std::lock_guard g(lock_);
    return calls_;
}

vrax_client::~vrax_client() {
    close();
}

bool vrax_client::open() {
    handle_ = CreateFileW(VRAX_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    win32_call c;
    c.what = "CreateFileW(\\\\.\\VRAX, read and write, overlapped)";
    c.ok = handle_ != INVALID_HANDLE_VALUE;
    c.error = c.ok ? 0 : GetLastError();
    log_.add(std::move(c));
    return handle_ != INVALID_HANDLE_VALUE;
}

void vrax_client::close() {
    if (handle_ == INVALID_HANDLE_VALUE) {
        return;
    }
    if (reading_) {
        // A read still pending is cancelled; its buffer stays alive until it has completed.
        CancelIoEx(handle_, &pending_);
        DWORD n = 0;
        GetOverlappedResult(handle_, &pending_, &n, TRUE);
        CloseHandle(pending_.hEvent);
        reading_ = false;
    }
    win32_call c;
    c.what = "CloseHandle";
    c.ok = CloseHandle(handle_) != FALSE;
    c.error = c.ok ? 0 : GetLastError();
    handle_ = INVALID_HANDLE_VALUE;
    log_.add(std::move(c));
}

bool vrax_client::complete(std::string what, BOOL started, OVERLAPPED& ov, byte_vector* out) {
    win32_call c;
    c.what = std::move(what);
    DWORD n = 0;
    if (started || GetLastError() == ERROR_IO_PENDING) {
        c.ok = GetOverlappedResult(handle_, &ov, &n, TRUE) != FALSE;
    }
    c.error = c.ok ? 0 : GetLastError();
    c.transferred = n;
    if (c.ok && out != nullptr) {
        out->resize(n);
        c.data = *out;
    }
    CloseHandle(ov.hEvent);
    const bool ok = c.ok;
    log_.add(std::move(c));
    return ok;
}

bool vrax_client::bind(std::uint32_t service, std::uint32_t port, std::uint16_t words[4]) {
    byte_vector in;
    put_u32(in, service);
    put_u32(in, port);
    byte_vector out(8, 0);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL started =
        DeviceIoControl(handle_, IOCTL_VRAX_BIND_SERVICE, in.data(), static_cast<DWORD>(in.size()),
                        out.data(), static_cast<DWORD>(out.size()), nullptr, &ov);
    const bool ok = complete("DeviceIoControl(IOCTL_VRAX_BIND_SERVICE, service " +
                                 std::to_string(service) + ", port " + std::to_string(port) + ")",
                             started, ov, &out);
    for (int i = 0; i < 4; ++i) {
        words[i] = out.size() >= static_cast<std::size_t>(2 * i + 2)
                       ? static_cast<std::uint16_t>(out[2 * i] | (out[2 * i + 1] << 8))
                       : 0;
    }
    return ok;
}

bool vrax_client::get_client_id(std::uint32_t service, std::uint8_t& id) {
    byte_vector in;
    put_u32(in, service);
    byte_vector out(1, 0);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL started =
        DeviceIoControl(handle_, IOCTL_VRAX_GET_CLIENT_ID, in.data(), static_cast<DWORD>(in.size()),
                        out.data(), static_cast<DWORD>(out.size()), nullptr, &ov);
    const bool ok = complete(
        "DeviceIoControl(IOCTL_VRAX_GET_CLIENT_ID, service " + std::to_string(service) + ")",
        started, ov, &out);
    id = ok && !out.empty() ? out[0] : 0;
    return ok;
}

bool vrax_client::write(const byte_vector& message) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL started =
        WriteFile(handle_, message.data(), static_cast<DWORD>(message.size()), nullptr, &ov);
    return complete("WriteFile(" + std::to_string(message.size()) + " bytes)", started, ov,
                    nullptr);
}

bool vrax_client::read(DWORD length, byte_vector& message) {
    return start_read(length) && finish_read(message);
}

bool vrax_client::start_read(DWORD length) {
    pending_ = OVERLAPPED{};
    pending_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    pending_buffer_.assign(length, 0);
    BOOL started = ReadFile(handle_, pending_buffer_.data(), length, nullptr, &pending_);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        win32_call c;
        c.what = "ReadFile(" + std::to_string(length) + " bytes)";
        c.error = GetLastError();
        log_.add(std::move(c));
        CloseHandle(pending_.hEvent);
        return false;
    }
    reading_ = true;
    return true;
}

bool vrax_client::finish_read(byte_vector& message) {
    if (!reading_) {
        return false;
    }
    reading_ = false;
    const std::string what = "ReadFile(" + std::to_string(pending_buffer_.size()) + " bytes)";
    const bool ok = complete(what, TRUE, pending_, &pending_buffer_);
    message = ok ? pending_buffer_ : byte_vector{};
    return ok;
}

}  // namespace vraxsim
