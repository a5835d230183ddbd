// Control requests on the real routing layer with a recording transmit path: the transaction
// ids drawn per port, the TLVs each kind puts on the wire, what the control-request I/O
// control accepts and refuses, the records left behind on every path (sent, refused, port
// closed, transmit failed, allocation failed) and the transaction table's own rules.
#include "control_test_support.h"

#include "core/scheduler.h"

namespace {

using namespace control_test;

class ControlRequests : public ControlFixture {};

TEST_F(ControlRequests, IdsRunFromOneTo255AndWrapToOneAfterTheNotice) {
    ASSERT_EQ(OpenPortRouting(5), 0);
    ASSERT_EQ(sent_frames().size(), 1u);
    EXPECT_EQ(sent_frames()[0], request_frame(1, 0x27, {}))
        << framedecode::decode_frame(sent_frames()[0]);

    for (int expected = 2; expected <= 255; ++expected) {
        ASSERT_EQ(RequestServiceTable(0, 5), expected);
    }
    EXPECT_EQ(RequestServiceTable(0, 5), 1) << "255 wraps to 1, never 0";
    EXPECT_EQ(RequestServiceTable(0, 5), 2);
    EXPECT_EQ(RequestServiceTable(0, 3), 2) << "each port counts on its own";

    const auto frames = sent_frames();
    ASSERT_EQ(frames.size(), 1u + 254u + 3u);
    for (std::size_t i = 1; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i][7], i <= 254 ? i + 1 : (i == 255 ? 1 : 2)) << i;
    }
    EXPECT_EQ(frames[1], request_frame(2, 0x21, {})) << framedecode::decode_frame(frames[1]);
    // None was answered. A record whose id was drawn again can never be matched (the newer one
    // shadows it), so it is retired: the list stays at one record per id.
    EXPECT_EQ(records(), 255u + 1u);
}

TEST_F(ControlRequests, EachKindPutsItsTlvsOnTheWire) {
    struct row {
        const char* what;
        std::uint32_t kind;
        std::vector<std::pair<std::size_t, std::uint8_t>> body;
        std::uint16_t message_id;
        bytes tlvs;
    };
    const std::vector<row> rows = {
        {"client id", 1, {{0, 0x03}, {1, 0xEE}}, 0x22, tlv(0x01, {0x03})},
        {"release", 2, {{0, 0x03}, {4, 0x07}, {1, 0xEE}}, 0x23, tlv(0x01, {0x03, 0x07})},
        {"value query, no 16-bit value", 3, {{0, 0x09}, {6, 0xEE}}, 0x26, tlv(0x01, {0x09})},
        {"value query",
         3,
         {{0, 0x09}, {4, 0x34}, {5, 0x12}},
         0x26,
         cat({tlv(0x01, {0x09}), tlv(0x10, {0x34, 0x12})})},
        {"kind 6", 6, {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 0xEE}}, 0x28, tlv(0x01, {1, 2, 3, 4})},
        {"kind 8, no list", 8, {{0, 1}, {4, 5}, {12, 0xEE}}, 0x29, tlv(0x01, {1, 0, 0, 0, 5})},
        {"kind 8, 11 values", 8, {{0, 1}, {8, 11}, {12, 0xEE}}, 0x29, tlv(0x01, {1, 0, 0, 0, 0})},
        {"kind 8, 10 values",
         8,
         {{0, 1}, {8, 10}, {12, 0xA1}, {31, 0xA2}, {32, 0xEE}},
         0x29,
         cat({tlv(0x01, {1, 0, 0, 0, 0}),
              tlv(0x11, {0xA1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA2})})},
        {"kind 9", 9, {{0, 9}, {3, 8}, {4, 0xEE}}, 0x2A, tlv(0x01, {9, 0, 0, 8})},
        {"kind 10", 10, {{0, 0xEE}}, 0x2B, {}},
        {"service table", 11, {{0, 0xEE}}, 0x21, {}},
    };
    int id = 2;
    for (const row& r : rows) {
        control_doubles::clear_calls();
        ioctl_input in(r.kind);
        for (auto [at, value] : r.body) {
            in.body(at) = value;
        }
        EXPECT_EQ(in.submit(), id) << r.what;
        const auto frames = sent_frames();
        ASSERT_EQ(frames.size(), 1u) << r.what;
        EXPECT_EQ(frames[0], request_frame(static_cast<std::uint8_t>(id), r.message_id, r.tlvs))
            << r.what << ": " << framedecode::decode_frame(frames[0]);
        ++id;
    }
    // Kind 8's count is a 32-bit field: a count of 2^32 + 1 is not 1.
    control_doubles::clear_calls();
    ioctl_input big(8);
    big.body(8) = 1;
    big.body(11) = 1;
    EXPECT_GT(big.submit(), 0);
    ASSERT_EQ(sent_frames().size(), 1u);
    EXPECT_EQ(sent_frames()[0].size(), 6u + 6u + 8u);
}

