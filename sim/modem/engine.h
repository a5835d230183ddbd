// What the modem does with a frame the driver wrote, without threads, time or the SMD seam:
// a pure state machine a test can drive on its own. emulator (modem.h) runs it on a far end.
//
// Control service (service type 0; the driver is its client id 0). Every request gets one
// response (message type 1, the request's transaction id, the request's message id) whose
// first TLV is the result TLV, except the port-open notice, which gets none:
//
//   0x22 client id     TLV 0x01 = {service type}. Grants the first free id of the service's
//                      pool while fewer than `limit` are held: result 0 and TLV 0x01 =
//                      {service type, client id}. Pool empty or limit reached: result 1,
//                      error 31 (error_no_client_ids), no TLV 0x01. A service type the modem
//                      does not have: result 1, error_unknown_service.
//   0x23 release       TLV 0x01 = {service type, client id}. A held id goes back to its pool:
//                      result 0 and TLV 0x01 echoed. An id not held: result 1,
//                      error_not_held.
//   0x21 service table TLV 0x01 = {count n, n entries of (service type, w0, w1)}, then TLV
//                      0x10 (value: config::second_list_opening, empty by default) directly
//                      followed by the second list as raw bytes {count n, n entries of
//                      (service type, w2, w3)}; the header's TLV length counts all of it. That
//                      is the layout the driver reads: past TLV 0x01, the byte 0x10, a 16-bit
//                      length it skips, then the count and the entries. A TLV reader sees the
//                      raw list as a malformed TLV after 0x10; the frame decoder marks it so.
//                      Listed: the control service (when control_listed) and the listed
//                      services, in configuration order, at most 255.
//   0x26 value         TLV 0x01 = {key} (TLV 0x10 = {16-bit argument} optional, not used).
//                      Result 0 and TLV 0x10 = {16-bit value}: config::values[key], else
//                      default_value.
//   0x28 0x29 0x2A 0x2B result 0 followed by the request's own TLVs, echoed.
//   0x27 port-open     no answer. The driver sends it on every open of the channel, the
//        notice        first and each re-open after a port loss, and follows it with a
//                      service-table request. A port loss ends every session's hold on its
//                      client id, so the modem forgets every id it granted on the port (they
//                      return to their pools) unless notice_returns_ids is off.
//   anything else      result 1, error_unknown_message.
//   A request whose TLV 0x01 is missing or too short: result 1, error_malformed.
//   A control frame that is not a request (message type 1 or 2) is noted and ignored.
//
// Client services (types 1..254, config::services). A request (message type 0) from a client
// id the modem granted gets a response on the same service type and client id with message
// type `response_type` (2: a delivered message of type 2 releases one unit of the driver's
// write flow control), the request's 16-bit transaction id and message id, the result TLV
// (success) and the service's responder's TLVs (by default the request's TLVs echoed).
// Indications use `indication_type` (4), transaction id 0, to one client id or to 0xFF, the
// broadcast to every client of the service. Requests from ids not granted are noted and get
// no answer unless answer_ungranted is set; other message types are noted and ignored.
//
// A frame that does not decode (bad interface type, a length field that does not match the
// bytes, a cut TLV) is noted as malformed and gets no answer: the modem cannot tell whom to
// answer.
//
// Misbehaviour rules (add_misbehaviour) apply to the next `times` requests they match, one
// rule per request (the oldest matching rule first). The operation itself takes effect
// except under error_result (refused, nothing changes): a lost answer leaves the granted id
// held, as a lost answer would on a real channel.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "modem/wire.h"

namespace modem {

// Control-service message ids.
inline constexpr std::uint16_t msg_service_table = 0x21;
inline constexpr std::uint16_t msg_client_id = 0x22;
inline constexpr std::uint16_t msg_release = 0x23;
inline constexpr std::uint16_t msg_value = 0x26;
inline constexpr std::uint16_t msg_port_open = 0x27;

// Error codes of the result TLV (result 1). 31 is what the driver recognises as "no client
// id left"; the others are this modem's own, all non-zero (error 0 would read as a grant).
inline constexpr std::uint16_t error_no_client_ids = 31;
inline constexpr std::uint16_t error_malformed = 1;
inline constexpr std::uint16_t error_unknown_service = 2;
inline constexpr std::uint16_t error_not_held = 3;
inline constexpr std::uint16_t error_unknown_message = 4;

struct service {
    std::uint8_t type = 1;  // 1..254
    // The four version words the driver stores for the service: w0, w1 travel in the
    // service table's first list, w2, w3 in its second. A non-zero w2 marks the service as
    // ready for a session that binds to it.
    std::array<std::uint16_t, 4> versions{1, 0, 1, 0};
    // Client ids handed out, first free one first; empty: 1..limit. 0xFF (broadcast) and
    // duplicates are never handed out.
    std::vector<std::uint8_t> pool;
    unsigned limit = 8;  // ids held at once
    bool listed = true;  // in the service table
    // TLVs after the result TLV of a response to `request`; empty: the request's TLVs echoed.
    // Called with the modem's lock (the scheduler lock) held: it must not call the emulator.
    std::function<std::vector<tlv>(const message& request)> responder;

