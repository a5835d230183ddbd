// The world the side-by-side benchmarks run in: one machine with the SMD driver and VRAX, the
// modem emulator answering the control service on port 0, and an echo far end that answers
// service requests on port 0 (through VRAX) and on port 5 (the direct channel) with the same
// code, so both paths pay the same far-end cost.
//
//     bench::world w;                        // boots; port 0 ready
//     auto s = w.open_session(1, true);      // a program's handle, bound, with a client id
//     bench::direct_channel d;               // a program's handle of SMD port 5, opened
//     w.unicast_frame(s->service, s->id)     // the frame the modem sends that session
//     ...
//     w.take_down();                         // sessions closed, machine shut down, final check
//
// Both clients are plain Win32 programs on the calling thread (the host process): a VRAX
// session through \\.\VRAX, the direct channel through the SMD interface's link, with the
// open control and one frame per read or write. Everything here runs on one thread the
// scheduler knows (the benchmark's).
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "settle.h"

namespace modem {
class emulator;
}
namespace sim {
class machine;
}

namespace bench {

using bytes = std::vector<std::uint8_t>;

// The port the direct channel opens (VRAX has port 0).
inline constexpr unsigned direct_port = 5;
// Services the modem grants ids for, and ids per service: 4 x 250 sessions with an id each.
inline constexpr unsigned id_services = 4;
inline constexpr unsigned ids_per_service = 250;

// One overlapped handle with one read at a time. Use from one thread.
class handle_io {
  public:
    explicit handle_io(HANDLE h);
    ~handle_io();
    handle_io(const handle_io&) = delete;
    handle_io& operator=(const handle_io&) = delete;

    HANDLE handle() const { return h_; }
    // Starts a read of up to `length` bytes; false when it failed at once.
    bool start_read(DWORD length = 512);
    // Waits for the read started last; its bytes, or nothing when it failed.
    std::optional<bytes> finish_read();
    bool reading() const { return reading_; }
    // Writes `message` and waits for the write; false when it failed.
    bool write(const bytes& message);
    // A control with `in`, waiting for it; its output, or nothing when it failed.
    std::optional<bytes> control(DWORD code, const bytes& in, DWORD out_length);
    // Cancels the read in flight, waits for it, closes the handle.
    void close();

  private:
    bool wait(OVERLAPPED& ov, BOOL started, DWORD& n);

    HANDLE h_;
    OVERLAPPED read_{};
    OVERLAPPED other_{};
    bytes read_buffer_;
    bool reading_ = false;
};

// A program's session of VRAX on port 0.
struct session {
    std::unique_ptr<handle_io> io;
    std::uint8_t service = 0;
    std::uint8_t id = 0;  // 0: none
};

// A program's handle of SMD port `direct_port`, opened at both ends.
class direct_channel {
  public:
    direct_channel();
    ~direct_channel();
    bool ok() const { return io_ != nullptr; }
    handle_io& io() { return *io_; }

  private:
    std::unique_ptr<handle_io> io_;
};

class world {
  public:
    world();
    ~world();
    world(const world&) = delete;
    world& operator=(const world&) = delete;

    bool ok() const { return ok_; }
    const std::string& problem() const { return problem_; }

    // Opens \\.\VRAX, binds to `service` on port 0 and, when `with_id`, gets a client id.
    // Null on failure (problem() says which step).
    std::unique_ptr<session> open_session(std::uint8_t service, bool with_id);
    // Another client id for `s` (a session holds up to eight per service); 0 on failure.
    std::uint8_t get_client_id(session& s);

    // Closes every session handle given back, shuts the machine down; the final check's
    // report lines (empty: clean).
    std::vector<std::string> take_down();

  private:
    std::unique_ptr<sim::machine> machine_;
    std::unique_ptr<modem::emulator> modem_;
    bool ok_ = false;
    std::string problem_;
};

// Frames as the modem sends them: an indication of `service` to `client_id` (0xFF: a
// broadcast), 17 bytes.
bytes indication_frame(std::uint8_t service, std::uint8_t client_id);
// A program's service request (11 bytes, no frame header) and the same request framed for
// `service` and `client_id` as the direct channel writes it.
bytes service_request(std::uint16_t transaction);
bytes framed_request(std::uint8_t service, std::uint8_t client_id, std::uint16_t transaction);

// Queues `frame` for reading on `port` at the far end; false when the far end refused it.
bool from_modem(unsigned port, bytes frame);

}  // namespace bench
