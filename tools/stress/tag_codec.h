// The tag a stress message carries in its body: TLV 0x70 with the 8-byte tag, little-endian.
// Messages are read back from the driver, so the reader trusts no length it finds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "oracle.h"

namespace stress {

inline constexpr std::uint8_t tag_tlv = 0x70;

// A service message without frame header: type, 16-bit transaction id, message id, TLV
// length, then the tag TLV.
std::vector<std::uint8_t> tagged_message(std::uint8_t type, std::uint16_t transaction,
                                         std::uint16_t message_id, tag t);

// The tag among a service message's TLVs (no frame header), if there is one: the first TLV
// 0x70 of exactly 8 bytes that lies within both the message and its declared TLV length.
std::optional<tag> find_tag(const std::uint8_t* message, std::size_t length);

}  // namespace stress
