// The stress run's oracle: what the run saw, from outside the driver, and the verdict of the
// rules on it. The run (stress_run.h) fills a history; check() needs nothing else, so a test
// can hand it a history of its own making.
//
// Every message carries a tag (its own sequence number, in a TLV of its body): requests a
// client writes, and the indications and broadcasts the modem sends. Stamps order everything
// the run saw: one counter for the whole run, taken on the thread that saw the event, before
// the event's effect can be seen by anyone else (a frame's stamp is taken as it joins the far
// end's queue, so the frames the modem sends from several threads are stamped in the order the
// driver reads them; a read's after it completed).
//
// The rules the oracle applies:
//   - A write reported as sent reaches the modem, unless the port was down while it was on
//     its way (between the write's start and the modem's receipt of the next frame written
//     after it, the channel closed, or had closed and was not ready again yet).
//   - A write refused (no byte written, or failed) is a drop only while the port is down:
//     from the channel's close to the moment the port was ready again; or, for a program
//     session, once a port loss has ended the id it was last granted, until a grant is
//     answered again (the driver sends nothing under a voided id).
//   - A request the modem received is answered, unless its client id was voided by a port
//     loss after the id was granted.
//   - A message the modem handed the far end is delivered once to every session it surely
//     targets: a unicast to the session that held the client id (granted, not yet closing,
//     no port loss since), a broadcast to every session bound to the service (bound, not yet
//     closing). A session that might have been a target (its bind or grant in progress, its
//     close under way) may get it or not. Delivery to any other session is a misdelivery.
//   - A surely targeted session that did not get it: a drop if the port was lost between
//     the send and the session's next read of a later message; if the session ended (closed,
//     killed, re-registered) before reading any later message; or if reads too small for
//     their message happened in that gap (each such read explains one message). Otherwise a
//     loss.
//   - A session holds an id it never saw granted (its control cancelled or failed) once the
//     modem received a request of its with that id, unless the port was lost since the
//     session opened: the driver goes on sending with a voided id, another session's now.
//   - A session that gets the same tag twice has a duplicate.
//   - Flow control (program sessions): a write sent in full counts as outstanding until a
//     message of type 2 (an answer) reaches the session; a port loss forgets them all. A
//     write is held back only with 15 or more outstanding, and sent at once below that. From
//     outside the count is known within bounds: answers count when the program collected
//     them, though one may have reached its pending read earlier; a read too small for its
//     message may or may not have been an answer. A write held back for the program's whole
//     wait (it then cancels it) while the upper bound is below 15 is a fault; so is one sent
//     at once, with no read pending and no port loss since the session opened, while the
//     lower bound is 15 or more. While the port is down (from the channel's close until it
//     is ready again) the driver's request queue is stopped and writes wait in it before
//     flow control sees them: a write whose wait overlapped that time and was cancelled is a
//     drop, whatever the count.
//   - A session that read a frame the modem sent before the session bound (or asked for the
//     id) is no misdelivery when its bind or request began before anyone read the frame: the
//     frame waits at the far end until the driver routes it.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace stress {

using stamp = std::uint64_t;
inline constexpr stamp never = std::numeric_limits<stamp>::max();

// A tag: kind in the top byte, the writing session below it (requests), a number at the bottom.
enum class tag_kind : std::uint8_t { request = 1, indication = 2, broadcast = 3 };
using tag = std::uint64_t;
inline tag make_tag(tag_kind k, std::uint32_t session, std::uint32_t number) {
    return (static_cast<tag>(k) << 56) | (static_cast<tag>(session & 0xFFFFFF) << 32) | number;
}
inline tag_kind kind_of(tag t) {
    return static_cast<tag_kind>(t >> 56);
}
inline std::uint32_t session_of(tag t) {
    return static_cast<std::uint32_t>((t >> 32) & 0xFFFFFF);
}

