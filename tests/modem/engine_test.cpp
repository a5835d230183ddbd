// The modem's engine on its own (no driver, no channel): the codec against hand-written
// bytes, the client-id pools and their refusal, release, the service table read the way the
// driver reads it, the value query and the other control answers, the port-open notice,
// client services, and every misbehaviour rule.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "modem/engine.h"
#include "modem/wire.h"

namespace {

using namespace modem;
using kind = misbehaviour::kind;

bytes control(std::uint8_t txn, std::uint16_t msg_id, std::vector<tlv> tlvs = {}) {
    message m;
    m.message_type = control_request;
    m.transaction_id = txn;
    m.message_id = msg_id;
    m.tlvs = std::move(tlvs);
    return encode(m);
}

bytes allocation(std::uint8_t txn, std::uint8_t service_type) {
    return control(txn, msg_client_id, {{0x01, {service_type}}});
}

bytes release_of(std::uint8_t txn, std::uint8_t service_type, std::uint8_t id) {
    return control(txn, msg_release, {{0x01, {service_type, id}}});
}

// The one frame an outcome sends at once.
message answer_of(const outcome& out) {
    EXPECT_EQ(out.actions.size(), 1u) << out.note;
    if (out.actions.empty())
        return {};
    EXPECT_EQ(out.actions[0].what, action::kind::send);
    EXPECT_EQ(out.actions[0].delay_ms, 0);
    decoded d = decode(out.actions[0].frame);
    EXPECT_TRUE(d.msg.has_value()) << d.problem;
    return d.msg.value_or(message{});
}

std::uint16_t result_of(const message& m) {
    EXPECT_FALSE(m.tlvs.empty());
    return m.tlvs.empty() ? 0xFFFF : get_u16(m.tlvs[0].value, 0);
}

std::uint16_t error_of(const message& m) {
    return m.tlvs.empty() ? 0xFFFF : get_u16(m.tlvs[0].value, 2);
}

// ---- Codec ------------------------------------------------------------------------------------

TEST(ModemWire, EncodesBothHeaderKindsByteForByte) {
    message grant;
    grant.message_type = control_response;
    grant.transaction_id = 5;
    grant.message_id = 0x22;
    grant.tlvs = {{0x02, {0, 0, 0, 0}}, {0x01, {3, 7}}};
    EXPECT_EQ(encode(grant), (bytes{0x01, 23, 0, 0, 0, 0, 0x01, 0x05, 0x22, 0x00, 12, 0,
                                    0x02, 4,  0, 0, 0, 0, 0,    0x01, 2,    0,    3,  7}));

    message ind;
    ind.service_type = 5;
    ind.client_id = 0xFF;
    ind.message_type = 4;
    ind.transaction_id = 0x1234;
    ind.message_id = 0x0102;
    EXPECT_EQ(encode(ind), (bytes{0x01, 12, 0, 0, 5, 0xFF, 4, 0x34, 0x12, 0x02, 0x01, 0, 0}));
}

TEST(ModemWire, DecodeRefusesWhatTheDriverWouldNot) {
    EXPECT_FALSE(decode(bytes{0x01, 4, 0, 0, 0}).msg);        // shorter than a header
    EXPECT_FALSE(decode(bytes{0x02, 5, 0, 0, 0, 0}).msg);     // interface type
    EXPECT_FALSE(decode(bytes{0x01, 5, 0, 0, 0xFF, 0}).msg);  // service type 255
    EXPECT_FALSE(decode(bytes{0x01, 10, 0, 0, 0, 0, 0, 1, 0x27, 0, 0}).msg);  // len one over
    EXPECT_FALSE(decode(bytes{0x01, 8, 0, 0, 0, 0, 0, 1, 0x27}).msg);         // control header cut
    EXPECT_FALSE(decode(bytes{0x01, 13, 0, 0, 0, 0, 0, 1, 0x21, 0, 2, 0, 0x01, 0}).msg);
    // The port-open notice exactly as the driver writes it.
    decoded notice = decode(bytes{0x01, 11, 0, 0, 0, 0, 0x00, 1, 0x27, 0x00, 0x00, 0x00});
    ASSERT_TRUE(notice.msg.has_value()) << notice.problem;
    EXPECT_EQ(notice.msg->message_id, msg_port_open);
    EXPECT_EQ(notice.msg->transaction_id, 1);
}

// ---- Client ids --------------------------------------------------------------------------------

TEST(ModemEngine, GrantsFromThePoolUpToTheLimitThenRefusesWith31) {
    config c;
    c.services = {service::make(7, {40, 41, 42}, 2)};
    engine e(c);

    message a = answer_of(e.on_frame(allocation(1, 7)));
    EXPECT_EQ(a.message_type, control_response);
    EXPECT_EQ(a.transaction_id, 1);
    EXPECT_EQ(a.message_id, msg_client_id);
    EXPECT_EQ(result_of(a), result_success);
    ASSERT_EQ(a.tlvs.size(), 2u);
    EXPECT_EQ(a.tlvs[1], (tlv{0x01, {7, 40}}));
    EXPECT_EQ(answer_of(e.on_frame(allocation(2, 7))).tlvs[1], (tlv{0x01, {7, 41}}));

    // The limit (2) is reached before the pool (3) is empty.
    message refused = answer_of(e.on_frame(allocation(3, 7)));
    EXPECT_EQ(result_of(refused), result_failure);
    EXPECT_EQ(error_of(refused), error_no_client_ids);
    EXPECT_EQ(refused.tlvs.size(), 1u);  // no TLV 0x01 on a refusal
    EXPECT_EQ(refused.transaction_id, 3);
    EXPECT_EQ(e.granted(7), (std::vector<std::uint8_t>{40, 41}));

    // A release makes room; the first free id of the pool is handed out again.
    message r = answer_of(e.on_frame(release_of(4, 7, 40)));
    EXPECT_EQ(result_of(r), result_success);
    EXPECT_EQ(r.tlvs[1], (tlv{0x01, {7, 40}}));
    EXPECT_EQ(answer_of(e.on_frame(allocation(5, 7))).tlvs[1], (tlv{0x01, {7, 40}}));
    EXPECT_EQ(e.granted(7), (std::vector<std::uint8_t>{41, 40}));
}

TEST(ModemEngine, AnEmptyPoolRefusesAndTheBroadcastIdIsNeverGranted) {
    config c;
    c.services = {service::make(1, {0xFF, 9, 9}, 5)};
    engine e(c);
    EXPECT_EQ(answer_of(e.on_frame(allocation(1, 1))).tlvs[1], (tlv{0x01, {1, 9}}));
    message refused = answer_of(e.on_frame(allocation(2, 1)));
    EXPECT_EQ(error_of(refused), error_no_client_ids);
    EXPECT_EQ(e.granted(1), std::vector<std::uint8_t>{9});
}

TEST(ModemEngine, RefusesUnknownServicesReleasesNotHeldAndUnreadableRequests) {
    engine e;
    EXPECT_EQ(error_of(answer_of(e.on_frame(allocation(1, 99)))), error_unknown_service);
    EXPECT_EQ(error_of(answer_of(e.on_frame(allocation(2, 0)))), error_unknown_service);
    message r = answer_of(e.on_frame(release_of(3, 1, 5)));
    EXPECT_EQ(result_of(r), result_failure);
    EXPECT_EQ(error_of(r), error_not_held);
    EXPECT_EQ(r.tlvs.size(), 1u);
    EXPECT_EQ(error_of(answer_of(e.on_frame(control(4, msg_client_id)))), error_malformed);
    EXPECT_EQ(error_of(answer_of(e.on_frame(control(5, msg_release, {{0x01, {1}}})))),
              error_malformed);
    EXPECT_EQ(error_of(answer_of(e.on_frame(control(6, msg_value)))), error_malformed);
    EXPECT_TRUE(e.granted(1).empty());
}

// ---- Service table
// -------------------------------------------------------------------------------

struct table_entry {
    std::uint8_t type;
    std::uint16_t w0, w1, w2, w3;
    bool operator==(const table_entry&) const = default;
};

// Reads a service-table response the way the driver does: TLV 0x01 with the count and the
// 5-byte entries; then, when more than 5n + 1 bytes follow it, the byte 0x10, a 16-bit length
// that is skipped, the second count and its entries. Every read is checked against the end.
std::optional<std::vector<table_entry>> read_like_the_driver(const bytes& frame) {
    if (frame.size() < 12 + 3)
        return std::nullopt;
    const std::size_t tlv_length = get_u16(frame, 10);
    if (tlv_length != frame.size() - 12)
        return std::nullopt;
    std::size_t at = 12;
    at += 3 + get_u16(frame, at + 1);  // the result TLV
    if (at + 3 > frame.size() || frame[at] != 0x01)
        return std::nullopt;
    const std::size_t first_length = get_u16(frame, at + 1);
    at += 3;
    if (at + first_length > frame.size() || first_length < 1)
        return std::nullopt;
    const std::size_t n = frame[at];
    if (first_length != 1 + 5 * n)
        return std::nullopt;
    std::vector<table_entry> out;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t e = at + 1 + 5 * i;
        out.push_back({frame[e], get_u16(frame, e + 1), get_u16(frame, e + 3), 0, 0});
    }
    at += first_length;
    if (frame.size() - at <= 5 * n + 1)
        return out;  // no second list
    if (frame[at] != 0x10 || at + 3 > frame.size())
        return std::nullopt;
    at += 3 + get_u16(frame, at + 1);
    if (at + 1 > frame.size())
        return std::nullopt;
    const std::size_t m = frame[at];
    if (m != n || at + 1 + 5 * m != frame.size())
        return std::nullopt;
    for (std::size_t i = 0; i < m; ++i) {
        const std::size_t e = at + 1 + 5 * i;
        if (frame[e] != out[i].type)
            return std::nullopt;
        out[i].w2 = get_u16(frame, e + 1);
        out[i].w3 = get_u16(frame, e + 3);
    }
    return out;
}

