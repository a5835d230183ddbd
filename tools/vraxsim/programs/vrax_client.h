// The client calls vraxsim's programs (clients.h) make: what a program written for VRAX does
// through \\.\VRAX with the ordinary Win32 calls and the public headers in include/vrax/,
// nothing else (the same files build on Windows against the SDK;
// scripts/check-win32-programs.sh checks them against mingw-w64's headers). Each call is
// written down (what was called, whether it succeeded, GetLastError() when it did not, what
// came back) so the account can show it; the machine's set-up stays in scenario.cpp.
//
//     vraxsim::vrax_client c(log);          // on a program's own thread
//     c.open();
//     c.bind(1, 0, words);                  // service 1 on port 0: its four version words
//     c.get_client_id(1, id);
//     c.write(request);  c.read(256, answer);
//     auto op = c.start_get_client_id(1);   // overlapped, left pending
//     c.cancel(*op);  c.finish(*op);        // CancelIoEx, then its result
//     c.close();
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
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
    // Where the call started and where its result was known, on the log's clock (0 without
    // one): the account orders the calls of several programs and the frames by them.
    std::uint64_t started = 0;
    std::uint64_t finished = 0;
};

// Where one program's calls go, in order. The program's own thread writes (one thread per
// log); the account that shows them supplies the sink, which keeps them where it can read
// them, and the clock, so the program itself stays plain Win32.
class call_log {
  public:
    using sink = std::function<void(win32_call)>;
    using clock = std::function<std::uint64_t()>;

    call_log() = default;
    call_log(sink s, clock c) : sink_(std::move(s)), clock_(std::move(c)) {}
    call_log(const call_log&) = delete;
    call_log& operator=(const call_log&) = delete;

    std::uint64_t stamp() const { return clock_ ? clock_() : 0; }
    void add(win32_call c) const {
        if (sink_) {
            sink_(std::move(c));
        }
    }

  private:
    sink sink_;
    clock clock_;
};

// One handle of \\.\VRAX, opened for overlapped I/O. The plain operations wait for their
// result (GetOverlappedResult); the start_ ones leave it pending and return its number for
// is_done, cancel and finish. Use from one thread.
class vrax_client {
  public:
    using op = std::size_t;

    explicit vrax_client(call_log& log);
    ~vrax_client();
    vrax_client(const vrax_client&) = delete;
    vrax_client& operator=(const vrax_client&) = delete;

    bool open();
    // Cancels and waits for whatever is still pending, then closes the handle.
    void close();

    // IOCTL_VRAX_BIND_SERVICE with the service type and port index (8 bytes in), 8 bytes out:
    // the four version words the driver keeps for the service on that port.
    bool bind(std::uint32_t service, std::uint32_t port, std::uint16_t words[4]);
    // IOCTL_VRAX_GET_CLIENT_ID with the service type (4 bytes in), 1 byte out. 0xFF: the
    // modem had no client id left.
    bool get_client_id(std::uint32_t service, std::uint8_t& id);
    std::optional<op> start_get_client_id(std::uint32_t service);
    // IOCTL_VRAX_READ_NOTIFICATION: one 8-byte port-state notification (state, service type).
    std::optional<op> start_read_notification();
    // IOCTL_VRAX_OPEN_EVENT_W with `name` (wide, NUL-terminated): the driver opens
    // \BaseNamedObjects\<name> and sets it when the ports shut down. `handle_value` is the
    // 8-byte value to release it by.
    bool register_event(const std::string& name, std::int64_t& handle_value);

    // One service message per write; one per read.
    bool write(const byte_vector& message);
    bool read(DWORD length, byte_vector& message);
    std::optional<op> start_write(const byte_vector& message);
    std::optional<op> start_read(DWORD length);

    bool is_done(op o) const;
    // CancelIoEx on that operation's OVERLAPPED.
    bool cancel(op o);
    // Waits for the operation and records its result; `out` receives what came back.
    bool finish(op o, byte_vector* out = nullptr);
    // GetOverlappedResult without waiting: false, recorded with ERROR_IO_INCOMPLETE, while the
    // operation is pending (it stays pending); once complete, the same as finish.
    bool poll(op o, byte_vector* out = nullptr);

    // The read started last by start_read, finished (kept for the simple read-and-wait use).
    bool finish_read(byte_vector& message);

  private:
    struct pending;

    std::optional<op> start_control(std::string what, DWORD code, const byte_vector& in,
                                    DWORD out_length);
    std::optional<op> started(std::unique_ptr<pending> p, BOOL result);

    call_log& log_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::vector<std::unique_ptr<pending>> ops_;
    std::optional<op> last_read_;
};

// A service request as a program writes it: message type 0, transaction id 0x0101, message
// 0x0010 and one TLV 0x01 holding `value` (at most 65532 bytes).
byte_vector service_request(const byte_vector& value);

// Named events, as a program that waits for the ports to go down uses them: created
// (manual reset, not signalled) under `name` (for example "Global\\VraxPortsDown"), waited
// on, closed. Each call is logged.
HANDLE create_named_event(call_log& log, const std::string& name);
// WaitForSingleObject; returns its result (WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_FAILED).
DWORD wait_for_event(call_log& log, HANDLE event, DWORD milliseconds);
void close_event(call_log& log, HANDLE event);

}  // namespace vraxsim
