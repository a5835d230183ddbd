// The modem's own codec for the frames on a port: one frame carries one service message for
// one (service type, client id). It is written for the modem's side and shares nothing with
// the driver's codec, so a mistake in one is caught by the other.
//
//   frame            0x01, length (16-bit: frame size - 1), flags, service type, client id
//   control message  (service type 0) type, transaction id (8-bit), message id, TLV length
//   service message  (types 1..254) type, transaction id (16-bit), message id, TLV length
//   TLV              type, value length (16-bit), value
//
// Every multi-byte field is little-endian. encode() can damage what it writes on purpose
// (the misbehaviour the modem is asked for); decode() is strict and says what is wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace modem {

using bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t interface_type = 0x01;
inline constexpr std::size_t frame_header_size = 6;
inline constexpr std::size_t control_header_size = 6;
inline constexpr std::size_t service_header_size = 7;
inline constexpr std::size_t tlv_header_size = 3;
inline constexpr std::size_t max_frame_size = 65536;

inline constexpr std::uint8_t control_service = 0;
inline constexpr std::uint8_t broadcast_client = 0xFF;

// Control-service message types.
inline constexpr std::uint8_t control_request = 0;
inline constexpr std::uint8_t control_response = 1;
inline constexpr std::uint8_t control_indication = 2;

// The result TLV that opens every response: 16-bit result (1 = failure), 16-bit error code.
inline constexpr std::uint8_t result_tlv = 0x02;
inline constexpr std::uint16_t result_success = 0;
inline constexpr std::uint16_t result_failure = 1;

struct tlv {
    std::uint8_t type = 0;
    bytes value;
    bool operator==(const tlv&) const = default;
};

// One service message with the frame fields around it. For the control service the
// transaction id travels in 8 bits (encode() keeps the low byte).
struct message {
    std::uint8_t service_type = 0;
    std::uint8_t client_id = 0;
    std::uint8_t flags = 0;
    std::uint8_t message_type = 0;
    std::uint16_t transaction_id = 0;
    std::uint16_t message_id = 0;
    std::vector<tlv> tlvs;
    // Raw bytes after the TLV list, counted in the header's TLV length: the service table's
    // second list travels this way (see engine.h). decode() never fills it.
    bytes trailing;
    bool operator==(const message&) const = default;
};

// Deliberate damage encode() applies after laying out a well-formed frame.
struct damage {
    int frame_length_delta = 0;              // added to the frame header's length field
    int message_length_delta = 0;            // added to the control / service header's TLV length
    int last_tlv_length_delta = 0;           // added to the last TLV's value length field
    std::optional<std::size_t> truncate_to;  // keep only this many bytes of the frame
    bool any() const {
        return frame_length_delta != 0 || message_length_delta != 0 || last_tlv_length_delta != 0 ||
               truncate_to.has_value();
    }
};

// The frame for `m`. Length fields wrap to 16 bits when damaged beyond their range.
bytes encode(const message& m, const damage& d = {});

struct decoded {
    std::optional<message> msg;  // set when the frame is well formed
    std::string problem;         // what is wrong otherwise
};
// Reads a frame strictly: the interface type, every length field exactly matching the bytes
// present, service type 255 refused, the TLV list consumed to its last byte.
decoded decode(std::span<const std::uint8_t> frame);

// Little-endian helpers for building and reading TLV values.
void put_u16(bytes& out, std::uint16_t v);
void put_u32(bytes& out, std::uint32_t v);
std::uint16_t get_u16(std::span<const std::uint8_t> in, std::size_t offset);

// The value of the first TLV of `type`, if any.
const tlv* find_tlv(const message& m, std::uint8_t type);

// A result TLV's value.
bytes result_value(std::uint16_t result, std::uint16_t error_code);

}  // namespace modem