TEST(ModemEngine, ServiceTableCarriesBothListsTheWayTheDriverReadsThem) {
    config c;
    c.control_versions = {1, 2, 3, 4};
    c.services = {service::make(5), service::make(9), service::make(11)};
    c.services[0].versions = {0x105, 6, 7, 8};
    c.services[1].versions = {9, 10, 0, 12};
    c.services[2].listed = false;
    c.second_list_opening = {0xAA, 0xBB};  // skipped by the driver, whatever it holds
    engine e(c);
    outcome out = e.on_frame(control(4, msg_service_table));
    ASSERT_EQ(out.actions.size(), 1u);
    auto entries = read_like_the_driver(out.actions[0].frame);
    ASSERT_TRUE(entries.has_value());
    EXPECT_EQ(*entries,
              (std::vector<table_entry>{{0, 1, 2, 3, 4}, {5, 0x105, 6, 7, 8}, {9, 9, 10, 0, 12}}));
    EXPECT_EQ(out.actions[0].frame[7], 4);  // the request's transaction id

    c.control_listed = false;
    c.services = {};
    c.second_list_opening = {};
    engine empty(c);
    out = empty.on_frame(control(1, msg_service_table));
    ASSERT_EQ(out.actions.size(), 1u);
    entries = read_like_the_driver(out.actions[0].frame);
    ASSERT_TRUE(entries.has_value());
    EXPECT_TRUE(entries->empty());
}

