// The modem emulator: the modem at the far end of an SMD port, speaking the frame format the
// driver speaks, so the whole system runs without a test writing bytes by hand. What it
// answers and how it misbehaves is engine.h; this is the part that lives on the channel.
//
//     modem::emulator m;                        // services 1..3, ids 1..8 each
//     m.start(0);                               // port 0: frame hook, timers, far end opened
//     ... install the SMD driver, boot the machine ...
//     auto notice = m.wait_for_request(0, modem::msg_port_open, 5000);
//     m.feed(frame);                            // as if the driver had written `frame`
//     m.indicate_every(100, 100, 3, 1, modem::broadcast_client, 0x0001);
//     m.misbehave(modem::misbehaviour::on(modem::misbehaviour::kind::late, 0x22));
//     std::cout << m.transcript();              // every frame each way, one line each
//     m.stop();                                 // before the machine shuts down
//
// Threads. Frames the driver writes arrive on the far end's frame-hook thread ("smd far
// end"); the modem answers there at once (queue_read never blocks) and hands anything later
// to its own timer thread ("modem timers"), which blocks through the scheduler until the
// earliest due time, so delays are virtual time. Calls a test makes (feed, send, indicate,
// close_channel, ...) do their channel work on the calling thread. The modem's state is
// guarded by the scheduler lock, never held across a call into the SMD driver.
//
// Waiting. wait_for_request() and wait_for_sent() block the calling thread through
// platform::scheduler (scheduler::block on the modem's state with a deadline), so virtual
// time moves on while they wait and a wait no one can end shows in the deadlock report.
// Call them from a thread the scheduler knows (the test's own thread), never from a frame
// hook.
//
// Lifetime. stop() (or the destructor) removes the frame hook, joins the timer thread and
// drops the timers still pending; do it before the machine shuts down, and not from a frame
// hook or the timer thread. After smd::far_end::reset() the hook is gone; stop() still has to
// join the timer thread.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "modem/engine.h"
#include "modem/wire.h"

namespace modem {

struct log_entry {
    enum class direction {
        from_driver,  // a frame the driver wrote (or a test fed as if it had)
        to_driver,    // a frame the modem queued for the driver to read
        event,        // the modem closed or opened its end of the channel
    };
    direction dir = direction::from_driver;
    std::int64_t time_ms = 0;  // virtual time
    unsigned port = 0;
    bytes frame;
    std::string decoded;               // the frame decoder's line (empty for events)
    std::string note;                  // what the modem made of it, or why it sent it
    NTSTATUS status = STATUS_SUCCESS;  // to_driver and events: the far end's answer
    // Place in the process-wide order of next_order(): taken as the frame arrives from the
    // driver, or before a frame or channel event is handed to the far end, so whatever the
    // driver does with it comes later in that order.
    std::uint64_t order = 0;
};

// What a watcher (emulator::watch) is told about the channel: each frame the driver wrote,
// after the engine has handled it; each frame the modem hands the far end, as it joins the far
// end's queue and before the driver can read it (sending), and after (sent, with the far end's
// answer); each close and open of the modem's end, after it, with the far end's answer. Called
// on the thread that does the channel work, without the scheduler lock held; the frame is
// valid only during the call. `sending` comes under the SMD device's lock, so the frames sent
// from several threads are told in the order the driver reads them: the watcher only takes
// note there (no waits, no platform calls).
struct watch_event {
    enum class kind { received, sending, sent, closed, opened };
    kind what = kind::received;
    const bytes* frame = nullptr;      // received, sending, sent
    NTSTATUS status = STATUS_SUCCESS;  // sent, closed, opened
};
using watcher = std::function<void(const watch_event&)>;

// A process-wide, strictly increasing counter. The modem's log entries take their `order`
// from it; others (the main job's call logs) take theirs from it too, so frames and program
// calls can be put on one time line even within one instant of virtual time.
std::uint64_t next_order();

// One line: time, direction, decoded frame, note and (if not success) the far end's status.
std::string format(const log_entry& e);

class emulator {
  public:
    explicit emulator(config c = {});
    ~emulator();
    emulator(const emulator&) = delete;
    emulator& operator=(const emulator&) = delete;

    // Takes `port`'s far end: frames the driver writes there come to the modem (those
    // written before start() are handled now, on the caller's thread), and, when
    // `open_far_end` is set, the modem opens its end of the channel.
    void start(unsigned port = 0, bool open_far_end = true);
    void stop();
    bool running() const;
    unsigned port() const;

    // ---- Frames in ----------------------------------------------------------------------------
    // Handles `frame` as if the driver had written it; the answer goes to the driver as usual.
    void feed(const bytes& frame);

    // ---- Frames out ---------------------------------------------------------------------------
    // Queues `m` (damaged as `d` says) for the driver to read now; returns the far end's
    // answer (STATUS_INVALID_DEVICE_STATE while the channel is closed). Unsolicited control
    // frames go this way.
    NTSTATUS send(const message& m, const damage& d = {}, std::string note = "sent by the test");
    // Raw bytes as one chunk.
    NTSTATUS inject(const bytes& raw, std::string note = "injected by the test");
    // The same, `delay_ms` of virtual time from now.
    void send_in(std::int64_t delay_ms, const message& m, const damage& d = {});

    // An indication of `service_type` to `client_id` (broadcast_client: every client).
    NTSTATUS indicate(std::uint8_t service_type, std::uint8_t client_id, std::uint16_t message_id,
                      std::vector<tlv> tlvs = {});
    // `count` indications, the first `first_ms` from now, then every `period_ms`.
    void indicate_every(std::int64_t first_ms, std::int64_t period_ms, unsigned count,
                        std::uint8_t service_type, std::uint8_t client_id, std::uint16_t message_id,
                        std::vector<tlv> tlvs = {});

    // ---- The channel --------------------------------------------------------------------------
    NTSTATUS close_channel();
    NTSTATUS open_channel();
    // Closes the modem's end `delay_ms` from now; re-opens it `reopen_after_ms` later if set.
    void close_channel_in(std::int64_t delay_ms,
                          std::optional<std::int64_t> reopen_after_ms = std::nullopt);

    // ---- Misbehaviour -------------------------------------------------------------------------
    void misbehave(misbehaviour m);
    void behave();  // forgets every rule not used up yet

    // ---- Watching -----------------------------------------------------------------------------
    // Replaces the watcher (see watch_event); empty: none. Set it before start().
    void watch(watcher w);

    // ---- Waiting (see the header comment) --------------------------------------------------
    // The oldest request of `service_type` (and `message_id` when set) not returned before,
    // waiting up to `timeout_ms` of virtual time for one.
    std::optional<request_record> wait_for_request(std::uint8_t service_type,
                                                   std::optional<std::uint16_t> message_id,
                                                   std::int64_t timeout_ms);
    // Waits until at least `count` frames have gone to the driver since start (whether the
    // far end took them or not); false on time-out.
    bool wait_for_sent(std::size_t count, std::int64_t timeout_ms);

    // ---- State --------------------------------------------------------------------------------
    std::vector<std::uint8_t> granted(std::uint8_t service_type) const;
    unsigned notices() const;
    std::vector<request_record> requests() const;
    std::vector<log_entry> log() const;
    std::size_t sent_count() const;  // frames to the driver, including those not taken
    std::size_t timers_pending() const;
    // The log, one format() line per entry.
    std::string transcript() const;

    struct state;

  private:
    std::shared_ptr<state> st_;
};

}  // namespace modem
