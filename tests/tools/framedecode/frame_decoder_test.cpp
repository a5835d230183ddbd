// The frame decoder: the full line for well-formed frames of both header kinds, and the mark
// it leaves where the bytes stop making sense.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "framedecode/frame_decoder.h"

namespace {

using bytes = std::vector<std::uint8_t>;

std::string decode(const bytes& b) {
    return framedecode::decode_frame(b);
}

TEST(FrameDecoder, ControlResponse) {
    // Client-id allocation answer: result TLV then TLV 0x01 {service 3, client 7}.
    bytes f{0x01, 22, 0, 0x00, 0, 0, 0x01, 0x05, 0x22, 0x00, 12, 0,
            0x02, 4,  0, 0,    0, 0, 0,    0x01, 2,    0,    3,  7};
    f[1] = static_cast<std::uint8_t>(f.size() - 1);
    EXPECT_EQ(decode(f),
              "if=0x01 len=23 flags=0x00 svc=0 cid=0 | ctl type=1 txn=5 msg=0x0022 tlvlen=12"
              " | tlv 0x02[4]=00000000 | tlv 0x01[2]=0307");
}

TEST(FrameDecoder, ServiceMessageUsesTheSevenByteHeaderAndShortensValues) {
    bytes f{0x01, 0, 0, 0x80, 5, 0xFF, 0x02, 0x34, 0x12, 0x25, 0x00, 23, 0, 0x12, 20, 0};
    for (int i = 0; i < 20; ++i) {
        f.push_back(static_cast<std::uint8_t>(i));
    }
    f[1] = static_cast<std::uint8_t>(f.size() - 1);
    EXPECT_EQ(decode(f),
              "if=0x01 len=35 flags=0x80 svc=5 cid=0xff(broadcast) | svc type=2 txn=4660 "
              "msg=0x0025 tlvlen=23 | tlv 0x12[20]=000102030405060708090a0b0c0d0e0f..(+4)");
}

TEST(FrameDecoder, MarksTruncation) {
    EXPECT_EQ(decode({}), "frame << truncated: frame header wants 6 bytes, 0 left");
    EXPECT_EQ(decode({0x01, 4, 0, 0, 0}),
              "frame << truncated: frame header wants 6 bytes, 5 left: 0104000000");
    EXPECT_EQ(decode({0x01, 8, 0, 0, 0, 0, 0x01, 0x01, 0x22}),
              "if=0x01 len=8 flags=0x00 svc=0 cid=0 | ctl << truncated: control header wants 6 "
              "bytes, 3 left");
    EXPECT_EQ(decode({0x01, 9, 0, 0, 7, 1, 0, 0, 0, 0, 0}),
              "if=0x01 len=9 <<frame has 11 bytes, length says 10 flags=0x00 svc=7 cid=1 | svc "
              "<< truncated: service header wants 7 bytes, 5 left");

    bytes value_cut{0x01, 13, 0, 0, 0, 0, 0x01, 0x01, 0x22, 0x00, 7, 0, 0x02, 4, 0, 0};
    EXPECT_EQ(decode(value_cut),
              "if=0x01 len=13 <<frame has 16 bytes, length says 14 flags=0x00 svc=0 cid=0 | ctl "
              "type=1 txn=1 msg=0x0022 tlvlen=7 | tlv 0x02[4] << truncated: TLV 0x02 wants 4 "
              "bytes, 1 left");

    bytes header_cut{0x01, 13, 0, 0, 0, 0, 0x00, 0x01, 0x22, 0x00, 4, 0, 0x10, 0, 0, 0x02};
    header_cut[1] = 15;
    EXPECT_EQ(decode(header_cut),
              "if=0x01 len=15 flags=0x00 svc=0 cid=0 | ctl type=0 txn=1 msg=0x0022 tlvlen=4 | "
              "tlv 0x10[0]= | << truncated: TLV header wants 3 bytes, 1 left");
}

TEST(FrameDecoder, MarksHeaderFieldsThatMakeNoSense) {
    bytes f{0x02, 6, 0, 0, 0xFF, 3, 0x03, 0x01, 0x22, 0x00, 0x00, 0x00, 0xAB, 0xCD};
    f[1] = static_cast<std::uint8_t>(f.size() - 1);
    // Service type 255 is not the control service, so the 7-byte header is used; its length
    // field is 0xAB00 and only one byte follows.
    EXPECT_EQ(decode(f),
              "if=0x02 <<not 0x01 len=13 flags=0x00 svc=255 <<invalid service type cid=3 | svc "
              "type=3 txn=8705 msg=0x0000 tlvlen=43776 | << truncated: TLV header wants 3 bytes, 1 "
              "left");

    bytes ctl{0x01, 0, 0, 0, 0, 0, 0x07, 0x09, 0x21, 0x00, 3, 0, 0x01, 0, 0, 0xAA, 0xBB};
    // The TLV list is shorter than what the frame holds.
    ctl[1] = static_cast<std::uint8_t>(ctl.size() - 1);
    EXPECT_EQ(decode(ctl),
              "if=0x01 len=16 flags=0x00 svc=0 cid=0 | ctl type=7 <<unknown message type txn=9 "
              "msg=0x0021 tlvlen=3 | tlv 0x01[0]= << 2 trailing bytes: aabb");
}

}  // namespace

namespace {

// Every prefix of a well-formed frame: the decoder stays inside the bytes it was given (the
// copies are exact-size, so the address sanitizer sees an over-read) and says where the
// frame stops making sense.
TEST(FrameDecoder, EveryPrefixOfAFrameIsMarked) {
    const bytes full{0x01, 23, 0, 0x00, 0, 0, 0x01, 0x05, 0x22, 0x00, 12, 0,
                     0x02, 4,  0, 0,    0, 0, 0,    0x01, 2,    0,    3,  7};
    ASSERT_EQ(decode(full).find("<<"), std::string::npos) << decode(full);
    for (std::size_t n = 0; n < full.size(); ++n) {
        bytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        std::string line = decode(prefix);
        EXPECT_NE(line.find("<<"), std::string::npos) << n << ": " << line;
    }
}

TEST(FrameDecoder, LengthFieldUsesBothBytes) {
    bytes f(6 + 7 + 0x100, 0);
    f[0] = 0x01;
    f[4] = 9;
    f[6 + 5] = 0x00;
    f[6 + 6] = 0x01;  // TLV list of 256 bytes
    std::size_t field = f.size() - 1;
    f[1] = static_cast<std::uint8_t>(field & 0xFF);
    f[2] = static_cast<std::uint8_t>(field >> 8);
    std::string line = decode(f);
    EXPECT_EQ(line.rfind("if=0x01 len=268 flags=0x00 svc=9 cid=0 | svc type=0 txn=0 msg=0x0000 "
                         "tlvlen=256",
                         0),
              0u)
        << line;
}

}  // namespace
