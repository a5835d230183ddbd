// Control-service responses through the real demultiplexer, answering requests the real
// request builder sent: what each answer registers, releases and signals, what is dropped
// without touching any state, and that no read goes past a TLV or the message (every frame
// is an exact-size buffer, so an over-read shows under the address sanitizer).
#include "control_test_support.h"

#include <atomic>
#include <memory>

#include "core/scheduler.h"

namespace {

using namespace control_test;

constexpr ULONG key = 0x10;

void answer(ULONG port, const bytes& message) {
    bytes f = control_frame(message);
    DemuxFrame(port, f.data(), static_cast<ULONG>(f.size()));
}

bytes response(std::uint8_t id, std::uint16_t message_id, const bytes& tlvs) {
    return control_message(VRAX_MESSAGE_RESPONSE, id, message_id, tlvs);
}

std::size_t client_records() {
    return platform::kernel::pool::outstanding(VRAX_TAG_CLIENT_RECORD).count;
}

// Whether a frame for (service, client id) on the port reaches the session with `owner`.
bool routed_to(ULONG port, std::uint8_t service, std::uint8_t client, ULONG owner) {
    control_doubles::clear_calls();
    bytes f{0x01, 12, 0, 0, service, client, 0x02, 0x01, 0x00, 0x30, 0x00, 0x00, 0x00};
    DemuxFrame(port, f.data(), static_cast<ULONG>(f.size()));
    const auto delivered = calls_of(callee::deliver);
    control_doubles::clear_calls();
    return delivered.size() == 1 && delivered[0].key == owner;
}

std::uint32_t count_at(const bytes& record, std::size_t at) {
    return record[at] | (record[at + 1] << 8) | (record[at + 2] << 16) |
           (static_cast<std::uint32_t>(record[at + 3]) << 24);
}

class ControlResponses : public ControlFixture {
  protected:
    std::uint8_t client_id_request(std::uint8_t service = 3, ULONG port = 0) {
        int id = RequestClientId(key, service, port);
        EXPECT_GT(id, 0);
        control_doubles::clear_calls();
        return static_cast<std::uint8_t>(id);
    }
    std::uint8_t submit(std::uint32_t kind, ULONG session, std::uint8_t b0 = 0,
                        std::uint8_t b4 = 0) {
        ioctl_input in(kind, session);
        in.body(0) = b0;
        in.body(4) = b4;
        int id = in.submit();
        EXPECT_GT(id, 0);
        control_doubles::clear_calls();
        return static_cast<std::uint8_t>(id);
    }
    // The service-table record StoreServiceTable was given for an answer with `tlvs`.
    bytes service_table(const bytes& tlvs) {
        std::uint8_t id = submit(11, 0);
        answer(0, response(id, 0x21, tlvs));
        const auto stored = calls_of(callee::service_table);
        EXPECT_EQ(stored.size(), 1u);
        EXPECT_EQ(records(), 0u);
        control_doubles::clear_calls();
        return stored.empty() ? bytes(VRAX_SERVICE_TABLE_SIZE, 0xEE) : stored[0].data;
    }
};

TEST_F(ControlResponses, AGrantIsRegisteredOfferedToMonitorsAndSignalled) {
    std::uint8_t id = client_id_request();
    const bytes message = response(id, 0x22, cat({result_tlv(0, 0), tlv(0x01, {3, 7})}));
    answer(0, message);

    const auto& all = control_doubles::recorded().calls;
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].what, callee::monitor);
    EXPECT_EQ(all[0].key, key);
    EXPECT_EQ(all[0].marker, id) << "the transaction id renumbers the answer per kernel client";
    EXPECT_EQ(all[0].data, message) << "the whole control message, header on";
    EXPECT_EQ(all[1].what, callee::allocation);
    EXPECT_EQ(all[1].port, 0u);
    EXPECT_EQ(all[1].key, key);
    EXPECT_EQ(all[1].client, 7);
    EXPECT_EQ(all[1].error, 0);
    EXPECT_EQ(all[1].locks_held, 1u) << "the routing lock only, not the transaction lock";
    EXPECT_EQ(records(), 0u) << "the answered transaction is freed";
    EXPECT_TRUE(routed_to(0, 3, 7, key));

    // A duplicate of the same answer finds a finished transaction and reaches no one.
    answer(0, message);
    EXPECT_TRUE(control_doubles::recorded().calls.empty());
    EXPECT_EQ(client_records(), 1u);

    // A grant is registered even when the result reports failure.
    id = client_id_request();
    answer(0, response(id, 0x22, cat({result_tlv(1, 5), tlv(0x01, {3, 8})})));
    ASSERT_EQ(calls_of(callee::allocation).size(), 1u);
    EXPECT_EQ(calls_of(callee::allocation)[0].client, 8);
    EXPECT_EQ(calls_of(callee::allocation)[0].error, 5);
    EXPECT_TRUE(routed_to(0, 3, 8, key));
}

