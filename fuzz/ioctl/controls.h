// One I/O control as the harness sends it: a code (one of the driver's thirteen, a code next
// to them, or any 32-bit value), an input of 0 to 4096 bytes and an output buffer of 0 to
// 4096 bytes filled with a canary, sent from the harness thread on an overlapped handle, from
// a thread of its own on a synchronous handle (with or without an OVERLAPPED), from a thread
// that exits at once, or from a program (a process) that ends with it pending. Once it has
// completed, check() tells whether what came back is something the driver may return.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "ioctl/far_modem.h"
#include "support/driver_machine.h"

namespace fuzz::ioctl {

using fuzz::machine::reader;

// Filled into every output buffer before the control is sent; bytes past what the driver
// returned must still hold it afterwards.
constexpr std::uint8_t canary = 0xA7;

struct control_spec {
    DWORD code = 0;
    bytes input;
    std::size_t out_length = 0;
};

// Handle values the open-event controls returned, so that a close-event control can name one.
struct event_handles {
    std::vector<std::uint64_t> values;
    void note(std::uint64_t v);
};

// Reads a control from the script: code selector, input shape and length, output length.
control_spec read_control(reader& in, const event_handles& events, far_modem& modem);

enum class issuer : std::uint8_t { harness, sync_thread, exiting_thread, program };

struct control_io {
    control_spec spec;
    bytes input;  // the buffer the control was sent with; never written by anyone
    bytes out;
    OVERLAPPED ov{};
    bool with_overlapped = true;
    bool synchronous_handle = false;
    issuer how = issuer::harness;
    HANDLE thread = nullptr;  // the sync or exiting thread
    HANDLE target = nullptr;  // the handle it was sent on
    // Written by the issuing thread before `returned` is set (under the scheduler's lock).
    BOOL ok = FALSE;
    DWORD call_error = 0;
    DWORD call_returned = 0;
    std::atomic<bool> returned{false};
    // Once finished.
    bool finished = false;
    DWORD error = 0;
    DWORD transferred = 0;
    bool copied = false;  // the status lets the I/O manager copy output back
    bool checked = false;
    bool sent = true;  // false: its program never got a handle to send it on

    explicit control_io(control_spec s);
    ~control_io();
    // Sends the control on `h` from the calling thread.
    void send(HANDLE h);
    // The control is never sent (its program could not open the device, or has no room).
    void not_sent();
    bool done() const;
    // Waits (virtual time) up to `ms`; true once finished.
    bool finish(std::int64_t ms);
};

// Starts `io` on `h` in the way `io.how` says (harness: on this thread; sync_thread and
// exiting_thread: on a new thread of this process; program: not here).
void start(control_io& io, HANDLE h);

// The checks of a finished control: fuzz::expect on every one.
void check(control_io& io, far_modem& modem, event_handles& events);

// Whether a code is one of the read controls, which the driver may keep parked for as long
// as nothing arrives.
bool is_read_control(DWORD code);

}  // namespace fuzz::ioctl
