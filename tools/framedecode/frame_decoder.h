// Frame decoder: turns the bytes of one port frame into one readable line, for transcripts
// and test failure messages. It never trusts a length field: where the bytes stop making
// sense the line carries a mark starting with "<<" that says what was expected.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace framedecode {

// Value bytes shown per TLV before the rest is summarised as "..(+N)".
inline constexpr std::size_t max_value_bytes = 16;

// One line, for example
//   if=0x01 len=19 flags=0x00 svc=0 cid=0 | ctl type=1 txn=3 msg=0x0022 tlvlen=12 |
//   tlv 0x02[4]=00000000 tlv 0x01[2]=0307
// The control service (type 0) is read with its 6-byte header, every other with the 7-byte
// one.
std::string decode_frame(std::span<const std::uint8_t> frame);

struct decoded {
    std::string text;         // the line decode_frame returns
    bool well_formed = true;  // no "<<" mark: every header and TLV fits the bytes given
};
decoded decode(std::span<const std::uint8_t> frame);

}  // namespace framedecode