TEST_F(ControlResponses, AGrantWithoutAReadableIdIsReportedAsRefused) {
    struct row {
        const char* what;
        bytes tlvs;
        std::uint16_t error;
    };
    const std::vector<row> rows = {
        {"error 31, no TLV", result_tlv(1, 31), 31},
        {"success, no TLV", result_tlv(0, 0), 0},
        {"TLV 0x01 of one byte", cat({result_tlv(0, 0), tlv(0x01, {3})}), 0},
        {"TLV 0x01 empty", cat({result_tlv(0, 0), tlv(0x01, {})}), 0},
        {"another TLV", cat({result_tlv(0, 0), tlv(0x03, {3, 7})}), 0},
        {"TLV 0x01 cut short", cat({result_tlv(0, 0), bytes{0x01, 0x02, 0x00, 0x03}}), 0},
        {"short result, no TLV", tlv(0x02, {0x00, 0x00}), 0},
    };
    for (const row& r : rows) {
        std::uint8_t id = client_id_request();
        answer(0, response(id, 0x22, r.tlvs));
        const auto signalled = calls_of(callee::allocation);
        ASSERT_EQ(signalled.size(), 1u) << r.what;
        EXPECT_EQ(signalled[0].client, VRAX_CLIENT_ID_REFUSED) << r.what;
        EXPECT_EQ(signalled[0].error, r.error) << r.what;
        EXPECT_EQ(client_records(), 0u) << r.what << ": nothing registered";
        EXPECT_EQ(records(), 0u) << r.what << ": the transaction is finished all the same";
        control_doubles::clear_calls();
    }
    // Without a result TLV the cursor stays on the first TLV, which still reads.
    std::uint8_t id = client_id_request();
    answer(0, response(id, 0x22, tlv(0x01, {3, 9})));
    ASSERT_EQ(calls_of(callee::allocation).size(), 1u);
    EXPECT_EQ(calls_of(callee::allocation)[0].client, 9);
    EXPECT_TRUE(routed_to(0, 3, 9, key));
}

TEST_F(ControlResponses, AReleaseIsAppliedForItsSessionAndAlwaysSignalled) {
    ASSERT_EQ(RegisterClientId(key, 0, 3, 7), 0);
    ASSERT_EQ(RegisterClientId(key, 0, 3, 8), 0);
    std::uint8_t id = submit(2, key, 3, 7);
    answer(0, response(id, 0x23, cat({result_tlv(0, 0), tlv(0x01, {3, 7})})));
    ASSERT_EQ(calls_of(callee::release_done).size(), 1u);
    EXPECT_EQ(calls_of(callee::release_done)[0].key, key);
    EXPECT_EQ(calls_of(callee::release_done)[0].port, 0u);
    EXPECT_FALSE(routed_to(0, 3, 7, key));
    EXPECT_TRUE(routed_to(0, 3, 8, key));

    // Without a session, and with a TLV too short to name the id: nothing is released.
    for (const auto& [session, tlvs] : std::vector<std::pair<ULONG, bytes>>{
             {VRAX_SESSION_KEY_NONE, tlv(0x01, {3, 8})}, {key, tlv(0x01, {3})}, {key, {}}}) {
        id = submit(2, session, 3, 8);
        answer(0, response(id, 0x23, cat({result_tlv(0, 0), tlvs})));
        ASSERT_EQ(calls_of(callee::release_done).size(), 1u);
        EXPECT_EQ(calls_of(callee::release_done)[0].key, session);
        EXPECT_TRUE(routed_to(0, 3, 8, key));
    }
    EXPECT_EQ(records(), 0u);
}

