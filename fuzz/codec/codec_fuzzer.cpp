// Every codec reader on arbitrary bytes, and the writers on arbitrary sizes: the readers
// consume exactly what their contract says, never point outside the bytes given, and what
// the writers produce reads back the same.
#include <cstdint>
#include <cstring>
#include <vector>

#include "protocol/frame_codec.h"
#include "support/fuzz_support.h"

namespace {

using fuzz::expect;
using fuzz::inside;

VRAX_CURSOR over(std::uint8_t* p, std::size_t n) {
    return VRAX_CURSOR{p, static_cast<ULONG>(n)};
}

void walk_tlvs(std::uint8_t* base, std::size_t size) {
    VRAX_CURSOR c = over(base, size);
    for (;;) {
        VRAX_CURSOR before = c;
        UCHAR type;
        USHORT length;
        PUCHAR value;
        int r = ReadTlv(&c, &type, &length, &value);
        if (r < 0) {
            expect(r == -1, "ReadTlv failure is -1");
            ULONG consumed = before.Remaining - c.Remaining;
            expect(consumed == (before.Remaining < 3 ? 0u : 3u), "ReadTlv failure consumption");
            expect(c.Next == before.Next + consumed, "ReadTlv cursor pair agrees");
            return;
        }
        expect(r == length + 3, "ReadTlv returns length + 3");
        expect(c.Next == before.Next + r && c.Remaining == before.Remaining - r,
               "ReadTlv consumes exactly the TLV");
        expect(value == before.Next + 3 && inside(value, length, base, size),
               "TLV value inside the buffer");
        expect(type == before.Next[0], "TLV type");
    }
}

void control_header(std::uint8_t* base, std::size_t size) {
    VRAX_CURSOR c = over(base, size);
    USHORT id = 0, length = 0;
    UCHAR txn = 0, type = 0;
    int r = ReadControlHeader(&c, &id, &length, &txn, &type);
    if (size < 6) {
        expect(r == -1 && c.Remaining == size && c.Next == base, "short control header");
        return;
    }
    expect(c.Remaining == size - 6 && c.Next == base + 6, "control header consumes 6 bytes");
    if (base[0] > 2) {
        expect(r == -1, "unknown message type refused");
        return;
    }
    expect(r == 0 && type == base[0] && txn == base[1] &&
               id == static_cast<USHORT>(base[2] | base[3] << 8) &&
               length == static_cast<USHORT>(base[4] | base[5] << 8),
           "control header fields");
}

void result_tlv(std::uint8_t* base, std::size_t size) {
    VRAX_CURSOR c = over(base, size);
    USHORT error = 0xBEEF;
    int r = ReadResultTlv(&c, &error);
    if (r == -1) {
        expect(c.Next == base && c.Remaining == size && error == 0, "unreadable result TLV");
        return;
    }
    expect(size >= 7 && base[0] == 0x02, "result TLV type");
    std::size_t tlv = 3u + static_cast<std::size_t>(base[1] | base[2] << 8);
    expect(tlv >= 7 && tlv <= size, "result value holds result and error code");
    expect(c.Next == base + tlv && c.Remaining == size - tlv, "moves past the result TLV");
    bool failed = base[3] == 1 && base[4] == 0;
    expect(r == (failed ? -2 : 0), "result status");
    expect(error == (failed ? static_cast<USHORT>(base[5] | base[6] << 8) : 0), "error code");
}

// Writes one TLV whose type, length and area size come from the input, then reads it back.
void write_tlv(const std::uint8_t* data, std::size_t size) {
    if (size < 4)
        return;
    UCHAR type = data[0];
    std::size_t length = static_cast<std::size_t>(data[1] | data[2] << 8) % 512;
    std::size_t area = data[3] * 2u;
    std::vector<std::uint8_t> value(length, 0x5A);
    for (std::size_t i = 0; i < length && 4 + i < size; ++i)
        value[i] = data[4 + i];

    fuzz::exact_copy buffer(nullptr, 0, area);
    std::memset(buffer.begin_of_storage(), 0xEE, area);
    VRAX_CURSOR c = over(buffer.begin_of_storage(), area);
    int r = WriteTlv(&c, type, static_cast<ULONG>(length), length ? value.data() : nullptr);
    if (area < length + 3) {
        expect(r == -1 && c.Remaining == area, "TLV that does not fit is refused");
        for (std::size_t i = 0; i < area; ++i) {
            expect(buffer.begin_of_storage()[i] == 0xEE, "refused TLV writes nothing");
        }
        return;
    }
    expect(r == static_cast<int>(length + 3) && c.Remaining == area - length - 3, "TLV written");
    VRAX_CURSOR back = over(buffer.begin_of_storage(), area);
    UCHAR t;
    USHORT l;
    PUCHAR v;
    expect(ReadTlv(&back, &t, &l, &v) == r && t == type && l == length &&
               (length == 0 || std::memcmp(v, value.data(), length) == 0),
           "written TLV reads back");
}

void frame_header(const std::uint8_t* data, std::size_t size) {
    std::size_t message = size;
    fuzz::exact_copy frame(data, message, VRAX_FRAME_HEADER_SIZE);
    WriteFrameHeader(frame.data(), static_cast<ULONG>(message), size ? data[0] : 0,
                     size > 1 ? data[1] : 0);
    const std::uint8_t* h = frame.begin_of_storage();
    expect(h[0] == 0x01 && h[3] == 0 && static_cast<std::size_t>(h[1] | h[2] << 8) == message + 5,
           "frame header");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::exact_copy input(data, size);
    walk_tlvs(input.data(), input.size());
    control_header(input.data(), input.size());
    result_tlv(input.data(), input.size());
    write_tlv(data, size);
    if (size <= VRAX_MESSAGE_MAX_SIZE)
        frame_header(data, size);
    return 0;
}
