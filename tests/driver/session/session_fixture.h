// A machine with the simulated SMD driver and VRAX, port 0 open at both ends so the device
// interface is enabled, and what the session tests need around it: handles opened through
// the Win32 subset as a program opens them, the session behind a handle, and the driver's
// own seams to bind a session or store a received message where the controls and delivery
// that would do it are reached from elsewhere.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "machine/machine.h"

#include "session/session.h"

namespace session_test {

using bytes = std::vector<std::uint8_t>;

void settle_ms(std::int64_t ms);
bool wait_until(const std::function<bool()>& done, std::int64_t ms = 20000);
std::int64_t now_ms();

// Opens \\.\VRAX for reading and writing from the calling thread's process.
HANDLE open_vrax(bool overlapped = false);

// The session behind a handle of the calling thread's process: handle, file object, the
// framework file object listed in ClientSessions, GetClientContext. NULL when not listed.
PCLIENT_CONTEXT session_of(HANDLE handle);
ULONG session_count();

// Binds the session as the bind controls and an allocation answer would: the fields are
// written under ClientSessionsLock, as those paths write them.
void bind(PCLIENT_CONTEXT session, ULONG port, ULONG service_type, UCHAR client_id,
          bool client_id_held);
// Stores a received service message as delivery does: a memory object (tag "vrx1")
// appended to ReceiveMessages under ReceiveLock.
void store_message(PCLIENT_CONTEXT session, const bytes& message);
ULONG stored_messages(PCLIENT_CONTEXT session);
// OutstandingWrites, read and written under WriteLock.
ULONG outstanding(PCLIENT_CONTEXT session);
void set_outstanding(PCLIENT_CONTEXT session, ULONG value);

// One overlapped read or write in flight.
struct pending_io {
    OVERLAPPED ov{};
    bytes buffer;
    BOOL started = FALSE;
    DWORD start_error = 0;
    bool done() const;
    // Waits for it; the error of a failed request (0 for success) and the bytes moved.
    DWORD finish(HANDLE handle, DWORD* transferred);
    ~pending_io();
};
std::unique_ptr<pending_io> start_read(HANDLE handle, std::size_t size);
std::unique_ptr<pending_io> start_write(HANDLE handle, const bytes& data);

class Session : public ::testing::Test {
  protected:
    void boot(std::optional<bool> support_new_hwid = std::nullopt, bool far_open = true);
    // Port 0 open at both ends, the port-open notice taken, the interface enabled.
    void bring_up(std::optional<bool> support_new_hwid = std::nullopt);
    // The next frame written on port 0 that is not the control service's (the driver's own
    // control requests go there too); nothing within `ms`.
    std::optional<bytes> next_service_frame(std::int64_t ms = 1000);
    bool traced(const char* text);
    std::vector<std::string> finish();
    void TearDown() override;

    std::unique_ptr<sim::machine> machine_;
};

}  // namespace session_test
