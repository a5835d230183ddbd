// Frame decoder: frame header, control or service header, then the TLV list, each field
// checked against the bytes actually present.
#include "framedecode/frame_decoder.h"

#include <cstdarg>
#include <cstdio>
#include <string_view>

namespace framedecode {
namespace {

constexpr std::size_t frame_header_size = 6;
constexpr std::size_t control_header_size = 6;
constexpr std::size_t service_header_size = 7;
constexpr std::size_t tlv_header_size = 3;

std::uint16_t u16(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

// Builds the line piece by piece.
class line {
  public:
    [[gnu::format(printf, 2, 3)]] void add(const char* format, ...) {
        char piece[160];
        va_list args;
        va_start(args, format);
        std::vsnprintf(piece, sizeof piece, format, args);
        va_end(args);
        text_ += piece;
    }
    void add_hex(std::span<const std::uint8_t> bytes) {
        std::size_t shown = bytes.size() < max_value_bytes ? bytes.size() : max_value_bytes;
        for (std::size_t i = 0; i < shown; ++i) {
            add("%02x", bytes[i]);
        }
        if (shown < bytes.size()) {
            add("..(+%zu)", bytes.size() - shown);
        }
    }
    void truncated(std::string_view what, std::size_t wanted, std::size_t left) {
        add(" << truncated: %.*s wants %zu bytes, %zu left", static_cast<int>(what.size()),
            what.data(), wanted, left);
    }
    std::string take() { return std::move(text_); }

  private:
    std::string text_;
};

// Decodes the TLV list of `list`; `declared` is the header's length field.
void decode_tlvs(line& out, std::span<const std::uint8_t> rest, std::size_t declared) {
    std::span<const std::uint8_t> list =
        rest.first(declared < rest.size() ? declared : rest.size());
    while (!list.empty()) {
        if (list.size() < tlv_header_size) {
            out.add(" |");
            out.truncated("TLV header", tlv_header_size, list.size());
            return;
        }
        std::uint8_t type = list[0];
        std::size_t length = u16(list, 1);
        list = list.subspan(tlv_header_size);
        out.add(" | tlv 0x%02x[%zu]", type, length);
        if (list.size() < length) {
            char what[16];
            std::snprintf(what, sizeof what, "TLV 0x%02x", type);
            out.truncated(what, length, list.size());
            return;
        }
        out.add("=");
        out.add_hex(list.first(length));
        list = list.subspan(length);
    }
    if (declared > rest.size()) {
        out.add(" << TLV list wants %zu bytes, %zu left", declared, rest.size());
    } else if (declared < rest.size()) {
        out.add(" << %zu trailing bytes: ", rest.size() - declared);
        out.add_hex(rest.subspan(declared));
    }
}

void decode_control(line& out, std::span<const std::uint8_t> message) {
    if (message.size() < control_header_size) {
        out.add(" | ctl");
        out.truncated("control header", control_header_size, message.size());
        return;
    }
    std::uint8_t type = message[0];
    std::size_t declared = u16(message, 4);
    out.add(" | ctl type=%u", type);
    if (type > 2) {
        out.add(" <<unknown message type");
    }
    out.add(" txn=%u msg=0x%04x tlvlen=%zu", message[1], u16(message, 2), declared);
    decode_tlvs(out, message.subspan(control_header_size), declared);
}

void decode_service(line& out, std::span<const std::uint8_t> message) {
    if (message.size() < service_header_size) {
        out.add(" | svc");
        out.truncated("service header", service_header_size, message.size());
        return;
    }
    std::size_t declared = u16(message, 5);
    out.add(" | svc type=%u txn=%u msg=0x%04x tlvlen=%zu", message[0], u16(message, 1),
            u16(message, 3), declared);
    decode_tlvs(out, message.subspan(service_header_size), declared);
}

}  // namespace

std::string decode_frame(std::span<const std::uint8_t> frame) {
    line out;
    if (frame.size() < frame_header_size) {
        out.add("frame");
        out.truncated("frame header", frame_header_size, frame.size());
        if (!frame.empty()) {
            out.add(": ");
            out.add_hex(frame);
        }
        return out.take();
    }

    std::size_t length_field = u16(frame, 1);
    out.add("if=0x%02x", frame[0]);
    if (frame[0] != 0x01) {
        out.add(" <<not 0x01");
    }
    out.add(" len=%zu", length_field);
    if (length_field + 1 != frame.size()) {
        out.add(" <<frame has %zu bytes, length says %zu", frame.size(), length_field + 1);
    }
    out.add(" flags=0x%02x svc=%u", frame[3], frame[4]);
    if (frame[4] == 0xFF) {
        out.add(" <<invalid service type");
    }
    out.add(frame[5] == 0xFF ? " cid=0xff(broadcast)" : " cid=%u", frame[5]);

    std::span<const std::uint8_t> message = frame.subspan(frame_header_size);
    if (frame[4] == 0) {
        decode_control(out, message);
    } else {
        decode_service(out, message);
    }
    return out.take();
}

decoded decode(std::span<const std::uint8_t> frame) {
    decoded d;
    d.text = decode_frame(frame);
    d.well_formed = d.text.find("<<") == std::string::npos;
    return d;
}

}  // namespace framedecode