TEST_F(ControlResponses, AValueAnswerReportsTheLastWholeValue) {
    struct row {
        const char* what;
        bytes tlvs;
        std::uint16_t value;
    };
    const std::vector<row> rows = {
        {"two values", cat({result_tlv(0, 0), tlv(0x10, {0x01, 0x00}), tlv(0x10, {0x34, 0x12})}),
         0x1234},
        {"others skipped", cat({result_tlv(0, 0), tlv(0x10, {0x22, 0x11}), tlv(0x05, {1, 2, 3})}),
         0x1122},
        {"short value skipped", cat({result_tlv(0, 0), tlv(0x10, {0x22, 0x11}), tlv(0x10, {0x99})}),
         0x1122},
        {"no value", result_tlv(1, 4), 0},
        {"cut short",
         cat({result_tlv(0, 0), tlv(0x10, {0x22, 0x11}), bytes{0x10, 0x02, 0x00, 0x01}}), 0x1122},
        {"value, then fewer bytes than a header", cat({tlv(0x10, {0x0F, 0x00}), bytes{0x10, 0x02}}),
         0x000F},
    };
    for (const row& r : rows) {
        std::uint8_t id = submit(3, key, 1);
        answer(0, response(id, 0x26, r.tlvs));
        const auto signalled = calls_of(callee::value);
        ASSERT_EQ(signalled.size(), 1u) << r.what;
        EXPECT_EQ(signalled[0].value, r.value) << r.what;
        EXPECT_EQ(signalled[0].key, key) << r.what;
        control_doubles::clear_calls();
    }
    EXPECT_EQ(records(), 0u);
}

TEST_F(ControlResponses, AServiceTableFillsTheFirstListAndTheSecondWhenPresent) {
    const bytes first = tlv(0x01, {3, 0x01, 0x01, 0x00, 0x02, 0x00,  //
                                   0x02, 0x03, 0x00, 0x04, 0x00,     //
                                   0x09, 0x05, 0x00, 0x06, 0x00});
    bytes only = service_table(cat({result_tlv(0, 0), first}));
    EXPECT_EQ(count_at(only, 0), 3u);
    EXPECT_EQ(bytes(only.begin() + 4, only.begin() + 22),
              (bytes{0x01, 0, 0x01, 0x00, 0x02, 0x00, 0x02, 0, 0x03, 0x00, 0x04, 0x00, 0x09, 0,
                     0x05, 0x00, 0x06, 0x00}));
    EXPECT_EQ(count_at(only, 1792), 0u) << "nothing after TLV 0x01: no second list";

    // The second list is read whenever bytes follow TLV 0x01, however short it is next to the
    // first list: a TLV 0x10 (skipped), a count, the entries.
    const bytes second = cat({tlv(0x10, {0xAA, 0xBB}), bytes{1, 0x01, 0x07, 0x00, 0x08, 0x00}});
    bytes both = service_table(cat({result_tlv(0, 0), first, second}));
    EXPECT_EQ(count_at(both, 0), 3u);
    EXPECT_EQ(count_at(both, 1792), 1u);
    EXPECT_EQ(bytes(both.begin() + 1796, both.begin() + 1802),
              (bytes{0x01, 0, 0x07, 0x00, 0x08, 0x00}));

    // Without a result TLV the list still reads; without TLV 0x01 the record stays empty.
    bytes bare = service_table(first);
    EXPECT_EQ(count_at(bare, 0), 3u);
    bytes none = service_table(result_tlv(0, 0));
    EXPECT_EQ(none, bytes(VRAX_SERVICE_TABLE_SIZE, 0));
    // Something other than TLV 0x10 after the first list: only the first list.
    bytes other = service_table(cat({first, tlv(0x11, {1, 0x01, 0x07, 0x00, 0x08, 0x00})}));
    EXPECT_EQ(count_at(other, 0), 3u);
    EXPECT_EQ(count_at(other, 1792), 0u);
}

