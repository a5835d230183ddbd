// The decoder command: hex text in the forms people paste, a stream cut into frames by their
// length fields, and the exit status that tells a clean stream from a cut or malformed one.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "framedecode/frame_decoder.h"
#include "framedecode/hex_stream.h"

namespace {

using bytes = std::vector<std::uint8_t>;

// The port-open notice and a client-id answer, as they travel on the channel.
const bytes notice{0x01, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x27, 0x00, 0x00, 0x00};
const bytes grant{0x01, 0x17, 0x00, 0x00, 0x00, 0x00, 0x01, 0x05, 0x22, 0x00, 0x0c, 0x00,
                  0x02, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x01, 0x01};

bytes parse(const std::string& text) {
    bytes out;
    std::string error;
    EXPECT_TRUE(framedecode::parse_hex(text, out, error)) << error;
    return out;
}

TEST(HexText, AcceptsSpacesCommasPrefixesAndRuns) {
    const bytes expected{0x01, 0x0b, 0x00, 0xff};
    EXPECT_EQ(parse("01 0b 00 ff"), expected);
    EXPECT_EQ(parse("0x01,0x0B,0x00,0xFF"), expected);
    EXPECT_EQ(parse("  0x01, 0x0b,\n\t00 , FF\n"), expected);
    EXPECT_EQ(parse("010b00ff"), expected);
    EXPECT_EQ(parse("0x010b 00ff"), expected);
    EXPECT_EQ(parse("1 b 0 ff"), expected) << "a token of one digit is one byte";
    EXPECT_EQ(parse(" , \n"), bytes{});
}

TEST(HexText, RefusesWhatIsNotHexAndKeepsTheBytesBefore) {
    for (const char* bad : {"01 zz", "01 0x", "01 abc", "01 0x1g", "01 -2"}) {
        bytes out;
        std::string error;
        EXPECT_FALSE(framedecode::parse_hex(bad, out, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
        EXPECT_EQ(out, bytes{0x01}) << bad;
    }
}

TEST(Stream, CutsFramesByTheirLengthFields) {
    bytes stream = notice;
    stream.insert(stream.end(), grant.begin(), grant.end());
    auto pieces = framedecode::split_stream(stream);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_TRUE(pieces[0].complete);
    EXPECT_EQ(bytes(pieces[0].bytes.begin(), pieces[0].bytes.end()), notice);
    EXPECT_TRUE(pieces[1].complete);
    EXPECT_EQ(bytes(pieces[1].bytes.begin(), pieces[1].bytes.end()), grant);
}

TEST(Stream, AStreamEndingInsideAFrameEndsWithAnIncompletePiece) {
    // Cut at every point of the second frame, the length field included: the first frame
    // stays whole and the rest is one incomplete piece holding every remaining byte.
    for (std::size_t keep = 1; keep < grant.size(); ++keep) {
        bytes stream = notice;
        stream.insert(stream.end(), grant.begin(), grant.begin() + keep);
        auto pieces = framedecode::split_stream(stream);
        ASSERT_EQ(pieces.size(), 2u) << keep;
        EXPECT_TRUE(pieces[0].complete);
        EXPECT_FALSE(pieces[1].complete) << keep;
        EXPECT_EQ(pieces[1].bytes.size(), keep);
    }
    // A length field of 0 makes a one-byte frame; the stream still advances.
    auto pieces = framedecode::split_stream(bytes{0x01, 0x00, 0x00, 0x01, 0x00, 0x00});
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].bytes.size(), 1u);
    EXPECT_TRUE(pieces[0].complete);
    EXPECT_FALSE(pieces[1].complete);
}

TEST(Decode, WellFormedMeansNoMark) {
    EXPECT_TRUE(framedecode::decode(notice).well_formed);
    EXPECT_TRUE(framedecode::decode(grant).well_formed);
    bytes cut_tlv = grant;
    cut_tlv[20] = 9;  // TLV 0x01 says 9 bytes, 2 follow
    EXPECT_FALSE(framedecode::decode(cut_tlv).well_formed);
    bytes wrong_interface = notice;
    wrong_interface[0] = 0x02;
    EXPECT_FALSE(framedecode::decode(wrong_interface).well_formed);
}

// ---- The command ------------------------------------------------------------------------------

struct run_result {
    int status = -1;
    std::string out;
};

// Runs the command through the shell; `input`, when given, goes to its standard input.
run_result run(const std::string& arguments, const std::string* input = nullptr) {
    std::string command = std::string(VRAXDECODE_PATH) + " " + arguments + " 2>&1";
    if (input != nullptr) {
        command = "printf '%s' '" + *input + "' | " + command;
    }
    run_result r;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        return r;
    }
    char buffer[512];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) {
        r.out.append(buffer, n);
    }
    const int raw = pclose(p);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return r;
}

