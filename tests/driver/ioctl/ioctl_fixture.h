// A machine with the simulated SMD driver and VRAX, port 0 open and ready (its service table
// answered), and a small scripted modem at the channel's far end that answers the driver's
// control requests as the test asks: client ids granted or refused, value queries, the
// service-2 query, releases; or nothing at all. Programs reach the driver through handles of
// \\.\VRAX and DeviceIoControl, as a client written for the real driver does.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "machine/machine.h"
#include "session/session.h"

namespace ioctl_test {

using bytes = std::vector<std::uint8_t>;

void settle_ms(std::int64_t ms);
bool wait_until(const std::function<bool()>& done, std::int64_t ms = 20000);
std::int64_t now_ms();

bytes u32(std::uint32_t v);
bytes cat(std::initializer_list<bytes> parts);
// A wide, NUL-terminated name as the named-event controls take it.
bytes wide_name(const std::u16string& name);

// What the modem answers. Read on the far end's thread, written by the test: guarded.
struct modem_script {
    bool answer_client_id = true;
    std::uint8_t next_client_id = 5;
    std::uint16_t client_id_error = 0;  // non-zero: the answer reports failure with it
    bool answer_value = true;
    std::uint16_t value = 0x1234;
    bool answer_service_two = true;
    bytes service_two_reply{0xA1, 0xA2, 0xA3};
    bool answer_release = true;
};

// One control in flight on an overlapped handle.
struct pending_control {
    OVERLAPPED ov{};
    bytes in;
    bytes out;
    BOOL started = FALSE;
    DWORD start_error = 0;
    bool done() const { return HasOverlappedIoCompleted(&ov); }
    ~pending_control();
};

// The outcome of a control: the Win32 error (0 for success), the bytes returned and the
// output buffer.
struct outcome {
    DWORD error = 0;
    DWORD returned = 0;
    bytes out;
};

// Opens \\.\VRAX from the calling thread's process, overlapped.
HANDLE open_vrax();
// Starts a control; `out_length` bytes of output buffer.
std::unique_ptr<pending_control> start_control(HANDLE h, DWORD code, const bytes& in,
                                               std::size_t out_length);
// Waits for a started control and returns its outcome.
outcome finish(HANDLE h, pending_control& io);
// A control, waited for.
outcome control(HANDLE h, DWORD code, const bytes& in, std::size_t out_length);

PCLIENT_CONTEXT session_of(HANDLE h);
bool abort_set(PCLIENT_CONTEXT session);

class IoctlMachine : public ::testing::Test {
  public:
    // Boots with port 0 open at both ends and answers the service table, so the version
    // table of port 0 is filled (services 0, 1, 2 and 3).
    void bring_up();
    void TearDown() override;

    // The script, changed under its lock.
    void script(const std::function<void(modem_script&)>& change);
    // Control requests of `message_id` the modem has seen, and service-2 queries.
    unsigned requests_seen(std::uint16_t message_id);
    unsigned service_two_queries_seen();
    bool traced(const char* text);

    std::unique_ptr<sim::machine> machine_;
    bool removed_ = false;

  private:
    void on_frame(const bytes& frame);
    std::mutex lock_;
    modem_script script_;
    std::vector<bytes> seen_;
};

}  // namespace ioctl_test
