// Stand-ins for the callees of the routing layer that belong to other areas (delivery, the
// monitor hook, the reply catcher, the control-service handler, the transaction table, the
// port-open notice, the transmit path). They record every call, with the bytes they were
// given and the number of locks the calling thread held at that moment.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <ntddk.h>
#include <wdf.h>

namespace doubles {

enum class callee {
    deliver,
    monitor,
    awaiting,
    catch_reply,
    control,
    port_open_notice,
    init_transactions,
    reset_transactions,
    port_send,
};

struct call {
    callee what;
    ULONG key = 0;
    ULONG port = 0;
    UCHAR service = 0;
    UCHAR client = 0;
    UCHAR flags = 0;
    ULONG marker = 0;
    const UCHAR* data = nullptr;
    ULONG length = 0;
    std::vector<std::uint8_t> bytes{};
    std::size_t locks_held = 0;
};

struct state {
    std::vector<call> calls;
    // Session keys for which IsAwaitingReply answers TRUE.
    std::vector<ULONG> awaiting_keys;
    // What PortSend returns.
    int port_send_result = 0;
};

state& recorded();
std::vector<call> calls_of(callee what);
// Forget every recorded call (the answers configured stay).
void clear_calls();

}  // namespace doubles

// The driver-wide objects the routing layer reads; the driver's own definitions sit with
// the control device, which these tests do not create.
extern WDFDEVICE ControlDevice;
extern POOL_TYPE VraxPoolType;
