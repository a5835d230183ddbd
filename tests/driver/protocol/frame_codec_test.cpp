// The frame codec on exact-size buffers: byte layout, what each call consumes on success and
// on failure, and that a refused write leaves the buffer as it was.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "protocol/frame_codec.h"

namespace {

using bytes = std::vector<std::uint8_t>;

VRAX_CURSOR cursor_over(bytes& b) {
    return VRAX_CURSOR{b.data(), static_cast<ULONG>(b.size())};
}

TEST(FrameCodec, FrameHeaderGoesInFrontOfTheMessageLittleEndian) {
    bytes frame(6 + 7, 0xEE);
    WriteFrameHeader(frame.data() + 6, 7, 2, 9);
    EXPECT_EQ(frame, (bytes{0x01, 12, 0x00, 0x00, 2, 9, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));

    bytes big(6 + 0x1234);
    WriteFrameHeader(big.data() + 6, 0x1234, 254, 0xFF);
    EXPECT_EQ(big[1], 0x39);
    EXPECT_EQ(big[2], 0x12);
    EXPECT_EQ(big[4], 254);
    EXPECT_EQ(big[5], 0xFF);

    bytes largest(VRAX_FRAME_MAX_SIZE);
    WriteFrameHeader(largest.data() + 6, VRAX_MESSAGE_MAX_SIZE, 1, 1);
    EXPECT_EQ(largest[1], 0xFF);
    EXPECT_EQ(largest[2], 0xFF);
}

TEST(FrameCodec, WriteTlvFitsExactlyOrWritesNothing) {
    const std::uint8_t value[4] = {0xA1, 0xA2, 0xA3, 0xA4};

    bytes exact(7, 0xEE);
    VRAX_CURSOR c = cursor_over(exact);
    EXPECT_EQ(WriteTlv(&c, 0x10, 4, value), 7);
    EXPECT_EQ(c.Remaining, 0u);
    EXPECT_EQ(c.Next, exact.data() + 7);
    EXPECT_EQ(exact, (bytes{0x10, 4, 0, 0xA1, 0xA2, 0xA3, 0xA4}));

    bytes short_by_one(6, 0xEE);
    c = cursor_over(short_by_one);
    EXPECT_EQ(WriteTlv(&c, 0x10, 4, value), -1);
    EXPECT_EQ(c.Remaining, 6u);
    EXPECT_EQ(c.Next, short_by_one.data());
    EXPECT_EQ(short_by_one, bytes(6, 0xEE));
}

TEST(FrameCodec, WriteTlvLengthFieldAndLimits) {
    bytes area(3 + 0x0102 + 3, 0xEE);
    bytes value(0x0102, 0x5A);
    VRAX_CURSOR c = cursor_over(area);
    ASSERT_EQ(WriteTlv(&c, 0x11, 0x0102, value.data()), 0x0105);
    EXPECT_EQ(area[1], 0x02);
    EXPECT_EQ(area[2], 0x01);
    // A zero-length TLV is three bytes and needs no value.
    EXPECT_EQ(WriteTlv(&c, 0x12, 0, nullptr), 3);
    EXPECT_EQ(c.Remaining, 0u);

    bytes huge(0x10000 + 3);
    c = cursor_over(huge);
    EXPECT_EQ(WriteTlv(&c, 0x01, 0x10000, huge.data()), -1) << "length must fit 16 bits";
    EXPECT_EQ(WriteTlv(&c, 0x01, 2, nullptr), -1);
    EXPECT_EQ(c.Remaining, huge.size());

    // The largest value the field holds is written whole, its length as 0xFFFF.
    bytes largest(3 + 0xFFFF, 0xEE);
    bytes filler(0xFFFF, 0x3C);
    c = cursor_over(largest);
    ASSERT_EQ(WriteTlv(&c, 0x01, 0xFFFF, filler.data()), 0x10002);
    EXPECT_EQ(largest[1], 0xFF);
    EXPECT_EQ(largest[2], 0xFF);
    EXPECT_EQ(largest.back(), 0x3C);
    EXPECT_EQ(c.Remaining, 0u);
}

TEST(FrameCodec, ReadTlvConsumesHeaderAndValue) {
    bytes b{0x02, 4, 0, 1, 2, 3, 4, 0x01, 0, 0};
    VRAX_CURSOR c = cursor_over(b);
    UCHAR type = 0;
    USHORT length = 0;
    PUCHAR value = nullptr;
    ASSERT_EQ(ReadTlv(&c, &type, &length, &value), 7);
    EXPECT_EQ(type, 0x02);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(value, b.data() + 3) << "the value is not copied";
    EXPECT_EQ(c.Remaining, 3u);
    ASSERT_EQ(ReadTlv(&c, &type, &length, &value), 3);
    EXPECT_EQ(type, 0x01);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(c.Remaining, 0u);
    EXPECT_EQ(c.Next, b.data() + b.size());
}

TEST(FrameCodec, ReadTlvFailuresConsumeWhatTheContractSays) {
    UCHAR type;
    USHORT length;
    PUCHAR value;

    bytes two{0x02, 0x00};
    VRAX_CURSOR c = cursor_over(two);
    EXPECT_EQ(ReadTlv(&c, &type, &length, &value), -1);
    EXPECT_EQ(c.Next, two.data());
    EXPECT_EQ(c.Remaining, 2u);

    // Declared length one more than what follows: the header stays consumed.
    bytes over{0x02, 0x03, 0x00, 1, 2};
    c = cursor_over(over);
    EXPECT_EQ(ReadTlv(&c, &type, &length, &value), -1);
    EXPECT_EQ(c.Next, over.data() + 3);
    EXPECT_EQ(c.Remaining, 2u);

    // The high byte of the length counts: 0x0102 bytes declared, 2 present.
    bytes high{0x05, 0x02, 0x01, 9, 9};
    c = cursor_over(high);
    EXPECT_EQ(ReadTlv(&c, &type, &length, &value), -1);
    EXPECT_EQ(c.Remaining, 2u);
}

TEST(FrameCodec, ReadControlHeaderFields) {
    bytes b{0x01, 0xFE, 0x22, 0x10, 0x07, 0x01, 0xAA};
    VRAX_CURSOR c = cursor_over(b);
    USHORT id = 0, length = 0;
    UCHAR txn = 0, type = 9;
    ASSERT_EQ(ReadControlHeader(&c, &id, &length, &txn, &type), 0);
    EXPECT_EQ(type, VRAX_MESSAGE_RESPONSE);
    EXPECT_EQ(txn, 0xFE);
    EXPECT_EQ(id, 0x1022);
    EXPECT_EQ(length, 0x0107);
    EXPECT_EQ(c.Next, b.data() + 6);
    EXPECT_EQ(c.Remaining, 1u);
}

TEST(FrameCodec, ReadControlHeaderRefusals) {
    USHORT id, length;
    UCHAR txn, type;

    bytes five{0x00, 1, 0x22, 0, 0};
    VRAX_CURSOR c = cursor_over(five);
    EXPECT_EQ(ReadControlHeader(&c, &id, &length, &txn, &type), -1);
    EXPECT_EQ(c.Remaining, 5u) << "a short header consumes nothing";

    for (std::uint8_t bad : {3, 0x80, 0xFF}) {
        bytes b{bad, 1, 0x22, 0, 0, 0};
        c = cursor_over(b);
        EXPECT_EQ(ReadControlHeader(&c, &id, &length, &txn, &type), -1) << int(bad);
        EXPECT_EQ(c.Remaining, 0u) << "an unreadable type still consumes the header";
    }
    for (std::uint8_t good : {0, 1, 2}) {
        bytes b{good, 1, 0x22, 0, 0, 0};
        c = cursor_over(b);
        EXPECT_EQ(ReadControlHeader(&c, &id, &length, &txn, &type), 0) << int(good);
        EXPECT_EQ(type, good);
    }
}

struct ResultCase {
    bytes tlv;
    int status;
    USHORT error;
};

TEST(FrameCodec, ReadResultTlvOutcomes) {
    const ResultCase cases[] = {
        {{0x02, 4, 0, 0x00, 0x00, 0x00, 0x00}, 0, 0},
        {{0x02, 4, 0, 0x01, 0x00, 0x1F, 0x00}, -2, 31},
        {{0x02, 4, 0, 0x01, 0x00, 0x34, 0x12}, -2, 0x1234},
        {{0x02, 4, 0, 0x02, 0x00, 0x1F, 0x00}, 0, 0},
        {{0x02, 4, 0, 0x01, 0x01, 0x1F, 0x00}, 0, 0},  // 0x0101 is not the failure value
        {{0x02, 6, 0, 0x01, 0x00, 0x05, 0x00, 9, 9}, -2, 5},
    };
    for (const ResultCase& rc : cases) {
        bytes b = rc.tlv;
        b.push_back(0x77);
        VRAX_CURSOR c = cursor_over(b);
        USHORT error = 0xBEEF;
        EXPECT_EQ(ReadResultTlv(&c, &error), rc.status);
        EXPECT_EQ(error, rc.error);
        EXPECT_EQ(c.Next, b.data() + rc.tlv.size()) << "moves past the whole TLV";
        EXPECT_EQ(c.Remaining, 1u);
    }
}

TEST(FrameCodec, UnreadableResultTlvLeavesTheCursor) {
    const bytes cases[] = {
        {0x01, 2, 0, 0x03, 0x07},        // another type first
        {0x02, 3, 0, 0x01, 0x00, 0x1F},  // value shorter than result and error code
        {0x02, 0, 0},                    // empty value
        {0x02, 4, 0, 0x01, 0x00},        // value runs past the end
        {0x02, 4},                       // not even a header
        {},
    };
    for (const bytes& tlv : cases) {
        bytes b = tlv;
        VRAX_CURSOR c = cursor_over(b);
        USHORT error = 0xBEEF;
        EXPECT_EQ(ReadResultTlv(&c, &error), -1);
        EXPECT_EQ(error, 0) << "the error code is cleared first";
        EXPECT_EQ(c.Next, b.data());
        EXPECT_EQ(c.Remaining, b.size());
    }

    // The caller's next ReadTlv starts at the TLV the result reader refused.
    bytes b{0x01, 2, 0, 0x03, 0x07};
    VRAX_CURSOR c = cursor_over(b);
    USHORT error;
    ASSERT_EQ(ReadResultTlv(&c, &error), -1);
    UCHAR type;
    USHORT length;
    PUCHAR value;
    ASSERT_EQ(ReadTlv(&c, &type, &length, &value), 5);
    EXPECT_EQ(type, 0x01);
    EXPECT_EQ(value[1], 0x07);
}

}  // namespace
