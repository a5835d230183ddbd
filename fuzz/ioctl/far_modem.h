// The modem at port 0's far end, as the I/O-control harness scripts it. It sees every frame
// the driver writes (on the far end's hook thread) and answers the driver's control requests
// and service-2 queries according to a policy per kind of request: answer at once (correctly
// or in one of the ways a modem gets it wrong), hold the request for the script to answer
// later, or never answer. It remembers what it told the driver (client ids granted, values
// answered, service messages sent), so that the harness can tell whether what a control
// returned came from the modem or from nowhere.
//
// Nothing it sends carries the byte 0xCC in a place the driver copies to a program's output
// (granted ids, values, version words): that is the fill of a system buffer the driver has
// not written, which the harness looks for in outputs.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <vector>

#include "support/driver_machine.h"

namespace fuzz::ioctl {

using fuzz::machine::bytes;

// The kinds of request the modem tells apart.
enum class request_kind : std::uint8_t {
    service_table,
    client_id,
    release,
    value_query,
    service_two,
    other_control,  // the control-request kinds 6 to 10 a program submitted
    count,
};

// What the modem does with a request.
enum class policy : std::uint8_t { at_once, hold, never };

// How an answer is given. `correct` is what a working modem sends; the others are the ways
// an answer goes wrong.
enum class answer_style : std::uint8_t {
    correct,
    twice,         // the same answer sent two times
    wrong_id,      // under another transaction id
    error_result,  // the result TLV reports failure (error 31)
    refused,       // the grant is 0xFF, the value or the table is missing
    short_value,   // the value TLV shorter than its content needs (a grant of 0 for ids)
    count,
};

class far_modem {
  public:
    // Forgets everything (a new machine) and sets every policy to answer at once, correctly.
    void reset();
    // The answerer for the wire (runs on the far end's hook thread).
    void on_frame(const bytes& frame);

    void set_policy(request_kind kind, policy p, answer_style style);
    // Answers a held request (index taken modulo the number held) in `style`; `keep` leaves it
    // held, for a later answer of the same request. False when none is held.
    bool answer_held(std::size_t index, answer_style style, bool keep, std::uint16_t value);
    // Answers, correctly, the newest service-table request seen and not answered correctly.
    // False when there is none.
    bool answer_newest_table();
    std::size_t held_count();

    // A message for a session: `service` and `client` in the frame, the message as given.
    void deliver(std::uint8_t service, std::uint8_t client, const bytes& message);

    // What the driver may have been told. Read by the harness thread.
    bool granted(std::uint8_t id);
    bool answered_value(std::uint16_t v);
    bool sent_message(const bytes& m);
    // A client id to address a message to: one granted lately (index modulo their number),
    // or 1 when none was.
    std::uint8_t some_granted(std::size_t index);
    // The value the next value answer carries; 0xCC bytes are changed to 0xCD.
    void set_value(std::uint16_t v);
    void note_value16(std::uint16_t v);

  private:
    struct request {
        request_kind kind;
        bytes frame;
        std::uint8_t transaction;
        std::uint16_t message_id;
    };
    // The answer frames for a request; the caller holds lock_.
    std::vector<bytes> answers_locked(const request& r, answer_style style, std::uint16_t value);
    std::uint8_t next_id_locked();

    std::mutex lock_;
    policy policy_[static_cast<int>(request_kind::count)]{};
    answer_style style_[static_cast<int>(request_kind::count)]{};
    std::vector<request> held_;
    std::vector<request> tables_;  // service-table requests not answered correctly, oldest first
    std::set<std::uint8_t> granted_;
    std::vector<std::uint8_t> recent_ids_;
    std::set<std::uint16_t> values_;
    std::set<bytes> messages_;
    std::uint8_t next_id_ = 0;
    std::uint16_t value_ = 0x1234;
};

}  // namespace fuzz::ioctl
