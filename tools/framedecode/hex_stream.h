// Byte streams for the decoder command: hex text as people paste it (whitespace, commas,
// optional 0x before each byte or run), and a stream of frames cut apart by their length
// fields, where the last piece may be a frame the stream stops in the middle of.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace framedecode {

// Appends the bytes `text` spells to `out`. Tokens are separated by whitespace or commas;
// each may start with 0x or 0X; a token of one or two digits is one byte, a longer one a run
// of byte pairs. False, with `error` saying which token, on anything else; `out` then holds
// the bytes of the tokens before it.
bool parse_hex(std::string_view text, std::vector<std::uint8_t>& out, std::string& error);

struct stream_piece {
    std::span<const std::uint8_t> bytes;
    // The stream holds every byte the piece's length field asks for (one more than the
    // field's value, the interface byte). False for the last piece of a cut stream.
    bool complete = false;
};

// Cuts `stream` into frames by their length fields (bytes 1 and 2, little-endian: the frame
// is that many bytes after the interface byte). Every byte lands in exactly one piece; a
// stream that ends inside a frame, or inside the length field itself, ends with an
// incomplete piece holding the rest.
std::vector<stream_piece> split_stream(std::span<const std::uint8_t> stream);

}  // namespace framedecode
