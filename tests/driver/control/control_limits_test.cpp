// Edges of the control-request builder and the service-table parser that the other control
// tests leave open: the smallest list kind 8 carries, a caller's message that is a bare
// control header, the most TLV bytes one frame carries, a port whose transaction lock cannot
// be made, and a second service list that is not introduced by TLV 0x10.
#include "control_test_support.h"

namespace {

using namespace control_test;
namespace faults = platform::faults;

class ControlLimits : public ControlFixture {};

// A count of 1 is the shortest list kind 8 carries: one 16-bit value in TLV 0x11.
TEST_F(ControlLimits, KindEightWithOneValueCarriesItsList) {
    ioctl_input in(8);
    in.body(0) = 1;
    in.body(8) = 1;
    in.body(12) = 0x34;
    in.body(13) = 0x12;
    in.body(14) = 0xEE;
    EXPECT_EQ(in.submit(), 2);
    ASSERT_EQ(sent_frames().size(), 1u);
    EXPECT_EQ(sent_frames()[0],
              request_frame(2, 0x29, cat({tlv(0x01, {1, 0, 0, 0, 0}), tlv(0x11, {0x34, 0x12})})))
        << framedecode::decode_frame(sent_frames()[0]);
}

// A caller's control message of exactly a header (no TLVs) has a transaction id, so it is
// tracked, and it must go out under the drawn id: under its author's id the answer would
// miss its record, or meet another session's.
TEST_F(ControlLimits, ACallerMessageOfABareHeaderGoesOutUnderTheDrawnId) {
    VRAX_CONTROL_REQUEST request{};
    request.Kind = VRAX_REQUEST_KIND_CALLER_MESSAGE;
    request.SessionKey = 0x10;
    request.PortIndex = 0;
    const bytes written = control_message(0, 0x77, 0x2B, {});
    ASSERT_EQ(written.size(), static_cast<std::size_t>(VRAX_CONTROL_HEADER_SIZE));
    bytes buffer(VRAX_FRAME_HEADER_SIZE, 0);
    buffer.insert(buffer.end(), written.begin(), written.end());
    EXPECT_EQ(SendControlRequest(&request, 0, buffer.data() + VRAX_FRAME_HEADER_SIZE,
                                 static_cast<ULONG>(written.size()), TRUE),
              2);
    ASSERT_EQ(sent_frames().size(), 1u);
    EXPECT_EQ(sent_frames()[0], control_frame(control_message(0, 2, 0x2B, {})))
        << framedecode::decode_frame(sent_frames()[0]);
    EXPECT_EQ(records(), 1u);

    // Its answer, under the drawn id, finishes the record.
    control_doubles::clear_calls();
    bytes answer = control_frame(control_message(VRAX_MESSAGE_RESPONSE, 2, 0x2B, result_tlv(0, 0)));
    DemuxFrame(0, answer.data(), static_cast<ULONG>(answer.size()));
    ASSERT_EQ(calls_of(callee::monitor).size(), 1u);
    EXPECT_EQ(calls_of(callee::monitor)[0].key, 0x10u);
    EXPECT_EQ(records(), 0u);
}

// A control message's header and TLVs fill at most one frame's message (65,530 bytes). The
// longest TLV area goes out whole; a longer one, also one the 16-bit length field could still
// describe, is refused before an id is drawn, like every other refusal.
TEST_F(ControlLimits, TheLongestTlvAreaGoesOutAndALongerOneDrawsNoId) {
    constexpr ULONG longest = VRAX_MESSAGE_MAX_SIZE - VRAX_CONTROL_HEADER_SIZE;
    VRAX_CONTROL_REQUEST request{};
    request.Kind = VRAX_REQUEST_KIND_CLIENT_ID;
    request.SessionKey = 0x80;
    request.PortIndex = 0;
    bytes area(VRAX_CONTROL_TLV_HEADROOM + longest + 1, 0x5A);
    PUCHAR tlvs = area.data() + VRAX_CONTROL_TLV_HEADROOM;
    EXPECT_EQ(SendControlRequest(&request, 0x2A, tlvs, longest, TRUE), 2);
    ASSERT_EQ(sent_frames().size(), 1u);
    const bytes frame = sent_frames()[0];
    EXPECT_EQ(frame.size(), 65536u);
    EXPECT_EQ(VraxReadU16(frame.data() + VRAX_FRAME_LENGTH_OFFSET), 0xFFFFu);
    EXPECT_EQ(VraxReadU16(frame.data() + VRAX_FRAME_HEADER_SIZE + VRAX_CONTROL_LENGTH_OFFSET),
              longest);
    EXPECT_EQ(frame.back(), 0x5A);

    for (ULONG length : {longest + 1, 0xFFFFu, 0x10000u}) {
        bytes big(VRAX_CONTROL_TLV_HEADROOM + length, 0x5A);
        EXPECT_EQ(SendControlRequest(&request, 0x2A, big.data() + VRAX_CONTROL_TLV_HEADROOM, length,
                                     TRUE),
                  -1)
            << length;
    }
    EXPECT_EQ(sent_frames().size(), 1u);
    EXPECT_EQ(records(), 1u) << "only the record of the request that went out";
    EXPECT_EQ(RequestServiceTable(0, 0), 3) << "the refusals drew no id";
}

// Another start-up of the routing layer (the SMD interface arrived again) frees the records
// the last one left unanswered and starts every port's ids again, whatever the other
// start-up steps report.
TEST_F(ControlLimits, AnotherStartUpFreesLeftRecordsAndStartsTheIdsAgain) {
    EXPECT_EQ(RequestServiceTable(0, 0), 2);
    EXPECT_EQ(RequestServiceTable(0, 3), 2);
    EXPECT_EQ(RequestServiceTable(0, 3), 3);
    EXPECT_EQ(records(), 3u);
    EXPECT_EQ(InitRouting(), 0) << "a re-arrival finds its own demultiplexer registered";
    EXPECT_EQ(records(), 0u);
    ASSERT_EQ(OpenPortRouting(3), 0);
    control_doubles::clear_calls();
    ASSERT_EQ(SendPortOpenNotice(3), 0);
    ASSERT_EQ(sent_frames().size(), 1u);
    EXPECT_EQ(sent_frames()[0], request_frame(1, VRAX_CONTROL_PORT_OPEN_NOTICE_ID, {}));
}

// The second list is read only after a TLV 0x10: bytes after a TLV of another type are not
// version words, even where they would parse as a list.
TEST_F(ControlLimits, ASecondListAfterAnotherTlvIsNotRead) {
    const int id = RequestServiceTable(0, 0);
    ASSERT_GT(id, 0);
    control_doubles::clear_calls();
    const bytes tlvs = cat({result_tlv(0, 0), tlv(0x01, {1, 0x01, 0x01, 0x00, 0x02, 0x00}),
                            tlv(0x11, {}), bytes{1, 0x02, 0x07, 0x00, 0x08, 0x00}});
    bytes f = control_frame(control_message(VRAX_MESSAGE_RESPONSE, static_cast<std::uint8_t>(id),
                                            VRAX_CONTROL_SERVICE_TABLE_ID, tlvs));
    DemuxFrame(0, f.data(), static_cast<ULONG>(f.size()));
    const auto stored = calls_of(callee::service_table);
    ASSERT_EQ(stored.size(), 1u);
    const bytes& record = stored[0].data;
    ASSERT_EQ(record.size(), static_cast<std::size_t>(VRAX_SERVICE_TABLE_SIZE));
    EXPECT_EQ(record[VRAX_SERVICE_TABLE_FIRST_COUNT], 1);
    EXPECT_EQ(bytes(record.begin() + VRAX_SERVICE_TABLE_SECOND_COUNT, record.end()),
              bytes(VRAX_SERVICE_TABLE_SIZE - VRAX_SERVICE_TABLE_SECOND_COUNT, 0))
        << "no second list: its count and entries stay 0";
}

// Before the transaction table is prepared a port has no lock; when it cannot be made, a
// request is refused with nothing sent and nothing left behind, whether it would have been
// tracked or not, and the next request makes the lock.
TEST(ControlLockless, ARequestWhoseTransactionLockCannotBeMadeIsRefused) {
    faults::fail_nth("WdfWaitLockCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SendPortOpenNotice(4), -1) << "untracked";
    faults::fail_nth("WdfWaitLockCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(RequestServiceTable(0, 4), -1) << "tracked";
    faults::clear();
    EXPECT_TRUE(sent_frames().empty());
    EXPECT_EQ(records(), 0u);
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_DEFERRED_G).count, 0u);

    // Port 29, past the table of ports 0..28, has no lock, and none is made for it.
    EXPECT_EQ(TransactionLock(29), nullptr);

    // Port 4 is not open for routing: the lock is made and the send says so.
    EXPECT_EQ(SendPortOpenNotice(4), VRAX_RESULT_PORT_NOT_OPEN);
    ResetRouting();
    EXPECT_EQ(records(), 0u);
    EXPECT_EQ(platform::lock_tracker::held_count(), 0u);
}

}  // namespace
