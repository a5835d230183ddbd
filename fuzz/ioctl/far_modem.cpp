#include "ioctl/far_modem.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "smd/far_end.h"

#include "vrax_wire.h"

namespace fuzz::ioctl {

namespace far_end = smd::far_end;
using fuzz::machine::frame;
using fuzz::machine::put16;

namespace {

constexpr std::uint8_t unwritten_fill = 0xCC;

std::uint8_t clean(std::uint8_t b) {
    return b == unwritten_fill ? static_cast<std::uint8_t>(unwritten_fill + 1) : b;
}

std::uint16_t clean16(std::uint16_t v) {
    return static_cast<std::uint16_t>(clean(static_cast<std::uint8_t>(v)) |
                                      clean(static_cast<std::uint8_t>(v >> 8)) << 8);
}

bytes tlv(std::uint8_t type, const bytes& value) {
    bytes t{type, 0, 0};
    put16(t, 1, static_cast<std::uint16_t>(value.size()));
    t.insert(t.end(), value.begin(), value.end());
    return t;
}

bytes result_tlv(bool failed) {
    return tlv(VRAX_TLV_RESULT,
               {static_cast<std::uint8_t>(failed ? VRAX_RESULT_FAILURE : 0), 0,
                static_cast<std::uint8_t>(failed ? VRAX_ERROR_NO_CLIENT_IDS : 0), 0});
}

bytes control_message(std::uint8_t transaction, std::uint16_t message_id, const bytes& tlvs) {
    bytes m{VRAX_MESSAGE_RESPONSE,
            transaction,
            static_cast<std::uint8_t>(message_id),
            static_cast<std::uint8_t>(message_id >> 8),
            0,
            0};
    put16(m, 4, static_cast<std::uint16_t>(tlvs.size()));
    m.insert(m.end(), tlvs.begin(), tlvs.end());
    return m;
}

// One list of the service table: a count, then (service type, first word, second word).
void append_list(bytes& out, const std::vector<std::array<std::uint16_t, 3>>& entries) {
    out.push_back(static_cast<std::uint8_t>(entries.size()));
    for (const auto& e : entries) {
        out.push_back(static_cast<std::uint8_t>(e[0]));
        out.push_back(static_cast<std::uint8_t>(e[1]));
        out.push_back(static_cast<std::uint8_t>(e[1] >> 8));
        out.push_back(static_cast<std::uint8_t>(e[2]));
        out.push_back(static_cast<std::uint8_t>(e[2] >> 8));
    }
}

// Services 0, 1, 2, 3 and 254 with their four version words; service 3 reports its port
// state (word 2 set), so a session's first bind to it posts "port ready".
bytes service_table_tlvs(bool failed, bool missing) {
    bytes out = result_tlv(failed);
    if (missing)
        return out;
    bytes first;
    append_list(
        first,
        {{0, 1, 2}, {1, 0x0101, 0x0102}, {2, 2, 0}, {3, 0x0301, 0x0302}, {254, 0x0501, 0x0502}});
    const bytes primary = tlv(VRAX_TLV_PRIMARY, first);
    out.insert(out.end(), primary.begin(), primary.end());
    const bytes opener = tlv(VRAX_TLV_VALUE, {});
    out.insert(out.end(), opener.begin(), opener.end());
    append_list(out, {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0x0303, 0x0304}, {254, 0x0503, 0x0504}});
    return out;
}

std::optional<request_kind> kind_of(const bytes& f) {
    if (f.size() < VRAX_FRAME_HEADER_SIZE + VRAX_CONTROL_HEADER_SIZE)
        return std::nullopt;
    const std::uint8_t service = f[VRAX_FRAME_SERVICE_TYPE_OFFSET];
    const std::uint8_t* m = f.data() + VRAX_FRAME_HEADER_SIZE;
    if (service == VRAX_SERVICE_CONTROL) {
        if (m[0] != VRAX_MESSAGE_REQUEST)
            return std::nullopt;
        switch (m[2] | m[3] << 8) {
            case VRAX_CONTROL_SERVICE_TABLE_ID:
                return request_kind::service_table;
            case VRAX_CONTROL_CLIENT_ID_ID:
                return request_kind::client_id;
            case VRAX_CONTROL_RELEASE_ID:
                return request_kind::release;
            case VRAX_CONTROL_VALUE_QUERY_ID:
                return request_kind::value_query;
            case VRAX_CONTROL_KIND_SIX_ID:
            case VRAX_CONTROL_KIND_EIGHT_ID:
            case VRAX_CONTROL_KIND_NINE_ID:
            case VRAX_CONTROL_KIND_TEN_ID:
                return request_kind::other_control;
            default:
                return std::nullopt;  // the port-open notice, or a program's own message
        }
    }
    if (service == 2 && f.size() >= VRAX_FRAME_HEADER_SIZE + VRAX_SERVICE_HEADER_SIZE &&
        m[VRAX_SERVICE_MESSAGE_ID_OFFSET] == VRAX_SERVICE_TWO_QUERY_ID)
        return request_kind::service_two;
    return std::nullopt;
}

}  // namespace