TEST_F(ControlRequests, TheIoctlRefusesShortInputsAndTheDriversOwnKinds) {
    ioctl_input one_short(1, 0x10, 0, 3359);
    EXPECT_EQ(one_short.submit(), -1);
    for (std::uint32_t kind : {7u, 12u, 13u, 14u, 0xFFFFFFFFu}) {
        ioctl_input in(kind);
        EXPECT_EQ(in.submit(), -1) << kind;
    }
    bytes tiny(31, 0);
    EXPECT_EQ(SubmitControlIoctl(tiny.data(), 31), -1);
    EXPECT_EQ(SubmitControlIoctl(nullptr, 0), -1);
    EXPECT_TRUE(sent_frames().empty());
    EXPECT_EQ(records(), 0u);

    // The refusals drew no id.
    ioctl_input ok(11);
    EXPECT_EQ(ok.submit(), 2);
}

TEST_F(ControlRequests, KindZeroSendsTheBodyAsItIsOverTheDescriptorsTail) {
    ioctl_input empty(0, 0x10, 3, 32);
    put32(empty.data, 24, 7);  // service type
    empty.data[28] = 0x42;     // client id
    EXPECT_EQ(empty.submit(), 0);
    ASSERT_EQ(sent_frames().size(), 1u);
    EXPECT_EQ(calls_of(callee::port_send)[0].port, 3u);
    EXPECT_EQ(sent_frames()[0], (bytes{0x01, 0x05, 0x00, 0x00, 0x07, 0x42}))
        << "an empty service message: " << framedecode::decode_frame(sent_frames()[0]);
    EXPECT_EQ(bytes(empty.data.begin() + 26, empty.data.end()), sent_frames()[0])
        << "the frame header is written in place over the descriptor's last 6 bytes";

    ioctl_input message(0, 0x10, 0, 32 + 9);
    put32(message.data, 24, 5);
    message.data[28] = 0x09;
    const bytes body{0x00, 0x01, 0x00, 0x30, 0x00, 0x02, 0x00, 0xAB, 0xCD};
    std::copy(body.begin(), body.end(), message.data.begin() + 32);
    EXPECT_EQ(message.submit(), 0) << "untracked: the send result, not an id";
    ASSERT_EQ(sent_frames().size(), 2u);
    const bytes second = sent_frames()[1];
    EXPECT_EQ(bytes(second.begin() + 6, second.end()), body);
    EXPECT_EQ(records(), 0u);

    // Service types beyond a byte would be cut to another service, the control service too.
    ioctl_input wide(0, 0x10, 0, 40);
    put32(wide.data, 24, 256);
    EXPECT_EQ(wide.submit(), -1);
    put32(wide.data, 24, 255);
    EXPECT_EQ(wide.submit(), -1);
    ioctl_input closed(0, 0x10, 1, 40);
    put32(closed.data, 24, 5);
    EXPECT_EQ(closed.submit(), VRAX_RESULT_PORT_NOT_OPEN);
    EXPECT_EQ(sent_frames().size(), 2u);
}

TEST_F(ControlRequests, KindsFourAndFiveSendNothing) {
    ASSERT_EQ(RegisterClientId(0x44, 0, 5, 7), 0);
    ASSERT_EQ(RegisterClientId(0x45, 0, 5, 8), 0);
    ioctl_input accept(4);
    EXPECT_EQ(accept.submit(), 0);
    ioctl_input purge(5);
    put32(purge.data, 32, 0x44);
    EXPECT_EQ(purge.submit(), 0);
    EXPECT_TRUE(sent_frames().empty());
    EXPECT_EQ(ReleaseClientId(0x44, 0, 5, 7), -1) << "purged";
    EXPECT_EQ(ReleaseClientId(0x45, 0, 5, 8), 0) << "another session's ids stay";
    EXPECT_EQ(RequestServiceTable(0, 0), 2) << "no id was drawn for them";
}

