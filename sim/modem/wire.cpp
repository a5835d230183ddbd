// The modem's frame codec: layout, deliberate damage and strict reading.
#include "modem/wire.h"

namespace modem {
namespace {

void set_u16(bytes& out, std::size_t offset, std::uint16_t v) {
    out[offset] = static_cast<std::uint8_t>(v & 0xFF);
    out[offset + 1] = static_cast<std::uint8_t>(v >> 8);
}

std::uint16_t plus(std::size_t value, int delta) {
    return static_cast<std::uint16_t>(static_cast<long long>(value) + delta);
}

std::size_t header_size(std::uint8_t service_type) {
    return service_type == control_service ? control_header_size : service_header_size;
}

}  // namespace

void put_u16(bytes& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put_u32(bytes& out, std::uint32_t v) {
    put_u16(out, static_cast<std::uint16_t>(v & 0xFFFF));
    put_u16(out, static_cast<std::uint16_t>(v >> 16));
}

std::uint16_t get_u16(std::span<const std::uint8_t> in, std::size_t offset) {
    return static_cast<std::uint16_t>(in[offset] | (in[offset + 1] << 8));
}

const tlv* find_tlv(const message& m, std::uint8_t type) {
    for (const tlv& t : m.tlvs) {
        if (t.type == type)
            return &t;
    }
    return nullptr;
}

bytes result_value(std::uint16_t result, std::uint16_t error_code) {
    bytes v;
    put_u16(v, result);
    put_u16(v, error_code);
    return v;
}

bytes encode(const message& m, const damage& d) {
    bytes out(frame_header_size, 0);
    out[0] = interface_type;
    out[3] = m.flags;
    out[4] = m.service_type;
    out[5] = m.client_id;

    out.push_back(m.message_type);
    if (m.service_type == control_service) {
        out.push_back(static_cast<std::uint8_t>(m.transaction_id & 0xFF));
    } else {
        put_u16(out, m.transaction_id);
    }
    put_u16(out, m.message_id);
    const std::size_t length_at = out.size();
    put_u16(out, 0);

    const std::size_t list_at = out.size();
    std::size_t last_tlv_at = 0;
    for (const tlv& t : m.tlvs) {
        last_tlv_at = out.size();
        out.push_back(t.type);
        put_u16(out, static_cast<std::uint16_t>(t.value.size()));
        out.insert(out.end(), t.value.begin(), t.value.end());
    }
    out.insert(out.end(), m.trailing.begin(), m.trailing.end());
    set_u16(out, length_at, plus(out.size() - list_at, d.message_length_delta));
    if (!m.tlvs.empty() && d.last_tlv_length_delta != 0) {
        set_u16(out, last_tlv_at + 1, plus(m.tlvs.back().value.size(), d.last_tlv_length_delta));
    }
    set_u16(out, 1, plus(out.size() - 1, d.frame_length_delta));
    if (d.truncate_to && *d.truncate_to < out.size())
        out.resize(*d.truncate_to);
    return out;
}

decoded decode(std::span<const std::uint8_t> frame) {
    decoded r;
    if (frame.size() < frame_header_size) {
        r.problem = "frame of " + std::to_string(frame.size()) + " bytes, shorter than its header";
        return r;
    }
    if (frame[0] != interface_type) {
        r.problem = "interface type " + std::to_string(frame[0]);
        return r;
    }
    if (get_u16(frame, 1) != frame.size() - 1) {
        r.problem = "frame length field " + std::to_string(get_u16(frame, 1)) + " for " +
                    std::to_string(frame.size()) + " bytes";
        return r;
    }
    message m;
    m.flags = frame[3];
    m.service_type = frame[4];
    m.client_id = frame[5];
    if (m.service_type == 0xFF) {
        r.problem = "service type 255";
        return r;
    }
    std::span<const std::uint8_t> rest = frame.subspan(frame_header_size);
    const std::size_t header = header_size(m.service_type);
    if (rest.size() < header) {
        r.problem =
            "service message of " + std::to_string(rest.size()) + " bytes, shorter than its header";
        return r;
    }
    m.message_type = rest[0];
    std::size_t length;
    if (m.service_type == control_service) {
        m.transaction_id = rest[1];
        m.message_id = get_u16(rest, 2);
        length = get_u16(rest, 4);
    } else {
        m.transaction_id = get_u16(rest, 1);
        m.message_id = get_u16(rest, 3);
        length = get_u16(rest, 5);
    }
    rest = rest.subspan(header);
    if (length != rest.size()) {
        r.problem = "TLV length field " + std::to_string(length) + " for " +
                    std::to_string(rest.size()) + " bytes";
        return r;
    }
    while (!rest.empty()) {
        if (rest.size() < tlv_header_size) {
            r.problem = "TLV header cut short";
            return r;
        }
        tlv t;
        t.type = rest[0];
        const std::size_t value_length = get_u16(rest, 1);
        rest = rest.subspan(tlv_header_size);
        if (value_length > rest.size()) {
            r.problem = "TLV " + std::to_string(t.type) + " wants " + std::to_string(value_length) +
                        " bytes, " + std::to_string(rest.size()) + " left";
            return r;
        }
        t.value.assign(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(value_length));
        rest = rest.subspan(value_length);
        m.tlvs.push_back(std::move(t));
    }
    r.msg = std::move(m);
    return r;
}

}  // namespace modem