    // Service `type` with ids from `pool` (empty: 1..limit), at most `limit` held.
    static service make(std::uint8_t type, std::vector<std::uint8_t> pool = {},
                        unsigned limit = 8) {
        service s;
        s.type = type;
        s.pool = std::move(pool);
        s.limit = limit;
        return s;
    }
};

struct config {
    std::vector<service> services = default_services();
    std::array<std::uint16_t, 4> control_versions{1, 0, 1, 0};
    bool control_listed = true;
    std::map<std::uint8_t, std::uint16_t> values;  // value query answers by key
    std::uint16_t default_value = 0;
    std::uint8_t response_type = 2;
    std::uint8_t indication_type = 4;
    std::int64_t late_ms = 6000;  // a late answer: after the driver's 5 s wait has ended
    bool notice_returns_ids = true;
    bool answer_ungranted = false;
    bytes second_list_opening;  // the value of TLV 0x10 that precedes the second list
    // How many of the newest requests requests() and take() keep; older ones are forgotten
    // (in batches, so a long run does not grow without bound). Unlimited by default.
    std::size_t request_history = SIZE_MAX;
    // Whether the emulator keeps its log (log(), transcript()); a long run turns it off and
    // watches the channel instead (emulator::watch).
    bool keep_log = true;

    // Services 1, 2 and 3 with ids 1..8 each.
    static std::vector<service> default_services();
};

struct misbehaviour {
    enum class kind {
        never_answer,       // the answer is not sent
        late,               // sent after delay_ms (0: config::late_ms)
        twice,              // sent twice, back to back
        wrong_transaction,  // transaction id + delta
        error_result,       // result 1 with error_code; the operation is not performed
        frame_length,       // frame header length field + delta
        message_length,     // control / service header length field + delta
        tlv_length,         // the last TLV's length field + delta
        no_result_tlv,      // the result TLV left out
        short_result_tlv,   // the result TLV's value cut to 2 bytes
        no_payload_tlv,     // only the result TLV (service table: its second list goes too)
        short_payload_tlv,  // the TLV after the result cut to 1 byte (0 if it had 1)
        truncated,          // the frame cut to `keep` bytes (0: half of it)
        close_instead,      // the channel closed from the modem's side, nothing sent
        close_after,        // the answer sent, then the channel closed
    };
    kind what = kind::never_answer;
    std::uint8_t service_type = control_service;
    std::optional<std::uint16_t> message_id;  // any message id when unset
    unsigned times = 1;
    std::int64_t delay_ms = 0;
    std::uint16_t error_code = error_no_client_ids;
    int delta = 1;
    std::size_t keep = 0;
    std::optional<std::int64_t> reopen_after_ms;  // close_*: the modem re-opens its end later

    // A rule of `what` for the next request of `message_id` (any when unset) on
    // `service_type`; set the other fields after.
    static misbehaviour on(kind what, std::optional<std::uint16_t> message_id = std::nullopt,
                           std::uint8_t service_type = control_service) {
        misbehaviour m;
        m.what = what;
        m.message_id = message_id;
        m.service_type = service_type;
        return m;
    }
};

// Something the modem does on the channel, `delay_ms` after the frame that caused it.
struct action {
    enum class kind { send, close, open };
    kind what = kind::send;
    std::int64_t delay_ms = 0;
    bytes frame;       // send
    std::string note;  // why, for the log ("late answer", "second copy", ...)
};

struct request_record {
    std::int64_t time_ms = 0;
    bytes frame;
    std::optional<message> msg;  // unset when the frame does not decode
    std::string problem;
    bool taken = false;  // returned by take() already
};

struct outcome {
    std::string note;  // what the modem made of the frame, one phrase
    std::vector<action> actions;
};

class engine {
  public:
    explicit engine(config c = {});

    const config& settings() const { return config_; }

    // A frame the driver wrote, at `now_ms`: the modem's state changes and what it sends.
    outcome on_frame(std::span<const std::uint8_t> frame, std::int64_t now_ms = 0);

    void add_misbehaviour(misbehaviour m);
    void clear_misbehaviour() { rules_.clear(); }
    std::size_t misbehaviour_pending() const { return rules_.size(); }

    // An indication of `service_type` for `client_id` (broadcast_client: every client).
    message indication(std::uint8_t service_type, std::uint8_t client_id, std::uint16_t message_id,
                       std::vector<tlv> tlvs = {}) const;

    // Ids held per service type, in the order granted.
    std::vector<std::uint8_t> granted(std::uint8_t service_type) const;
    unsigned notices() const { return notices_; }

    const std::vector<request_record>& requests() const { return requests_; }
    // The oldest request not taken yet of `service_type` (and `message_id` when set); it is
    // marked taken. Frames that do not decode never match.
    std::optional<request_record> take(std::uint8_t service_type,
                                       std::optional<std::uint16_t> message_id);
    bool has_untaken(std::uint8_t service_type, std::optional<std::uint16_t> message_id) const;

  private:
    struct pool_state {
        std::vector<std::uint8_t> ids;   // the pool, in order
        std::vector<std::uint8_t> held;  // granted, in order
        unsigned limit = 0;
    };
    struct answer {
        std::optional<message> msg;
        std::string note;
    };

    answer control_request(const message& request);
    answer client_request(const message& request);
    answer allocate(const message& request);
    answer release(const message& request);
    message service_table(const message& request) const;
    message value(const message& request) const;
    message response(const message& request, std::uint8_t type) const;
    message failure(const message& request, std::uint16_t error_code) const;
    std::optional<std::size_t> match_rule(const message& request) const;
    misbehaviour consume_rule(std::size_t index);
    void misbehave(const misbehaviour& rule, message answer, outcome& out) const;
    const service* find_service(std::uint8_t type) const;

    config config_;
    std::map<std::uint8_t, pool_state> pools_;
    std::vector<misbehaviour> rules_;
    std::vector<request_record> requests_;
    unsigned notices_ = 0;
};

}  // namespace modem