// One client session: a handle of a program, or one registration of a kernel client.
struct session_record {
    std::uint32_t id = 0;
    bool kernel = false;
    stamp opened = 0;
    // Bound to `service` from bind_begin (the control sent) and surely from bind_done.
    std::uint8_t service = 0;
    stamp bind_begin = never, bind_done = never;
    // A client id, held from the request (begin) and surely from its answer (done).
    struct hold {
        std::uint8_t id = 0;
        stamp begin = 0, done = 0;
    };
    std::vector<hold> holds;
    // The session's end: closing begins (or the process is killed, or the kernel client
    // deregisters) and is over. `final_close`: the orderly end of the run, after draining.
    stamp close_begin = never, closed = never;
    bool killed = false;
    bool final_close = false;
    // Reads in the order they completed: a message (its tag), a read too small for its
    // message, or anything else (cancelled, failed: no message involved).
    struct read {
        enum class result { message, too_small, other };
        stamp at = 0;
        result what = result::message;
        tag t = 0;
    };
    std::vector<read> reads;
    // Overlapped operations started and collected.
    std::uint64_t started = 0, collected = 0;
};

struct write_record {
    tag t = 0;
    std::uint32_t session = 0;
    std::uint8_t service = 0, client_id = 0;
    stamp begin = 0, end = never;  // end: never when it never finished (process killed)
    enum class outcome { sent, refused, cancelled, unfinished };
    outcome result = outcome::unfinished;
    std::uint32_t status = 0;  // the completion status (NTSTATUS) and bytes written
    std::uint32_t bytes = 0;
    // Programs' writes: still pending when the write call returned (queued, or held back by
    // flow control), and whether the session had a read pending then (a message delivered
    // into it releases a unit of flow control at any moment).
    bool held = false;
    bool read_pending = false;
};

// A frame of a tagged message at the modem.
struct modem_frame {
    tag t = 0;
    std::uint8_t service = 0, client_id = 0;
    stamp at = 0;
    bool taken = true;  // sent frames: the far end queued it
};

// The port down: the modem closed the channel at `close`; the port was ready again at
// `ready` (never: not again).
struct port_down {
    stamp close = 0, ready = never;
};

struct history {
    std::vector<session_record> sessions;
    std::vector<write_record> writes;
    std::vector<modem_frame> received;  // tagged requests the modem received, in stamp order
    std::vector<modem_frame> sent;      // tagged frames the modem sent, in stamp order
    std::vector<port_down> downs;       // in order
};

struct verdict {
    std::uint64_t requests_written = 0;          // writes reported as sent
    std::uint64_t messages_sent = 0;             // tagged frames the modem handed the far end
    std::uint64_t delivered = 0;                 // (message, session) deliveries, first copies
    std::map<std::string, std::uint64_t> drops;  // on purpose, by cause
    std::uint64_t losses = 0;
    std::uint64_t duplicates = 0;
    std::uint64_t misdelivered = 0;
    std::uint64_t never_completed = 0;  // operations started and never collected
    std::uint64_t writes_held = 0;      // writes flow control held until cancelled (port up)
    std::uint64_t flow_control = 0;     // writes held or sent against the outstanding count
    std::vector<std::string> findings;  // the first few faults, described
    bool clean() const {
        return losses == 0 && duplicates == 0 && misdelivered == 0 && never_completed == 0 &&
               flow_control == 0;
    }
};

// Cause names, as the summary prints them.
inline constexpr const char* drop_write_refused = "write refused or purged while the port was down";
inline constexpr const char* drop_write_voided_id =
    "write refused on a client id voided by a port loss";
inline constexpr const char* drop_write_in_flight = "write in flight when the channel closed";
inline constexpr const char* drop_write_cancelled = "write held back, cancelled by its program";
inline constexpr const char* drop_write_queue_stopped =
    "write made while the port was down, cancelled by its program";
inline constexpr const char* drop_write_killed = "write of a killed program";
inline constexpr const char* drop_stale_id = "request on a client id voided by a port loss";
inline constexpr const char* drop_not_taken = "sent while the channel was closed";
inline constexpr const char* drop_frame_in_flight = "frame in flight when the channel closed";
inline constexpr const char* drop_session_ended = "session ended before reading it";
inline constexpr const char* drop_too_small = "read too small for its message";
inline constexpr const char* drop_not_bound = "broadcast to a session binding or closing";
inline constexpr const char* drop_in_transition = "unicast while its id changed hands";
inline constexpr const char* drop_no_holder = "unicast to an id no open session held";

verdict check(const history& h, std::size_t max_findings = 20);

}  // namespace stress
