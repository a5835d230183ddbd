// What the harnesses that run the real driver on a machine share: the input read as a script,
// a machine booted to the driver's load-time state with port 0 open at both ends, the frames
// the driver writes on port 0 (recorded on the far end's hook thread, optionally answered
// there), overlapped reads and writes of \\.\VRAX that are all waited for before the machine
// goes down, and the take-down with the verifier's final check.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "machine/machine.h"

namespace fuzz::machine {

using bytes = std::vector<std::uint8_t>;

// The input, one byte or field at a time; zeros once it is used up.
struct reader {
    const std::uint8_t* p;
    std::size_t left;
    std::uint8_t next() {
        if (left == 0)
            return 0;
        --left;
        return *p++;
    }
    std::uint16_t next16() { return static_cast<std::uint16_t>(next() | next() << 8); }
    std::uint32_t next32() { return next16() | static_cast<std::uint32_t>(next16()) << 16; }
    // Up to n bytes of the input; the rest of n (once the input is used up) from a pattern.
    bytes take(std::size_t n);
};

void put16(bytes& b, std::size_t at, std::uint16_t v);

// Lets `ms` of virtual time pass on the calling thread (0: the other threads run until they
// all block).
void pass_ms(std::int64_t ms);

// A frame around `message` whose length field says what it holds.
bytes frame(std::uint8_t service, std::uint8_t client, const bytes& message,
            std::uint8_t flags = 0);

// The frames the driver writes on port 0, taken on the far end's hook thread. An answerer,
// when set, is called there for each frame (outside the recorder's lock) and may queue
// reads for the driver.
class wire {
  public:
    using answerer = std::function<void(const bytes& frame)>;
    void start(answerer a = {});
    void stop();
    // Replaces the answerer of a started wire.
    void answer_with(answerer a);
    // Every frame written since the last call, oldest first.
    std::vector<bytes> take();
    // Waits (virtual time) until at least n frames are recorded and not taken; false when
    // `ms` pass first.
    bool wait_for(std::size_t n, std::int64_t ms);
    // Puts a frame taken back in front of the others.
    void put_back(bytes f);
    // Frames recorded and not yet taken.
    std::size_t count();

  private:
    std::mutex lock_;
    std::vector<bytes> frames_;
    answerer answer_;
};

// Port 0 open at both ends, announced, the device interface enabled: the state each input
// starts from. The port-open routine's service-table request is the first frame `w` records
// (it starts recording before the port opens).
std::unique_ptr<sim::machine> bring_up(std::optional<bool> support_new_hwid, wire& w);

// The device removed (surprise-removed if it refuses), the SMD driver gone, the final check:
// a finding is a bug check already, anything else in the report a failed expectation.
void take_down(std::unique_ptr<sim::machine> m, wire& w);

// The machine the inputs of a harness run on. Booting and taking down a machine costs more
// than most inputs, so one machine serves a batch of inputs: booted for the first input of a
// batch (with the "SupportNewHWID" choice of that input), taken down with the final check
// after the batch's last input and at exit. VRAX_FUZZ_BATCH sets the batch size (default
// 32); 1 boots a machine for every input, which is how a finding is reproduced from its one
// input. Between inputs the harness brings the machine back to its load-time state: no
// handles, every request finished, port 0 open at both ends and its device interface
// enabled (settle_port below); what it cannot take back (the session key counter, the
// transaction counters) carries over within a batch.
class batch {
  public:
    static batch& get();
    // The machine for this input, booted now or kept from the last one.
    sim::machine& begin(std::optional<bool> support_new_hwid);
    // The input is over; the machine goes down with the final check if the batch is.
    void end();
    wire& frames() { return wire_; }
    bool fresh() const { return fresh_; }  // booted for this input

  private:
    void take_down_now();
    friend void expect(bool, const char*);
    std::unique_ptr<sim::machine> machine_;
    wire wire_;
    unsigned size_ = 32;
    unsigned used_ = 0;
    bool fresh_ = false;
};

// fuzz::expect, and with VRAX_FUZZ_TRACE set (the machine then traces at verbose level) the
// driver's trace of the current machine printed first.
void expect(bool condition, const char* what);

// Whether the driver's device interface is enabled (port 0 open and served).
bool interface_enabled();

// The far end closes port 0, but only a channel the driver has open and serves: a close of a
// channel the far end never opened would leave that channel dead in the simulated SMD driver
// (it stays closed, while the driver waits for it to open). The driver is given the time to
// serve the close (a new channel bound) before this returns. False when nothing was closed.
bool close_from_far_end();

// Port 0 back to open at both ends with the device interface enabled, after a script may
// have closed it from the far end: opens it again and waits (virtual time) for the driver to
// re-open the channel. False when it does not come back within 10 s.
bool settle_port();

// One overlapped read or write of a handle. The buffer and OVERLAPPED stay alive until
// finished.
struct pending_io {
    bool read = false;
    HANDLE handle = nullptr;
    OVERLAPPED ov{};
    bytes buffer;
    BOOL started = FALSE;
    DWORD start_error = 0;
    bool finished = false;
    DWORD error = 0;        // once finished: 0 for success
    DWORD transferred = 0;  // once finished
    bool done() const;
    // Waits for it (the handle must still be open, or the request completed already).
    void finish();
    ~pending_io();
};

std::unique_ptr<pending_io> start_read(HANDLE h, std::size_t size);
std::unique_ptr<pending_io> start_write(HANDLE h, bytes data);

}  // namespace fuzz::machine