// ---- Other control requests
// ----------------------------------------------------------------------

TEST(ModemEngine, ValueQueryEchoedControlsAndUnknownIds) {
    config c;
    c.values = {{3, 0xBEEF}};
    c.default_value = 7;
    engine e(c);
    message v = answer_of(e.on_frame(control(1, msg_value, {{0x01, {3}}, {0x10, {1, 0}}})));
    ASSERT_EQ(v.tlvs.size(), 2u);
    EXPECT_EQ(v.tlvs[1], (tlv{0x10, {0xEF, 0xBE}}));
    v = answer_of(e.on_frame(control(2, msg_value, {{0x01, {4}}})));
    EXPECT_EQ(v.tlvs[1], (tlv{0x10, {7, 0}}));

    for (std::uint16_t id : {0x28, 0x29, 0x2A, 0x2B}) {
        std::vector<tlv> sent = {{0x01, {1, 2, 3, 4, 5}}, {0x11, {6, 7}}};
        message a = answer_of(e.on_frame(control(9, id, sent)));
        EXPECT_EQ(a.message_id, id);
        EXPECT_EQ(result_of(a), result_success);
        EXPECT_EQ(std::vector<tlv>(a.tlvs.begin() + 1, a.tlvs.end()), sent) << id;
    }
    EXPECT_EQ(error_of(answer_of(e.on_frame(control(10, 0x0A)))), error_unknown_message);
}

