// The modem's state machine: the control service's client-id pools, its answers, the client
// services' responses and the misbehaviour applied to them.
#include "modem/engine.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace modem {
namespace {

std::string hex16(std::uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", v);
    return text;
}

std::string num(unsigned v) {
    return std::to_string(v);
}

bool echoes(std::uint16_t message_id) {
    return message_id >= 0x28 && message_id <= 0x2B;
}

}  // namespace

std::vector<service> config::default_services() {
    std::vector<service> list;
    for (std::uint8_t type = 1; type <= 3; ++type) {
        service s;
        s.type = type;
        s.versions = {static_cast<std::uint16_t>(type), 0, 1, 0};
        list.push_back(std::move(s));
    }
    return list;
}

engine::engine(config c) : config_(std::move(c)) {
    for (const service& s : config_.services) {
        pool_state& p = pools_[s.type];
        p.limit = s.limit;
        std::vector<std::uint8_t> ids = s.pool;
        if (ids.empty()) {
            for (unsigned id = 1; id <= s.limit && id < broadcast_client; ++id)
                ids.push_back(static_cast<std::uint8_t>(id));
        }
        for (std::uint8_t id : ids) {
            if (id != broadcast_client && std::find(p.ids.begin(), p.ids.end(), id) == p.ids.end())
                p.ids.push_back(id);
        }
    }
}

const service* engine::find_service(std::uint8_t type) const {
    for (const service& s : config_.services) {
        if (s.type == type)
            return &s;
    }
    return nullptr;
}

void engine::add_misbehaviour(misbehaviour m) {
    if (m.times > 0)
        rules_.push_back(std::move(m));
}

std::optional<std::size_t> engine::match_rule(const message& request) const {
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        const misbehaviour& r = rules_[i];
        if (r.service_type == request.service_type &&
            (!r.message_id || *r.message_id == request.message_id))
            return i;
    }
    return std::nullopt;
}

misbehaviour engine::consume_rule(std::size_t index) {
    misbehaviour taken = rules_[index];
    if (--rules_[index].times == 0)
        rules_.erase(rules_.begin() + static_cast<std::ptrdiff_t>(index));
    return taken;
}

std::vector<std::uint8_t> engine::granted(std::uint8_t service_type) const {
    auto it = pools_.find(service_type);
    return it == pools_.end() ? std::vector<std::uint8_t>{} : it->second.held;
}

bool engine::has_untaken(std::uint8_t service_type, std::optional<std::uint16_t> message_id) const {
    for (const request_record& r : requests_) {
        if (!r.taken && r.msg && r.msg->service_type == service_type &&
            (!message_id || r.msg->message_id == *message_id))
            return true;
    }
    return false;
}

std::optional<request_record> engine::take(std::uint8_t service_type,
                                           std::optional<std::uint16_t> message_id) {
    for (request_record& r : requests_) {
        if (!r.taken && r.msg && r.msg->service_type == service_type &&
            (!message_id || r.msg->message_id == *message_id)) {
            r.taken = true;
            return r;
        }
    }
    return std::nullopt;
}

message engine::response(const message& request, std::uint8_t type) const {
    message m;
    m.service_type = request.service_type;
    m.client_id = request.client_id;
    m.message_type = type;
    m.transaction_id = request.transaction_id;
    m.message_id = request.message_id;
    m.tlvs.push_back({result_tlv, result_value(result_success, 0)});
    return m;
}

message engine::failure(const message& request, std::uint16_t error_code) const {
    message m = response(request, request.service_type == control_service ? control_response
                                                                          : config_.response_type);
    m.tlvs[0].value = result_value(result_failure, error_code);
    return m;
}

message engine::indication(std::uint8_t service_type, std::uint8_t client_id,
                           std::uint16_t message_id, std::vector<tlv> tlvs) const {
    message m;
    m.service_type = service_type;
    m.client_id = client_id;
    m.message_type = service_type == control_service ? control_indication : config_.indication_type;
    m.message_id = message_id;
    m.tlvs = std::move(tlvs);
    return m;
}

engine::answer engine::allocate(const message& request) {
    const tlv* which = find_tlv(request, 0x01);
    if (which == nullptr || which->value.empty())
        return {failure(request, error_malformed), "client id request without a service type"};
    const std::uint8_t type = which->value[0];
    auto it = pools_.find(type);
    if (it == pools_.end() || type == control_service) {
        return {failure(request, error_unknown_service),
                "client id for service " + num(type) + " refused: no such service"};
    }
    pool_state& p = it->second;
    std::optional<std::uint8_t> id;
    if (p.held.size() < p.limit) {
        for (std::uint8_t candidate : p.ids) {
            if (std::find(p.held.begin(), p.held.end(), candidate) == p.held.end()) {
                id = candidate;
                break;
            }
        }
    }
    if (!id) {
        return {failure(request, error_no_client_ids),
                "client id for service " + num(type) + " refused: pool empty (31)"};
    }
    p.held.push_back(*id);
    message m = response(request, control_response);
    m.tlvs.push_back({0x01, {type, *id}});
    return {m, "client id " + num(*id) + " granted for service " + num(type)};
}