TEST_F(ControlRequests, AClosedPortOrAFailedSendLeavesNoRecord) {
    EXPECT_EQ(RequestClientId(0x10, 5, 1), VRAX_RESULT_PORT_NOT_OPEN);
    EXPECT_EQ(RequestValueQuery(0x10, 1, 1, 2), VRAX_RESULT_PORT_NOT_OPEN);
    EXPECT_EQ(SendServiceTwoQuery(1, 4, 0), VRAX_RESULT_PORT_NOT_OPEN);
    EXPECT_EQ(RequestServiceTable(0, 29), -1);
    EXPECT_TRUE(sent_frames().empty());
    EXPECT_EQ(records(), 0u);

    control_doubles::recorded().port_send_result = -1;
    EXPECT_EQ(RequestClientId(0x10, 5, 0), -1);
    EXPECT_EQ(records(), 0u);
    control_doubles::recorded().port_send_result = 0;
    EXPECT_EQ(RequestClientId(0x10, 5, 0), 3) << "the failed request's id stays used";
    EXPECT_EQ(records(), 1u);
}

TEST_F(ControlRequests, FailedAllocationsSendNothing) {
    namespace faults = platform::faults;
    // The deferred wrappers: the body, then the record.
    faults::fail_nth("ExAllocatePoolWithTag", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(RequestClientId(0x10, 5, 0), -1);
    faults::fail_nth("ExAllocatePoolWithTag", 2, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(RequestValueQuery(0x10, 0, 1, 2), -1);
    // The I/O control: its descriptor copy, its body copy, the record.
    for (unsigned n = 1; n <= 3; ++n) {
        faults::fail_nth("ExAllocatePoolWithTag", n, STATUS_INSUFFICIENT_RESOURCES);
        ioctl_input in(1);
        EXPECT_EQ(in.submit(), -1) << "allocation " << n;
    }
    faults::clear();
    EXPECT_TRUE(sent_frames().empty());
    EXPECT_EQ(records(), 0u);
    EXPECT_EQ(RequestServiceTable(0, 0), 2) << "no id was drawn for what was not sent";
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_DEFERRED_G).count, 0u);
}

TEST_F(ControlRequests, DeferredWrappersFillTheirBodies) {
    EXPECT_EQ(RequestClientId(0x10, 0x0B, 3), 2);
    EXPECT_EQ(RequestValueQuery(0x10, 3, 0x5A, 0xBEEF), 3);
    EXPECT_EQ(RequestValueQuery(0x10, 3, 0x5B, 0), 4);
    const auto frames = sent_frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], request_frame(2, 0x22, tlv(0x01, {0x0B})));
    EXPECT_EQ(frames[1], request_frame(3, 0x26, cat({tlv(0x01, {0x5A}), tlv(0x10, {0xEF, 0xBE})})));
    EXPECT_EQ(frames[2], request_frame(4, 0x26, tlv(0x01, {0x5B})));
    for (const auto& c : calls_of(callee::port_send)) {
        EXPECT_EQ(c.port, 3u);
        EXPECT_EQ(c.locks_held, 2u) << "the transaction lock, then the send lock";
    }
}

TEST_F(ControlRequests, ServiceTwoQueryGoesToServiceTwoFromTheSessionsId) {
    EXPECT_EQ(SendServiceTwoQuery(0, 0x21, 0x1234), 0);
    ASSERT_EQ(sent_frames().size(), 1u);
    EXPECT_EQ(sent_frames()[0],
              (bytes{0x01, 0x0C, 0x00, 0x00, 0x02, 0x21, 0x00, 0x34, 0x12, 0x25, 0x00, 0x00, 0x00}))
        << framedecode::decode_frame(sent_frames()[0]);
    EXPECT_EQ(records(), 0u);
    EXPECT_EQ(RequestServiceTable(0, 0), 2) << "not a control request: no id drawn";
}