TEST(ModemEngine, PortOpenNoticeIsNotAnsweredAndReturnsEveryId) {
    engine e;
    answer_of(e.on_frame(allocation(1, 1)));
    answer_of(e.on_frame(allocation(2, 2)));
    outcome out = e.on_frame(control(3, msg_port_open));
    EXPECT_TRUE(out.actions.empty());
    EXPECT_EQ(e.notices(), 1u);
    EXPECT_NE(out.note.find("2 client ids returned"), std::string::npos) << out.note;
    EXPECT_TRUE(e.granted(1).empty());
    EXPECT_TRUE(e.granted(2).empty());

    config keep;
    keep.notice_returns_ids = false;
    engine k(keep);
    answer_of(k.on_frame(allocation(1, 1)));
    EXPECT_TRUE(k.on_frame(control(2, msg_port_open)).actions.empty());
    EXPECT_EQ(k.granted(1), std::vector<std::uint8_t>{1});
}

TEST(ModemEngine, ControlFramesThatAreNotRequestsAndMalformedFramesGetNoAnswer) {
    engine e;
    message response;
    response.message_type = control_response;
    response.message_id = msg_client_id;
    response.tlvs = {{0x01, {1}}};
    EXPECT_TRUE(e.on_frame(encode(response)).actions.empty());
    damage d;
    d.frame_length_delta = 1;
    outcome bad = e.on_frame(encode(decode(allocation(1, 1)).msg.value(), d));
    EXPECT_TRUE(bad.actions.empty());
    EXPECT_NE(bad.note.find("malformed"), std::string::npos);
    EXPECT_TRUE(e.granted(1).empty());
    ASSERT_EQ(e.requests().size(), 2u);
    EXPECT_FALSE(e.requests()[1].msg.has_value());
    // Every frame the driver wrote can be waited for, but one that does not decode never
    // matches.
    auto taken = e.take(control_service, msg_client_id);
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->msg->message_type, control_response);
    EXPECT_FALSE(e.has_untaken(control_service, msg_client_id));
}

// ---- Client services
// ------------------------------------------------------------------------------

message service_request(std::uint8_t type, std::uint8_t client, std::uint16_t txn,
                        std::uint16_t msg_id, std::vector<tlv> tlvs = {}) {
    message m;
    m.service_type = type;
    m.client_id = client;
    m.message_type = 0;
    m.transaction_id = txn;
    m.message_id = msg_id;
    m.tlvs = std::move(tlvs);
    return m;
}

TEST(ModemEngine, ClientServicesAnswerGrantedIdsWithTypeTwoAndTheirTransactionId) {
    config c;
    c.services = {service::make(1), service::make(2)};
    c.services[1].responder = [](const message& r) {
        return std::vector<tlv>{{0x20, {static_cast<std::uint8_t>(r.message_id & 0xFF)}}};
    };
    engine e(c);
    answer_of(e.on_frame(allocation(1, 1)));
    answer_of(e.on_frame(allocation(2, 2)));

    message a =
        answer_of(e.on_frame(encode(service_request(1, 1, 0xABCD, 0x0042, {{0x05, {1, 2, 3}}}))));
    EXPECT_EQ(a.service_type, 1);
    EXPECT_EQ(a.client_id, 1);
    EXPECT_EQ(a.message_type, 2);
    EXPECT_EQ(a.transaction_id, 0xABCD);
    EXPECT_EQ(a.message_id, 0x0042);
    ASSERT_EQ(a.tlvs.size(), 2u);
    EXPECT_EQ(result_of(a), result_success);
    EXPECT_EQ(a.tlvs[1], (tlv{0x05, {1, 2, 3}}));

    message b = answer_of(e.on_frame(encode(service_request(2, 1, 3, 0x0025))));
    ASSERT_EQ(b.tlvs.size(), 2u);
    EXPECT_EQ(b.tlvs[1], (tlv{0x20, {0x25}}));

    // Not granted, an unknown service, or not a request: noted, not answered.
    EXPECT_TRUE(e.on_frame(encode(service_request(1, 2, 1, 1))).actions.empty());
    EXPECT_TRUE(e.on_frame(encode(service_request(77, 1, 1, 1))).actions.empty());
    message not_request = service_request(1, 1, 1, 1);
    not_request.message_type = 4;
    EXPECT_TRUE(e.on_frame(encode(not_request)).actions.empty());

    c.answer_ungranted = true;
    engine lenient(c);
    EXPECT_EQ(answer_of(lenient.on_frame(encode(service_request(1, 6, 1, 1)))).client_id, 6);
}