engine::answer engine::release(const message& request) {
    const tlv* which = find_tlv(request, 0x01);
    if (which == nullptr || which->value.size() < 2)
        return {failure(request, error_malformed), "release without service type and client id"};
    const std::uint8_t type = which->value[0];
    const std::uint8_t id = which->value[1];
    auto it = pools_.find(type);
    auto held = it == pools_.end() ? std::vector<std::uint8_t>::iterator{}
                                   : std::find(it->second.held.begin(), it->second.held.end(), id);
    if (it == pools_.end() || held == it->second.held.end()) {
        return {
            failure(request, error_not_held),
            "release of client id " + num(id) + " for service " + num(type) + " refused: not held"};
    }
    it->second.held.erase(held);
    message m = response(request, control_response);
    m.tlvs.push_back({0x01, {type, id}});
    return {m, "client id " + num(id) + " released for service " + num(type)};
}

message engine::service_table(const message& request) const {
    struct entry {
        std::uint8_t type;
        std::array<std::uint16_t, 4> words;
    };
    std::vector<entry> listed;
    if (config_.control_listed)
        listed.push_back({control_service, config_.control_versions});
    for (const service& s : config_.services) {
        if (s.listed && listed.size() < 255)
            listed.push_back({s.type, s.versions});
    }
    bytes first{static_cast<std::uint8_t>(listed.size())};
    bytes second{static_cast<std::uint8_t>(listed.size())};
    for (const entry& e : listed) {
        first.push_back(e.type);
        put_u16(first, e.words[0]);
        put_u16(first, e.words[1]);
        second.push_back(e.type);
        put_u16(second, e.words[2]);
        put_u16(second, e.words[3]);
    }
    message m = response(request, control_response);
    m.tlvs.push_back({0x01, std::move(first)});
    m.tlvs.push_back({0x10, config_.second_list_opening});
    m.trailing = std::move(second);
    return m;
}

message engine::value(const message& request) const {
    const std::uint8_t key = find_tlv(request, 0x01)->value[0];
    auto it = config_.values.find(key);
    bytes v;
    put_u16(v, it == config_.values.end() ? config_.default_value : it->second);
    message m = response(request, control_response);
    m.tlvs.push_back({0x10, std::move(v)});
    return m;
}

engine::answer engine::control_request(const message& request) {
    const std::string id = hex16(request.message_id);
    switch (request.message_id) {
        case msg_client_id:
            return allocate(request);
        case msg_release:
            return release(request);
        case msg_service_table:
            return {service_table(request), "service table sent"};
        case msg_value: {
            const tlv* key = find_tlv(request, 0x01);
            if (key == nullptr || key->value.empty())
                return {failure(request, error_malformed), "value query without a key"};
            return {value(request), "value for key " + num(key->value[0]) + " sent"};
        }
        case msg_port_open: {
            ++notices_;
            std::size_t returned = 0;
            if (config_.notice_returns_ids) {
                for (auto& [type, p] : pools_) {
                    returned += p.held.size();
                    p.held.clear();
                }
            }
            return {std::nullopt, "port-open notice: " + std::to_string(returned) +
                                      " client ids returned to their pools, no answer"};
        }
        default:
            break;
    }
    if (echoes(request.message_id)) {
        message m = response(request, control_response);
        m.tlvs.insert(m.tlvs.end(), request.tlvs.begin(), request.tlvs.end());
        return {m, "control " + id + " answered"};
    }
    return {failure(request, error_unknown_message), "control " + id + " unknown: refused"};
}

engine::answer engine::client_request(const message& request) {
    const std::string what = "service " + num(request.service_type) + " client " +
                             num(request.client_id) + " message " + hex16(request.message_id);
    const service* s = find_service(request.service_type);
    if (s == nullptr)
        return {std::nullopt, what + ": no such service, ignored"};
    if (request.message_type != 0)
        return {std::nullopt, what + ": message type " + num(request.message_type) + " ignored"};
    const std::vector<std::uint8_t> held = granted(request.service_type);
    if (!config_.answer_ungranted &&
        std::find(held.begin(), held.end(), request.client_id) == held.end())
        return {std::nullopt, what + ": client id not granted, ignored"};
    message m = response(request, config_.response_type);
    std::vector<tlv> body = s->responder ? s->responder(request) : request.tlvs;
    m.tlvs.insert(m.tlvs.end(), body.begin(), body.end());
    return {m, what + " answered"};
}