TEST_F(ControlRequests, CallerMessagesGoOutAsWrittenUnderTheDrawnId) {
    VRAX_CONTROL_REQUEST request{};
    request.Kind = VRAX_REQUEST_KIND_CALLER_MESSAGE;
    request.SessionKey = 0x10;
    request.PortIndex = 0;
    // A whole control message written by a session, with its author's own id 0x77.
    const bytes written = control_message(0, 0x77, 0x22, tlv(0x01, {0x05}));
    bytes buffer(6, 0);
    buffer.insert(buffer.end(), written.begin(), written.end());
    int id = SendControlRequest(&request, 0, buffer.data() + 6, static_cast<ULONG>(written.size()),
                                TRUE);
    EXPECT_EQ(id, 2);
    ASSERT_EQ(sent_frames().size(), 1u);
    bytes expected = control_frame(written);
    expected[7] = 2;
    EXPECT_EQ(sent_frames()[0], expected) << framedecode::decode_frame(sent_frames()[0]);
    EXPECT_EQ(records(), 1u);

    // Too short for a control header: nothing an answer could match, so nothing is tracked.
    bytes stub{0, 0, 0, 0, 0, 0, 0x00, 0x99, 0x22};
    EXPECT_EQ(SendControlRequest(&request, 0, stub.data() + 6, 3, TRUE), 0);
    ASSERT_EQ(sent_frames().size(), 2u);
    EXPECT_EQ(sent_frames()[1], control_frame({0x00, 0x99, 0x22})) << "sent unchanged";
    EXPECT_EQ(records(), 1u);

    // A kernel client's own TLVs under its own message id, tracked like kind 1.
    VRAX_CONTROL_REQUEST client{};
    client.Kind = VRAX_REQUEST_KIND_CLIENT_ID;
    client.SessionKey = 0x80;
    client.PortIndex = 3;
    bytes tlvs(12, 0xEE);
    const bytes own = tlv(0x01, {0x01, 0x02});
    tlvs.insert(tlvs.end(), own.begin(), own.end());
    EXPECT_EQ(SendControlRequest(&client, 0x2A, tlvs.data() + 12, 5, TRUE), 2);
    ASSERT_EQ(sent_frames().size(), 3u);
    EXPECT_EQ(sent_frames()[2], request_frame(2, 0x2A, own));
}

TEST_F(ControlRequests, TheTableFreesWhateverOrderTheReleasesComeIn) {
    // Answered after the sender's release.
    PVRAX_TRANSACTION a = NewTransaction(sizeof(VRAX_TRANSACTION), nullptr, 0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->ReferenceCount, 1);
    SetTransactionId(a, 40);
    ReleaseTransaction(a, FALSE, 0);
    EXPECT_EQ(records(), 1u) << "open and listed without references";
    PVRAX_TRANSACTION found = FindTransaction(0, 40);
    ASSERT_EQ(found, a);
    ReleaseTransaction(found, TRUE, 0);
    EXPECT_EQ(records(), 0u);

    // Answered before the sender's release: the sender's release frees it.
    PVRAX_TRANSACTION b = NewTransaction(sizeof(VRAX_TRANSACTION), nullptr, 0);
    ASSERT_NE(b, nullptr);
    SetTransactionId(b, 41);
    found = FindTransaction(0, 41);
    ASSERT_EQ(found, b);
    ReleaseTransaction(found, TRUE, 0);
    EXPECT_EQ(records(), 1u);
    EXPECT_EQ(FindTransaction(0, 41), nullptr) << "done: a second answer finds nothing";
    ReleaseTransaction(b, FALSE, 0);
    EXPECT_EQ(records(), 0u);

    // Nothing matches id 0, another port, or a record not yet numbered.
    PVRAX_TRANSACTION c = NewTransaction(sizeof(VRAX_TRANSACTION), nullptr, 0);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(FindTransaction(0, 0), nullptr);
    SetTransactionId(c, 42);
    EXPECT_EQ(FindTransaction(3, 42), nullptr);
    EXPECT_EQ(FindTransaction(29, 42), nullptr);
    ReleaseTransaction(c, TRUE, 0);

    // A record too small for its own fields, or for a bad port, is refused.
    EXPECT_EQ(NewTransaction(sizeof(VRAX_TRANSACTION) - 1, nullptr, 0), nullptr);
    EXPECT_EQ(NewTransaction(sizeof(VRAX_TRANSACTION), nullptr, 29), nullptr);
    EXPECT_EQ(records(), 0u);
}

TEST_F(ControlRequests, AResetLeavesARecordInUseToItsLastRelease) {
    static int released = 0;
    released = 0;
    VRAX_TRANSACTION_RELEASE* callback = [](PVRAX_TRANSACTION) { ++released; };
    PVRAX_TRANSACTION held = NewTransaction(sizeof(VRAX_TRANSACTION), callback, 3);
    ASSERT_NE(held, nullptr);
    SetTransactionId(held, 7);
    PVRAX_TRANSACTION idle = NewTransaction(sizeof(VRAX_TRANSACTION), callback, 3);
    ASSERT_NE(idle, nullptr);
    SetTransactionId(idle, 8);
    ReleaseTransaction(idle, FALSE, 3);

    ResetTransactions();
    EXPECT_EQ(released, 1) << "the unreferenced record is freed";
    EXPECT_EQ(records(), 1u) << "the one still held is not freed under its holder";
    EXPECT_EQ(FindTransaction(3, 7), nullptr) << "but it is no longer listed";
    ReleaseTransaction(held, FALSE, 3);
    EXPECT_EQ(released, 2);
    EXPECT_EQ(records(), 0u);
    EXPECT_EQ(RequestServiceTable(0, 3), 1) << "the counter starts again";
}

}  // namespace
