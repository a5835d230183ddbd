// vraxdecode: the frame decoder as a command. Hex bytes come from the arguments or, when there
// are none, from standard input; the stream is cut into frames by their length fields and
// each frame is printed on one line.
//
//     vraxdecode 01 0b 00 00 00 00 00 01 27 00 00 00
//     echo "0x01,0x0b,0x00, ..." | vraxdecode
//
// Exit status: 0 when every frame decodes cleanly, 1 when one is truncated or malformed, 2 for
// a usage error (unknown option, text that is not hex, no bytes at all).
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "framedecode/frame_decoder.h"
#include "framedecode/hex_stream.h"

namespace {

const char usage[] =
    "usage: vraxdecode [HEX ...]\n"
    "       vraxdecode < FILE\n"
    "\n"
    "Decodes VRAX port frames, one line per frame. The bytes are given in hex as arguments\n"
    "or, without arguments, on standard input; whitespace, commas and a 0x before each byte\n"
    "or run of bytes are allowed (\"01 0b 00\", \"0x01,0x0b\", \"010b00\"). Several frames in\n"
    "one stream are cut apart by their length fields.\n"
    "\n"
    "Each line: the frame header (interface type, length, flags, service type, client id),\n"
    "the control header (service type 0) or service header, then every TLV. Where the bytes\n"
    "stop making sense the line carries a mark starting with \"<<\" saying what was expected;\n"
    "a frame the stream ends inside is printed as truncated.\n"
    "\n"
    "Exit status: 0 every frame decodes cleanly; 1 a frame is truncated or malformed; 2 usage\n"
    "error (unknown option, text that is not hex, no bytes).\n"
    "\n"
    "  -h, --help   this text\n";

}  // namespace

int main(int argc, char** argv) {
    std::string text;
    bool from_arguments = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (argv[i][0] == '-' && argv[i][1] != '\0') {
            std::fprintf(stderr, "vraxdecode: unknown option %s (try --help)\n", argv[i]);
            return 2;
        }
        text += argv[i];
        text += ' ';
        from_arguments = true;
    }
    if (!from_arguments) {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    }

    std::vector<std::uint8_t> stream;
    std::string error;
    if (!framedecode::parse_hex(text, stream, error)) {
        std::fprintf(stderr, "vraxdecode: %s (try --help)\n", error.c_str());
        return 2;
    }
    if (stream.empty()) {
        std::fprintf(stderr, "vraxdecode: no bytes to decode (try --help)\n");
        return 2;
    }

    int status = 0;
    int n = 0;
    for (const auto& piece : framedecode::split_stream(stream)) {
        const framedecode::decoded d = framedecode::decode(piece.bytes);
        std::printf("frame %d (%zu bytes)%s: %s\n", ++n, piece.bytes.size(),
                    piece.complete ? "" : " truncated", d.text.c_str());
        if (!piece.complete || !d.well_formed) {
            status = 1;
        }
    }
    return status;
}
