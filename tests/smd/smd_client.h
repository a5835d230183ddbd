// Drives the simulated SMD driver as a kernel client does: a kernel-mode open of the SMD
// interface's symbolic link, the three controls, reads and writes sent through the I/O
// manager. And a fixture that installs the driver, resets the far end and ends every test
// with the verifier's final check.
#pragma once

#include <gtest/gtest.h>

#include <ntifs.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <vrax/smd_channel.h>

#include "io/io_manager.h"
#include "smd/far_end.h"
#include "smd/install.h"

namespace smd_test {

namespace far_end = smd::far_end;

// A well-formed open request for `port`.
SMD_OPEN_REQUEST open_request(unsigned port);
// Sets a name field to `text` (zero-padded; no terminator when it fills the field).
void set_name(WCHAR (&field)[SMD_EVENT_NAME_CHARS], std::u16string_view text);
// "\BaseNamedObjects\VRAX_SMD_SHARED_EVENT_<kind>_<port>", kind READ, OPEN or CLOSE.
std::u16string event_path(const char* kind, unsigned port);

// One request in flight and what its completion reported.
struct pending_io {
    std::vector<std::uint8_t> input;
    std::vector<std::uint8_t> output;
    std::shared_ptr<platform::io::request> request;
    NTSTATUS sent = STATUS_SUCCESS;  // when the I/O manager refused to send it
    // Set by the completion, under the scheduler lock.
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;

    // Waits (virtual time) up to `ms`; false when still pending.
    bool wait(std::int64_t ms = 5000);
    bool finished();
    // Output bytes the completion reported.
    std::vector<std::uint8_t> bytes() const;
};

class channel {
  public:
    // Opens the first enabled SMD interface link (or `link`).
    explicit channel(std::u16string link = {});
    ~channel();
    channel(const channel&) = delete;
    channel& operator=(const channel&) = delete;

    NTSTATUS open_status() const { return open_status_; }
    PFILE_OBJECT file() const;

    std::shared_ptr<pending_io> start(UCHAR major, ULONG code, std::vector<std::uint8_t> input,
                                      ULONG output_length);
    // Sends and waits (five seconds of virtual time at most: a test failure, not a hang).
    std::shared_ptr<pending_io> send(UCHAR major, ULONG code, std::vector<std::uint8_t> input,
                                     ULONG output_length);

    NTSTATUS open(unsigned port);
    NTSTATUS open(const SMD_OPEN_REQUEST& request);
    NTSTATUS close();
    std::shared_ptr<pending_io> read_pending();
    std::shared_ptr<pending_io> start_read(ULONG length = 2048);
    std::shared_ptr<pending_io> write(std::vector<std::uint8_t> frame);

    // Cancels the channel's requests still pending (the sender's time-out).
    std::size_t cancel();
    // Closes the handle now (clean-up and close).
    void close_handle();

  private:
    NTSTATUS open_status_ = STATUS_UNSUCCESSFUL;
    platform::ob::ref<platform::ob::object> file_;
};

// Opens an existing event by name as VRAX does (IoCreateSynchronizationEvent opens an event
// that exists); closes the handle when it goes.
class client_event {
  public:
    explicit client_event(const std::u16string& path);
    ~client_event();
    PKEVENT get() const { return event_; }
    bool signalled() const { return KeReadStateEvent(event_) != 0; }
    // Consumes a signal (a zero time-out wait on the synchronization event).
    bool take();

  private:
    PKEVENT event_ = nullptr;
    HANDLE handle_ = nullptr;
};

// The newest open / close request the far end saw (a test failure when there is none).
far_end::open_request last_open_request();
far_end::close_request last_close_request();

// Whether an event of that name exists.
bool event_exists(const std::u16string& path);

class smd_fixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace smd_test
