// The user-mode side of vraxsim: what a program written for VRAX does through \\.\VRAX with
// the ordinary Win32 calls and the public headers in include/vrax/, nothing else. Each call
// is written down (what was called, whether it succeeded, GetLastError() when it did not,
// what came back) so the account can show it; the machine's set-up stays in scenario.cpp.
//
//     vraxsim::vrax_client c;               // on a program's own thread
//     c.open();
//     c.bind(1, 0);                         // service 1 on port 0: its four version words
//     c.get_client_id(1);
//     c.write(request);  c.read(256);
//     c.close();
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace vraxsim {

using byte_vector = std::vector<std::uint8_t>;

struct win32_call {
    std::string what;       // "DeviceIoControl(IOCTL_VRAX_BIND_SERVICE, service 1, port 0)"
    bool ok = false;        // the call (and its wait, for overlapped I/O) succeeded
    DWORD error = 0;        // GetLastError() when !ok
    DWORD transferred = 0;  // bytes written or returned
    byte_vector data;       // what came back (reads and controls)
};

// The calls one program made, in order. Written by the program's thread, read by the
// account's thread while the program may still run: guarded.
class call_log {
  public:
    void add(win32_call c);
    std::vector<win32_call> snapshot() const;

  private:
    mutable std::mutex lock_;
    std::vector<win32_call> calls_;
};

// One handle of \\.\VRAX, opened for overlapped I/O; every operation waits for its result
// (GetOverlappedResult) except the read started by start_read. Use from one thread.
class vrax_client {
  public:
    explicit vrax_client(call_log& log) : log_(log) {}
    ~vrax_client();
    vrax_client(const vrax_client&) = delete;
    vrax_client& operator=(const vrax_client&) = delete;

    bool open();
    void close();

    // IOCTL_VRAX_BIND_SERVICE with the service type and port index (8 bytes in), 8 bytes out:
    // the four version words the driver keeps for the service on that port.
    bool bind(std::uint32_t service, std::uint32_t port, std::uint16_t words[4]);
    // IOCTL_VRAX_GET_CLIENT_ID with the service type (4 bytes in), 1 byte out. 0xFF: the
    // modem had no client id left.
    bool get_client_id(std::uint32_t service, std::uint8_t& id);
    // One service message per write; one per read.
    bool write(const byte_vector& message);
    bool read(DWORD length, byte_vector& message);
    // A read left pending until finish_read; false when it failed at once.
    bool start_read(DWORD length);
    bool finish_read(byte_vector& message);

  private:
    // Waits for an overlapped operation started with `started` and records it.
    bool complete(std::string what, BOOL started, OVERLAPPED& ov, byte_vector* out);

    call_log& log_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    OVERLAPPED pending_{};
    byte_vector pending_buffer_;
    bool reading_ = false;
};

}  // namespace vraxsim