void far_modem::reset() {
    std::lock_guard g(lock_);
    for (int i = 0; i < static_cast<int>(request_kind::count); ++i) {
        policy_[i] = policy::at_once;
        style_[i] = answer_style::correct;
    }
    held_.clear();
    tables_.clear();
    granted_.clear();
    recent_ids_.clear();
    values_.clear();
    messages_.clear();
    next_id_ = 0;
    value_ = 0x1234;
}

std::uint8_t far_modem::next_id_locked() {
    do {
        next_id_ = static_cast<std::uint8_t>(next_id_ + 1);
    } while (next_id_ == 0 || next_id_ == VRAX_CLIENT_ID_REFUSED || next_id_ == unwritten_fill);
    return next_id_;
}

std::vector<bytes> far_modem::answers_locked(const request& r, answer_style style,
                                             std::uint16_t value) {
    const bool failed = style == answer_style::error_result;
    const std::uint8_t* tlvs = r.frame.data() + VRAX_FRAME_HEADER_SIZE + VRAX_CONTROL_HEADER_SIZE;
    const std::size_t tlv_bytes =
        r.frame.size() - VRAX_FRAME_HEADER_SIZE - VRAX_CONTROL_HEADER_SIZE;
    std::optional<bytes> message;
    std::uint8_t service = VRAX_SERVICE_CONTROL;
    std::uint8_t client = 0;
    std::uint8_t transaction = r.transaction;
    if (style == answer_style::wrong_id)
        transaction = static_cast<std::uint8_t>(transaction + 1);
    switch (r.kind) {
        case request_kind::service_table:
            message =
                control_message(transaction, r.message_id,
                                service_table_tlvs(failed, style == answer_style::refused ||
                                                               style == answer_style::short_value));
            break;
        case request_kind::client_id: {
            std::uint8_t id = 0;
            if (style == answer_style::refused)
                id = VRAX_CLIENT_ID_REFUSED;
            else if (style != answer_style::short_value) {
                id = next_id_locked();
                granted_.insert(id);
                recent_ids_.push_back(id);
                if (recent_ids_.size() > 8)
                    recent_ids_.erase(recent_ids_.begin());
            }
            const std::uint8_t asked = tlv_bytes > VRAX_TLV_HEADER_SIZE ? tlvs[3] : 1;
            bytes t = result_tlv(failed);
            const bytes grant = tlv(VRAX_TLV_PRIMARY, {asked, id});
            t.insert(t.end(), grant.begin(), grant.end());
            message = control_message(transaction, r.message_id, t);
            break;
        }
        case request_kind::release: {
            bytes t = result_tlv(failed);
            if (tlv_bytes >= 5) {
                const bytes released = tlv(VRAX_TLV_PRIMARY, {tlvs[3], tlvs[4]});
                t.insert(t.end(), released.begin(), released.end());
            }
            message = control_message(transaction, r.message_id, t);
            break;
        }
        case request_kind::value_query: {
            bytes t = result_tlv(failed);
            const std::uint16_t v = clean16(value);
            values_.insert(v);
            // An answer without a whole value gives the driver none to pass on: it reports 0.
            values_.insert(0);
            if (style == answer_style::short_value) {
                const bytes cut = tlv(VRAX_TLV_VALUE, {static_cast<std::uint8_t>(v)});
                t.insert(t.end(), cut.begin(), cut.end());
            } else if (style != answer_style::refused) {
                const bytes whole = tlv(VRAX_TLV_VALUE, {static_cast<std::uint8_t>(v),
                                                         static_cast<std::uint8_t>(v >> 8)});
                t.insert(t.end(), whole.begin(), whole.end());
            }
            message = control_message(transaction, r.message_id, t);
            break;
        }
        case request_kind::other_control:
            message = control_message(transaction, r.message_id, result_tlv(failed));
            break;
        case request_kind::service_two: {
            // A reply on service 2 to the querying client id: the service header (type,
            // 16-bit transaction, message id, length), a result TLV and the reply TLV.
            const std::uint8_t* m = r.frame.data() + VRAX_FRAME_HEADER_SIZE;
            bytes t = tlv(VRAX_TLV_RESULT, {static_cast<std::uint8_t>(failed ? 1 : 0), 0,
                                            static_cast<std::uint8_t>(failed ? 31 : 0), 0});
            if (style != answer_style::refused) {
                bytes reply{0xA1, 0xA2, 0xA3};
                if (style == answer_style::short_value)
                    reply.clear();
                const bytes rt = tlv(VRAX_TLV_REPLY, reply);
                t.insert(t.end(), rt.begin(), rt.end());
            }
            const std::uint8_t low =
                style == answer_style::wrong_id ? static_cast<std::uint8_t>(m[1] + 1) : m[1];
            bytes reply_message{
                VRAX_MESSAGE_RESPONSE, low, m[2], VRAX_SERVICE_TWO_QUERY_ID, 0, 0, 0};
            put16(reply_message, VRAX_SERVICE_LENGTH_OFFSET, static_cast<std::uint16_t>(t.size()));
            reply_message.insert(reply_message.end(), t.begin(), t.end());
            message = std::move(reply_message);
            service = 2;
            client = r.frame[VRAX_FRAME_CLIENT_ID_OFFSET];
            break;
        }
        case request_kind::count:
            break;
    }
    std::vector<bytes> out;
    if (!message)
        return out;
    messages_.insert(*message);
    out.push_back(frame(service, client, *message));
    if (style == answer_style::twice)
        out.push_back(out.front());
    return out;
}