TEST_F(ControlResponses, AServiceTableCutShortKeepsTheWholeEntriesUpToThere) {
    // The first list claims 4 entries, its TLV holds 2 and a part: the 2 are kept and the
    // second list, whose place is unknown, is not read.
    const bytes cut =
        tlv(0x01, {4, 0x01, 0x01, 0x00, 0x02, 0x00, 0x02, 0x03, 0x00, 0x04, 0x00, 0x05, 0x06});
    const bytes second = cat({tlv(0x10, {}), bytes{1, 0x01, 0x07, 0x00, 0x08, 0x00}});
    bytes record = service_table(cat({cut, second}));
    EXPECT_EQ(count_at(record, 0), 2u);
    EXPECT_EQ(record[4 + 6], 0x02);
    EXPECT_EQ(bytes(record.begin() + 16, record.end()), bytes(VRAX_SERVICE_TABLE_SIZE - 16, 0))
        << "nothing past the entries read, the second list included";

    // The second list claims 3 entries where the message holds 1 and a part.
    const bytes first = tlv(0x01, {1, 0x01, 0x01, 0x00, 0x02, 0x00});
    record = service_table(
        cat({first, tlv(0x10, {}), bytes{3, 0x01, 0x07, 0x00, 0x08, 0x00, 0x02, 0x09}}));
    EXPECT_EQ(count_at(record, 1792), 1u);
    EXPECT_EQ(record[1796 + 2], 0x07);
    EXPECT_EQ(record[1796 + 6], 0x00);

    // A TLV 0x10 running past the message, a count byte missing, an empty TLV 0x01.
    for (const bytes& tail : {bytes{0x10, 0x09, 0x00, 0x01}, tlv(0x10, {1, 2})}) {
        record = service_table(cat({first, tail}));
        EXPECT_EQ(count_at(record, 0), 1u);
        EXPECT_EQ(count_at(record, 1792), 0u);
    }
    record = service_table(tlv(0x01, {}));
    EXPECT_EQ(record, bytes(VRAX_SERVICE_TABLE_SIZE, 0));
    // 255 entries in both lists fit the record.
    bytes full{255};
    bytes rest{255};
    for (int i = 0; i < 255; ++i) {
        full.insert(full.end(), {static_cast<std::uint8_t>(i), 1, 0, 2, 0});
        rest.insert(rest.end(), {static_cast<std::uint8_t>(i), 3, 0, 4, 0});
    }
    record = service_table(cat({tlv(0x01, full), tlv(0x10, {}), rest}));
    EXPECT_EQ(count_at(record, 0), 255u);
    EXPECT_EQ(count_at(record, 1792), 255u);
    EXPECT_EQ(record[1796 + 254 * 6], 254);
    EXPECT_EQ(record[1796 + 254 * 6 + 4], 4);
}

TEST_F(ControlResponses, WhatCannotBeMatchedIsDroppedWithoutTouchingTheTransaction) {
    std::uint8_t id = client_id_request();
    const bytes tlvs = cat({result_tlv(0, 0), tlv(0x01, {3, 7})});
    const bytes good = response(id, 0x22, tlvs);
    bytes one_short = good;
    one_short[4] = static_cast<std::uint8_t>(tlvs.size() - 1);
    bytes one_long = good;
    one_long[4] = static_cast<std::uint8_t>(tlvs.size() + 1);
    bytes bad_type = good;
    bad_type[0] = 3;
    const std::vector<bytes> dropped = {
        response(0, 0x22, tlvs),                                   // id 0
        response(static_cast<std::uint8_t>(id + 1), 0x22, tlvs),   // no such transaction
        one_short,                                                 // length one short
        one_long,                                                  // length one long
        bad_type,                                                  // unknown message type
        control_message(VRAX_MESSAGE_INDICATION, id, 0x22, tlvs),  // an indication
        control_message(VRAX_MESSAGE_REQUEST, id, 0x22, tlvs),     // a request
        bytes(good.begin(), good.begin() + 5),                     // shorter than a header
        bytes{},                                                   // empty
    };
    for (const bytes& m : dropped) {
        answer(0, m);
        EXPECT_TRUE(control_doubles::recorded().calls.empty())
            << framedecode::decode_frame(control_frame(m));
    }
    // The same answer on another port is not this port's.
    answer(3, good);
    EXPECT_TRUE(control_doubles::recorded().calls.empty());
    EXPECT_EQ(records(), 1u);
    EXPECT_EQ(client_records(), 0u);
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_RESPONSE).count, 0u);

    // The work buffer cannot be had: dropped as well, and the answer can still come.
    platform::faults::fail_nth("ExAllocatePoolWithTag", 1, STATUS_INSUFFICIENT_RESOURCES);
    answer(0, good);
    EXPECT_TRUE(control_doubles::recorded().calls.empty());
    EXPECT_EQ(records(), 1u);

    answer(0, good);
    EXPECT_EQ(calls_of(callee::allocation).size(), 1u) << "the transaction was left open";
    EXPECT_EQ(records(), 0u);
}

