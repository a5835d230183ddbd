// Stress messages' tags (tag_codec.h).
#include "tag_codec.h"

#include <algorithm>

namespace stress {
namespace {

constexpr std::size_t service_header = 7;  // type, transaction id, message id, TLV length
constexpr std::size_t tlv_header = 3;

void put_u16(std::vector<std::uint8_t>& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

std::size_t u16_at(const std::uint8_t* p) {
    return static_cast<std::size_t>(p[0] | (p[1] << 8));
}

}  // namespace

std::vector<std::uint8_t> tagged_message(std::uint8_t type, std::uint16_t transaction,
                                         std::uint16_t message_id, tag t) {
    std::vector<std::uint8_t> b{type};
    put_u16(b, transaction);
    put_u16(b, message_id);
    put_u16(b, tlv_header + 8);
    b.push_back(tag_tlv);
    put_u16(b, 8);
    for (int i = 0; i < 8; ++i)
        b.push_back(static_cast<std::uint8_t>(t >> (8 * i)));
    return b;
}

std::optional<tag> find_tag(const std::uint8_t* m, std::size_t n) {
    if (m == nullptr || n < service_header)
        return std::nullopt;
    const std::size_t end = std::min(n, service_header + u16_at(m + 5));
    for (std::size_t p = service_header; p + tlv_header <= end;) {
        const std::size_t len = u16_at(m + p + 1);
        if (len > end - p - tlv_header)
            break;
        if (m[p] == tag_tlv && len == 8) {
            tag t = 0;
            for (int i = 0; i < 8; ++i)
                t |= static_cast<tag>(m[p + tlv_header + i]) << (8 * i);
            return t;
        }
        p += tlv_header + len;
    }
    return std::nullopt;
}

}  // namespace stress