void far_modem::on_frame(const bytes& f) {
    static const bool show = std::getenv("VRAX_FUZZ_SHOW") != nullptr;
    if (show) {
        std::fprintf(stderr, "frame from the driver:");
        for (std::uint8_t b : f)
            std::fprintf(stderr, " %02x", b);
        std::fprintf(stderr, "\n");
    }
    const std::optional<request_kind> kind = kind_of(f);
    if (!kind)
        return;
    std::vector<bytes> answers;
    {
        std::lock_guard g(lock_);
        const int k = static_cast<int>(*kind);
        request r{*kind, f, f[VRAX_FRAME_HEADER_SIZE + VRAX_CONTROL_TRANSACTION_OFFSET],
                  static_cast<std::uint16_t>(f[VRAX_FRAME_HEADER_SIZE + 2] |
                                             f[VRAX_FRAME_HEADER_SIZE + 3] << 8)};
        if (*kind == request_kind::service_table) {
            tables_.push_back(r);
            if (tables_.size() > 8)
                tables_.erase(tables_.begin());
        }
        switch (policy_[k]) {
            case policy::at_once:
                answers = answers_locked(r, style_[k], value_);
                if (*kind == request_kind::service_table && style_[k] == answer_style::correct)
                    tables_.pop_back();
                break;
            case policy::hold:
                held_.push_back(std::move(r));
                if (held_.size() > 32)
                    held_.erase(held_.begin());
                break;
            case policy::never:
                break;
        }
    }
    for (bytes& a : answers) {
        if (show) {
            std::fprintf(stderr, "answer:");
            for (std::uint8_t b : a)
                std::fprintf(stderr, " %02x", b);
            std::fprintf(stderr, "\n");
        }
        (void)far_end::queue_read(0, std::move(a));
    }
}

void far_modem::set_policy(request_kind kind, policy p, answer_style style) {
    std::lock_guard g(lock_);
    policy_[static_cast<int>(kind)] = p;
    style_[static_cast<int>(kind)] = style;
}

bool far_modem::answer_held(std::size_t index, answer_style style, bool keep, std::uint16_t value) {
    std::vector<bytes> answers;
    {
        std::lock_guard g(lock_);
        if (held_.empty())
            return false;
        const std::size_t i = index % held_.size();
        answers = answers_locked(held_[i], style, value);
        if (!keep)
            held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(i));
    }
    for (bytes& a : answers)
        (void)far_end::queue_read(0, std::move(a));
    return true;
}

bool far_modem::answer_newest_table() {
    std::vector<bytes> answers;
    {
        std::lock_guard g(lock_);
        if (tables_.empty())
            return false;
        answers = answers_locked(tables_.back(), answer_style::correct, value_);
        tables_.pop_back();
    }
    for (bytes& a : answers)
        (void)far_end::queue_read(0, std::move(a));
    return true;
}

std::size_t far_modem::held_count() {
    std::lock_guard g(lock_);
    return held_.size();
}

void far_modem::deliver(std::uint8_t service, std::uint8_t client, const bytes& message) {
    {
        std::lock_guard g(lock_);
        messages_.insert(message);
    }
    (void)far_end::queue_read(0, frame(service, client, message));
}

bool far_modem::granted(std::uint8_t id) {
    std::lock_guard g(lock_);
    return granted_.count(id) != 0;
}

bool far_modem::answered_value(std::uint16_t v) {
    std::lock_guard g(lock_);
    return values_.count(v) != 0;
}

bool far_modem::sent_message(const bytes& m) {
    std::lock_guard g(lock_);
    return messages_.count(m) != 0;
}

std::uint8_t far_modem::some_granted(std::size_t index) {
    std::lock_guard g(lock_);
    return recent_ids_.empty() ? 1 : recent_ids_[index % recent_ids_.size()];
}

void far_modem::set_value(std::uint16_t v) {
    std::lock_guard g(lock_);
    value_ = clean16(v);
}

void far_modem::note_value16(std::uint16_t v) {
    std::lock_guard g(lock_);
    values_.insert(v);
}

}  // namespace fuzz::ioctl