// ---- Misbehaviour
// ---------------------------------------------------------------------------------

TEST(ModemMisbehaviour, TimingRulesWithholdDelayOrRepeatTheAnswer) {
    engine e;
    e.add_misbehaviour(misbehaviour::on(kind::never_answer, msg_client_id));
    outcome out = e.on_frame(allocation(1, 1));
    EXPECT_TRUE(out.actions.empty());
    EXPECT_EQ(e.granted(1), std::vector<std::uint8_t>{1});  // the id was granted all the same

    e.add_misbehaviour(misbehaviour::on(kind::late, msg_client_id));
    out = e.on_frame(allocation(2, 1));
    ASSERT_EQ(out.actions.size(), 1u);
    EXPECT_EQ(out.actions[0].delay_ms, 6000);

    misbehaviour late = misbehaviour::on(kind::late, msg_client_id);
    late.delay_ms = 5100;
    e.add_misbehaviour(late);
    EXPECT_EQ(e.on_frame(allocation(3, 1)).actions.at(0).delay_ms, 5100);

    e.add_misbehaviour(misbehaviour::on(kind::twice, msg_client_id));
    out = e.on_frame(allocation(4, 1));
    ASSERT_EQ(out.actions.size(), 2u);
    EXPECT_EQ(out.actions[0].frame, out.actions[1].frame);
    EXPECT_EQ(out.actions[1].delay_ms, 0);

    // Used up: the next answer is ordinary.
    EXPECT_EQ(answer_of(e.on_frame(allocation(5, 1))).transaction_id, 5);
}

TEST(ModemMisbehaviour, RulesMatchTheirServiceAndMessageAndCount) {
    engine e;
    misbehaviour twice = misbehaviour::on(kind::never_answer, std::nullopt, 1);
    twice.times = 2;
    e.add_misbehaviour(twice);
    e.add_misbehaviour(misbehaviour::on(kind::never_answer, msg_release));
    // A port-open notice has no answer to withhold: the release rule waits for a release.
    EXPECT_TRUE(e.on_frame(control(2, msg_port_open)).actions.empty());
    EXPECT_EQ(e.misbehaviour_pending(), 2u);
    answer_of(e.on_frame(allocation(3, 1)));  // control service, not a release: answered
    answer_of(e.on_frame(allocation(5, 1)));
    EXPECT_TRUE(e.on_frame(release_of(4, 1, 2)).actions.empty());
    EXPECT_EQ(e.granted(1), std::vector<std::uint8_t>{1});  // released all the same
    EXPECT_TRUE(e.on_frame(encode(service_request(1, 1, 1, 1))).actions.empty());
    EXPECT_TRUE(e.on_frame(encode(service_request(1, 1, 2, 1))).actions.empty());
    EXPECT_EQ(e.misbehaviour_pending(), 0u);
    EXPECT_EQ(answer_of(e.on_frame(encode(service_request(1, 1, 3, 1)))).transaction_id, 3);
}

TEST(ModemMisbehaviour, WrongTransactionIdAndErrorResult) {
    engine e;
    e.add_misbehaviour(misbehaviour::on(kind::wrong_transaction, msg_client_id));
    EXPECT_EQ(answer_of(e.on_frame(allocation(255, 1))).transaction_id, 0);  // 8 bits wrap

    misbehaviour error = misbehaviour::on(kind::error_result, msg_client_id);
    error.error_code = 0x0042;
    e.add_misbehaviour(error);
    message refused = answer_of(e.on_frame(allocation(2, 1)));
    EXPECT_EQ(result_of(refused), result_failure);
    EXPECT_EQ(error_of(refused), 0x0042);
    EXPECT_EQ(refused.tlvs.size(), 1u);
    EXPECT_EQ(e.granted(1), std::vector<std::uint8_t>{1});  // only the first was granted

    e.add_misbehaviour(misbehaviour::on(kind::error_result, msg_release));
    EXPECT_EQ(result_of(answer_of(e.on_frame(release_of(3, 1, 1)))), result_failure);
    EXPECT_EQ(e.granted(1), std::vector<std::uint8_t>{1});  // not released
}

