// Stand-ins for the callees of the control requests and responses that belong to other areas:
// the transmit path (PortSend), delivery with the monitor hook and the reply catcher, and the
// signals to sessions. Each records its calls with the bytes it was given and the number of
// locks the calling thread held.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <ntddk.h>
#include <wdf.h>

namespace control_doubles {

using bytes = std::vector<std::uint8_t>;

enum class callee {
    port_send,
    deliver,
    monitor,
    allocation,
    release_done,
    value,
    service_table,
};

struct call {
    callee what;
    ULONG port = 0;
    ULONG key = 0;
    UCHAR client = 0;
    USHORT error = 0;
    USHORT value = 0;
    ULONG marker = 0;
    bytes data{};
    std::size_t locks_held = 0;
};

struct state {
    std::vector<call> calls;
    // What PortSend returns.
    int port_send_result = 0;
    // Called inside PortSend, after the frame was recorded (locks of the sender held).
    std::function<void(const bytes& frame)> on_send;
};

state& recorded();
std::vector<call> calls_of(callee what);
// Frames handed to the transmit path, oldest first.
std::vector<bytes> sent_frames();
// Forgets the calls; the configured answers stay.
void clear_calls();

}  // namespace control_doubles

// The driver-wide objects the protocol layer reads; these tests create no control device.
extern WDFDEVICE ControlDevice;
extern POOL_TYPE VraxPoolType;