TEST_F(ControlResponses, LateAndOtherAnswersFinishTheirTransactionOnly) {
    // An answer after the table was reset (the port closed and came back) matches nothing.
    std::uint8_t id = client_id_request();
    ResetRouting();
    answer(0, response(id, 0x22, cat({result_tlv(0, 0), tlv(0x01, {3, 7})})));
    EXPECT_TRUE(control_doubles::recorded().calls.empty());

    // Answers without a handler of their own finish their transaction, after the monitors.
    for (auto [kind, message_id] : std::vector<std::pair<std::uint32_t, std::uint16_t>>{
             {6, 0x28}, {8, 0x29}, {9, 0x2A}, {10, 0x2B}}) {
        id = submit(kind, key);
        answer(0, response(id, message_id, result_tlv(0, 0)));
        ASSERT_EQ(control_doubles::recorded().calls.size(), 1u) << kind;
        EXPECT_EQ(control_doubles::recorded().calls[0].what, callee::monitor);
        control_doubles::clear_calls();
    }
    EXPECT_EQ(records(), 0u);

    // An answer to a request never answered 255 ids ago meets the newer request's record.
    id = client_id_request();
    for (int i = 0; i < 255; ++i) {
        submit(10, key);
    }
    EXPECT_EQ(records(), 255u);
    answer(0, response(id, 0x2B, result_tlv(0, 0)));
    EXPECT_TRUE(calls_of(callee::allocation).empty()) << "the client-id request was retired";
    EXPECT_EQ(records(), 254u);
}

TEST_F(ControlResponses, ACallerMessageIsAnsweredUnderTheIdItWasSentWith) {
    VRAX_CONTROL_REQUEST request{};
    request.Kind = VRAX_REQUEST_KIND_CALLER_MESSAGE;
    request.SessionKey = key;
    request.PortIndex = 0;
    bytes buffer(6, 0);
    const bytes written = control_message(0, 0x77, 0x22, tlv(0x01, {0x05}));
    buffer.insert(buffer.end(), written.begin(), written.end());
    int id = SendControlRequest(&request, 0, buffer.data() + 6, static_cast<ULONG>(written.size()),
                                TRUE);
    ASSERT_EQ(id, 2);
    control_doubles::clear_calls();
    const bytes tlvs = cat({result_tlv(0, 0), tlv(0x01, {5, 0x33})});
    answer(0, response(0x77, 0x22, tlvs));
    EXPECT_TRUE(control_doubles::recorded().calls.empty()) << "the author's id is not on the wire";
    answer(0, response(2, 0x22, tlvs));
    ASSERT_EQ(calls_of(callee::allocation).size(), 1u);
    EXPECT_TRUE(routed_to(0, 5, 0x33, key));
}

TEST_F(ControlResponses, AnAnswerOvertakingItsSendersReleaseIsHandledOnce) {
    // The answer is read on another thread while the request is still being sent: it waits
    // for the sender's transaction lock, and then either runs before the sender has dropped
    // its reference or after. Either way it is handled once and the record freed once.
    std::vector<std::shared_ptr<platform::scheduler::joinable>> readers;
    control_doubles::recorded().on_send = [&readers](const bytes& frame) {
        const std::uint8_t id = frame[7];
        readers.push_back(platform::scheduler::get().start_thread("answer reader", [id] {
            answer(0, response(id, 0x22,
                               cat({result_tlv(0, 0),
                                    tlv(0x01, {3, static_cast<std::uint8_t>(0x40 + id % 8)})})));
        }));
    };
    constexpr int rounds = 24;
    for (int i = 0; i < rounds; ++i) {
        ASSERT_GT(RequestClientId(key, 3, 0), 0);
        readers.back()->join();
        ASSERT_EQ(records(), 0u) << "round " << i;
        ASSERT_EQ(ReleaseClientId(key, 0, 3, static_cast<UCHAR>(0x40 + (i + 2) % 8)), 0);
    }
    control_doubles::recorded().on_send = nullptr;
    EXPECT_EQ(calls_of(callee::allocation).size(), static_cast<std::size_t>(rounds));
    EXPECT_EQ(client_records(), 0u);
}

}  // namespace