void engine::misbehave(const misbehaviour& rule, message reply, outcome& out) const {
    using k = misbehaviour::kind;
    damage d;
    switch (rule.what) {
        case k::never_answer:
            out.note += "; answer withheld";
            return;
        case k::close_instead: {
            out.note += "; channel closed instead of an answer";
            out.actions.push_back({action::kind::close, 0, {}, "instead of an answer"});
            if (rule.reopen_after_ms)
                out.actions.push_back({action::kind::open, *rule.reopen_after_ms, {}, "re-open"});
            return;
        }
        case k::wrong_transaction:
            reply.transaction_id = static_cast<std::uint16_t>(reply.transaction_id + rule.delta);
            if (reply.service_type == control_service)
                reply.transaction_id &= 0xFF;
            break;
        case k::frame_length:
            d.frame_length_delta = rule.delta;
            break;
        case k::message_length:
            d.message_length_delta = rule.delta;
            break;
        case k::tlv_length:
            d.last_tlv_length_delta = rule.delta;
            break;
        case k::no_result_tlv:
            reply.tlvs.erase(reply.tlvs.begin());
            break;
        case k::short_result_tlv:
            reply.tlvs[0].value.resize(2);
            break;
        case k::no_payload_tlv:
            reply.tlvs.resize(1);
            reply.trailing.clear();
            break;
        case k::short_payload_tlv:
            if (reply.tlvs.size() > 1)
                reply.tlvs[1].value.resize(reply.tlvs[1].value.size() > 1 ? 1 : 0);
            break;
        default:
            break;
    }
    bytes frame = encode(reply);
    if (rule.what == k::truncated) {
        d.truncate_to = rule.keep != 0 ? rule.keep : frame.size() / 2;
    }
    if (d.any())
        frame = encode(reply, d);
    const std::int64_t delay =
        rule.what == k::late ? (rule.delay_ms != 0 ? rule.delay_ms : config_.late_ms) : 0;
    static constexpr const char* names[] = {"never answered", "late",
                                            "twice",          "wrong transaction id",
                                            "error result",   "frame length",
                                            "message length", "TLV length",
                                            "no result TLV",  "short result TLV",
                                            "no payload TLV", "short payload TLV",
                                            "truncated",      "closed instead",
                                            "closed after"};
    static_assert(std::size(names) == static_cast<std::size_t>(k::close_after) + 1);
    const std::string name = names[static_cast<std::size_t>(rule.what)];
    out.note += "; misbehaviour: " + name;
    out.actions.push_back({action::kind::send, delay, frame, name});
    if (rule.what == k::twice)
        out.actions.push_back({action::kind::send, 0, frame, "second copy"});
    if (rule.what == k::close_after) {
        out.actions.push_back({action::kind::close, 0, {}, "after the answer"});
        if (rule.reopen_after_ms)
            out.actions.push_back({action::kind::open, *rule.reopen_after_ms, {}, "re-open"});
    }
}

outcome engine::on_frame(std::span<const std::uint8_t> frame, std::int64_t now_ms) {
    outcome out;
    decoded d = decode(frame);
    request_record record;
    record.time_ms = now_ms;
    record.frame.assign(frame.begin(), frame.end());
    record.msg = d.msg;
    record.problem = d.problem;
    requests_.push_back(record);
    if (config_.request_history != SIZE_MAX && requests_.size() > 2 * config_.request_history + 1) {
        requests_.erase(requests_.begin(),
                        requests_.end() - static_cast<std::ptrdiff_t>(config_.request_history));
    }
    if (!d.msg) {
        out.note = "malformed: " + d.problem + "; no answer";
        return out;
    }
    const message& request = *d.msg;
    if (request.service_type == control_service && request.message_type != modem::control_request) {
        out.note = "control message type " + num(request.message_type) + " ignored";
        return out;
    }

    using k = misbehaviour::kind;
    const std::optional<std::size_t> index = match_rule(request);
    const std::optional<k> kind = index ? std::optional<k>(rules_[*index].what) : std::nullopt;
    answer a;
    if (kind == k::error_result) {
        const misbehaviour rule = consume_rule(*index);
        a = {failure(request, rule.error_code), "refused with error " + num(rule.error_code)};
    } else {
        a = request.service_type == control_service ? control_request(request)
                                                    : client_request(request);
    }
    out.note = a.note;
    if (!a.msg) {
        // Nothing to answer: only a channel close applies; other rules wait for an answer.
        if (kind == k::close_instead || kind == k::close_after) {
            const misbehaviour rule = consume_rule(*index);
            out.note += "; misbehaviour: channel closed";
            out.actions.push_back({action::kind::close, 0, {}, "after " + a.note});
            if (rule.reopen_after_ms)
                out.actions.push_back({action::kind::open, *rule.reopen_after_ms, {}, "re-open"});
        }
        return out;
    }
    if (kind && kind != k::error_result) {
        misbehave(consume_rule(*index), std::move(*a.msg), out);
        return out;
    }
    out.actions.push_back({action::kind::send, 0, encode(*a.msg), "answer"});
    return out;
}

}  // namespace modem