TEST(ModemMisbehaviour, MalformedAnswers) {
    struct malformed_case {
        misbehaviour rule;
        std::string problem;  // what the strict reader says, empty: it still decodes
        std::size_t tlvs = 0;
    };
    auto with = [](kind k, int delta = 1, std::size_t keep = 0) {
        misbehaviour m = misbehaviour::on(k);
        m.delta = delta;
        m.keep = keep;
        return m;
    };
    const std::vector<malformed_case> cases = {
        {with(kind::frame_length, -1), "frame length field"},
        {with(kind::message_length), "TLV length field"},
        {with(kind::tlv_length), "wants 3 bytes, 2 left"},
        {with(kind::truncated, 1, 10), "frame length field 23 for 10 bytes"},
        {with(kind::truncated), "frame length field 23 for 12 bytes"},
        {with(kind::no_result_tlv), "", 1},
        {with(kind::short_result_tlv), "", 2},
        {with(kind::no_payload_tlv), "", 1},
        {with(kind::short_payload_tlv), "", 2},
    };
    for (const malformed_case& c : cases) {
        engine e;
        e.add_misbehaviour(c.rule);
        outcome out = e.on_frame(allocation(1, 1));
        ASSERT_EQ(out.actions.size(), 1u) << out.note;
        const bytes good = encode(answer_of(engine().on_frame(allocation(1, 1))));
        decoded d = decode(out.actions[0].frame);
        if (!c.problem.empty()) {
            EXPECT_FALSE(d.msg.has_value()) << out.note;
            EXPECT_NE(d.problem.find(c.problem), std::string::npos)
                << out.note << ": " << d.problem;
            if (c.rule.what == kind::truncated) {
                const std::size_t keep = c.rule.keep != 0 ? c.rule.keep : good.size() / 2;
                EXPECT_EQ(out.actions[0].frame, bytes(good.begin(), good.begin() + keep));
            }
            continue;
        }
        ASSERT_TRUE(d.msg.has_value()) << out.note << ": " << d.problem;
        ASSERT_EQ(d.msg->tlvs.size(), c.tlvs) << out.note;
        switch (c.rule.what) {
            case kind::no_result_tlv:
                EXPECT_EQ(d.msg->tlvs[0], (tlv{0x01, {1, 1}}));
                break;
            case kind::short_result_tlv:
                EXPECT_EQ(d.msg->tlvs[0], (tlv{0x02, {0, 0}}));
                break;
            case kind::no_payload_tlv:
                EXPECT_EQ(d.msg->tlvs[0].type, result_tlv);
                break;
            default:
                EXPECT_EQ(d.msg->tlvs[1], (tlv{0x01, {1}}));
                break;
        }
    }
}

TEST(ModemMisbehaviour, TheServiceTableLosesItsSecondListWithItsPayload) {
    engine e;
    e.add_misbehaviour(misbehaviour::on(kind::no_payload_tlv, msg_service_table));
    outcome out = e.on_frame(control(1, msg_service_table));
    decoded d = decode(out.actions.at(0).frame);
    ASSERT_TRUE(d.msg.has_value()) << d.problem;
    EXPECT_EQ(d.msg->tlvs.size(), 1u);
}

TEST(ModemMisbehaviour, ChannelClosesInsteadOfOrAfterTheAnswer) {
    engine e;
    misbehaviour close = misbehaviour::on(kind::close_instead, msg_client_id);
    close.reopen_after_ms = 700;
    e.add_misbehaviour(close);
    outcome out = e.on_frame(allocation(1, 1));
    ASSERT_EQ(out.actions.size(), 2u);
    EXPECT_EQ(out.actions[0].what, action::kind::close);
    EXPECT_EQ(out.actions[1].what, action::kind::open);
    EXPECT_EQ(out.actions[1].delay_ms, 700);

    e.add_misbehaviour(misbehaviour::on(kind::close_after, msg_client_id));
    out = e.on_frame(allocation(2, 1));
    ASSERT_EQ(out.actions.size(), 2u);
    EXPECT_EQ(out.actions[0].what, action::kind::send);
    EXPECT_EQ(out.actions[1].what, action::kind::close);

    // A close also applies to the notice, which has no answer.
    e.add_misbehaviour(misbehaviour::on(kind::close_after, msg_port_open));
    out = e.on_frame(control(3, msg_port_open));
    ASSERT_EQ(out.actions.size(), 1u);
    EXPECT_EQ(out.actions[0].what, action::kind::close);
}

}  // namespace