TEST(VraxdecodeCommand, ArgumentsGiveOneLinePerFrame) {
    run_result r =
        run("01 0b 00 00 00 00 00 01 27 00 00 00 0x01,0x0b,0x00,0x00,0x00,0x00,0x00,"
            "0x02,0x21,0x00,0x00,0x00");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out,
              "frame 1 (12 bytes): if=0x01 len=11 flags=0x00 svc=0 cid=0 | ctl type=0 txn=1 "
              "msg=0x0027 tlvlen=0\n"
              "frame 2 (12 bytes): if=0x01 len=11 flags=0x00 svc=0 cid=0 | ctl type=0 txn=2 "
              "msg=0x0021 tlvlen=0\n");
}

TEST(VraxdecodeCommand, StandardInputWhenThereAreNoArguments) {
    const std::string text =
        "0x01 0x17 0x00 0x00 0x00 0x00\n01 05 22 00 0c 00\n"
        "02 04 00 00 00 00 00 01 02 00 01 01\n";
    run_result r = run("", &text);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("frame 1 (24 bytes): if=0x01 len=23 flags=0x00 svc=0 cid=0 | ctl type=1 "
                         "txn=5 msg=0x0022 tlvlen=12 | tlv 0x02[4]=00000000 | tlv 0x01[2]=0101"),
              std::string::npos)
        << r.out;
}

TEST(VraxdecodeCommand, ATruncatedOrMalformedFrameIsReportedAndFailsTheRun) {
    // The notice, then a grant cut after 10 bytes.
    run_result cut = run("010b0000000000012700000001170000000000010522");
    EXPECT_EQ(cut.status, 1) << cut.out;
    EXPECT_NE(cut.out.find("frame 1 (12 bytes): if=0x01"), std::string::npos) << cut.out;
    EXPECT_NE(cut.out.find("frame 2 (10 bytes) truncated: if=0x01 len=23 <<frame has 10 bytes, "
                           "length says 24"),
              std::string::npos)
        << cut.out;
    // Whole by its length field, but its TLV runs past the end.
    run_result bad = run("01 0e 00 00 00 00 00 01 27 00 04 00 01 09 00");
    EXPECT_EQ(bad.status, 1) << bad.out;
    EXPECT_NE(bad.out.find("frame 1 (15 bytes): "), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("<< truncated"), std::string::npos) << bad.out;
}

TEST(VraxdecodeCommand, UsageErrorsExitWithTwo) {
    run_result help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: vraxdecode"), std::string::npos) << help.out;
    run_result option = run("--frobnicate");
    EXPECT_EQ(option.status, 2);
    EXPECT_NE(option.out.find("unknown option --frobnicate"), std::string::npos) << option.out;
    run_result not_hex = run("01 0b xyz");
    EXPECT_EQ(not_hex.status, 2);
    EXPECT_NE(not_hex.out.find("\"xyz\" is not hex"), std::string::npos) << not_hex.out;
    const std::string empty = " \n";
    run_result nothing = run("", &empty);
    EXPECT_EQ(nothing.status, 2);
    EXPECT_NE(nothing.out.find("no bytes"), std::string::npos) << nothing.out;
}

}  // namespace
