// Builders shared by the control-request and control-response tests: I/O-control inputs
// (descriptor and body), control messages and frames, and a fixture with ports 0 and 3 open
// for routing on the real routing layer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "control_doubles.h"
#include "core/faults.h"
#include "core/lock_tracker.h"
#include "framedecode/frame_decoder.h"
#include "kernel/pool.h"
#include "protocol/control_requests.h"
#include "protocol/routing.h"
#include "vrax_pool.h"
#include "vrax_wire.h"

namespace control_test {

using bytes = std::vector<std::uint8_t>;
using control_doubles::callee;
using control_doubles::calls_of;
using control_doubles::sent_frames;

inline void put32(bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// The control-request I/O control's input: descriptor, then the body (3,328 bytes unless
// `total` says otherwise).
struct ioctl_input {
    bytes data;
    explicit ioctl_input(std::uint32_t kind, std::uint32_t key = 0x10, std::uint32_t port = 0,
                         std::size_t total = VRAX_CONTROL_DESCRIPTOR_SIZE + VRAX_CONTROL_BODY_SIZE)
        : data(total, 0) {
        put32(data, 0, kind);
        put32(data, 4, key);
        put32(data, 20, port);
    }
    std::uint8_t& body(std::size_t i) { return data[VRAX_CONTROL_DESCRIPTOR_SIZE + i]; }
    int submit() { return SubmitControlIoctl(data.data(), static_cast<ULONG>(data.size())); }
};

// A control message: header (type, transaction id, message id, length of `tlvs`) and TLVs.
inline bytes control_message(std::uint8_t type, std::uint8_t id, std::uint16_t message_id,
                             const bytes& tlvs) {
    bytes m{type,
            id,
            static_cast<std::uint8_t>(message_id & 0xFF),
            static_cast<std::uint8_t>(message_id >> 8),
            static_cast<std::uint8_t>(tlvs.size() & 0xFF),
            static_cast<std::uint8_t>(tlvs.size() >> 8)};
    m.insert(m.end(), tlvs.begin(), tlvs.end());
    return m;
}

inline bytes tlv(std::uint8_t type, const bytes& value) {
    bytes t{type, static_cast<std::uint8_t>(value.size() & 0xFF),
            static_cast<std::uint8_t>(value.size() >> 8)};
    t.insert(t.end(), value.begin(), value.end());
    return t;
}

inline bytes result_tlv(std::uint16_t result, std::uint16_t error) {
    return tlv(VRAX_TLV_RESULT,
               {static_cast<std::uint8_t>(result & 0xFF), static_cast<std::uint8_t>(result >> 8),
                static_cast<std::uint8_t>(error & 0xFF), static_cast<std::uint8_t>(error >> 8)});
}

inline bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// A frame from the control service to client id 0 around `message`.
inline bytes control_frame(const bytes& message) {
    bytes f{0x01, 0, 0, 0, 0, 0};
    f.insert(f.end(), message.begin(), message.end());
    std::size_t field = f.size() - 1;
    f[1] = static_cast<std::uint8_t>(field & 0xFF);
    f[2] = static_cast<std::uint8_t>(field >> 8);
    return f;
}

// A frame of a control request the driver sends: client id 0 on the control service.
inline bytes request_frame(std::uint8_t id, std::uint16_t message_id, const bytes& tlvs) {
    return control_frame(control_message(VRAX_MESSAGE_REQUEST, id, message_id, tlvs));
}

inline std::size_t records() {
    return platform::kernel::pool::outstanding(VRAX_TAG_DRIVER).count;
}

inline std::string decoded(const std::vector<bytes>& frames) {
    std::string out;
    for (const bytes& f : frames) {
        out += framedecode::decode_frame(f) + "\n";
    }
    return out;
}

// Ports 0 and 3 open for routing; each has sent its port-open notice (transaction id 1).
class ControlFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        control_doubles::recorded().port_send_result = 0;
        control_doubles::recorded().on_send = nullptr;
        ASSERT_EQ(InitRouting(), 0);
        ASSERT_EQ(OpenPortRouting(0), 0);
        ASSERT_EQ(OpenPortRouting(3), 0);
        control_doubles::clear_calls();
    }
    void TearDown() override {
        control_doubles::recorded().on_send = nullptr;
        platform::faults::clear();
        ResetRouting();
        EXPECT_EQ(records(), 0u) << "every transaction record is freed by the reset";
        for (ULONG tag : {VRAX_TAG_CONTROL_COPY, VRAX_TAG_RESPONSE, VRAX_TAG_DEFERRED_E,
                          VRAX_TAG_DEFERRED_G, VRAX_TAG_DEFERRED_H, VRAX_TAG_CLIENT_RECORD}) {
            EXPECT_EQ(platform::kernel::pool::outstanding(tag).count, 0u) << std::hex << tag;
        }
        EXPECT_EQ(platform::lock_tracker::held_count(), 0u);
    }
};

}  // namespace control_test
