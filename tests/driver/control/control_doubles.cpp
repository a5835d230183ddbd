// Recording definitions of the protocol layer's callees in other areas; linked in place of
// the driver's own (each group replaces every routine of one driver source file).
#include "control_doubles.h"

#include "core/lock_tracker.h"
#include "port/port_send.h"
#include "session/delivery.h"

WDFDEVICE ControlDevice = nullptr;
POOL_TYPE VraxPoolType = NonPagedPoolNx;

namespace control_doubles {

state& recorded() {
    static state s;
    return s;
}

std::vector<call> calls_of(callee what) {
    std::vector<call> out;
    for (const call& c : recorded().calls) {
        if (c.what == what) {
            out.push_back(c);
        }
    }
    return out;
}

std::vector<bytes> sent_frames() {
    std::vector<bytes> out;
    for (const call& c : calls_of(callee::port_send)) {
        out.push_back(c.data);
    }
    return out;
}

void clear_calls() {
    recorded().calls.clear();
}

static void record(call c) {
    c.locks_held = platform::lock_tracker::held_count();
    recorded().calls.push_back(std::move(c));
}

static bytes copy(const UCHAR* data, ULONG length) {
    return data == nullptr ? bytes{} : bytes(data, data + length);
}

}  // namespace control_doubles

using control_doubles::callee;

// Transmit path (port_send.cpp).
int PortSend(ULONG PortIndex, PUCHAR Frame, ULONG Length) {
    control_doubles::record({.what = callee::port_send,
                             .port = PortIndex,
                             .data = control_doubles::copy(Frame, Length)});
    auto& s = control_doubles::recorded();
    if (s.on_send) {
        s.on_send(s.calls.back().data);
    }
    return s.port_send_result;
}

// Delivery (delivery.cpp), the monitor hook (monitor_hook.cpp), the reply catcher
// (reply_catcher.cpp).
VOID DeliverServiceMessage(ULONG SessionKey, ULONG PortIndex, UCHAR, PUCHAR Message, ULONG Length) {
    control_doubles::record({.what = callee::deliver,
                             .port = PortIndex,
                             .key = SessionKey,
                             .data = control_doubles::copy(Message, Length)});
}

VOID OfferToMonitors(ULONG OwnerKey, ULONG PortIndex, UCHAR, UCHAR ClientId, UCHAR,
                     ULONG TransactionMarker, PUCHAR Message, ULONG Length) {
    control_doubles::record({.what = callee::monitor,
                             .port = PortIndex,
                             .key = OwnerKey,
                             .client = ClientId,
                             .marker = TransactionMarker,
                             .data = control_doubles::copy(Message, Length)});
}

BOOLEAN IsAwaitingReply(ULONG) {
    return FALSE;
}

VOID CatchReply(ULONG, PUCHAR, ULONG) {}

// Signals to sessions (signals.cpp).
VOID SignalAllocationResult(ULONG PortIndex, ULONG SessionKey, UCHAR ClientId, USHORT ErrorCode) {
    control_doubles::record({.what = callee::allocation,
                             .port = PortIndex,
                             .key = SessionKey,
                             .client = ClientId,
                             .error = ErrorCode});
}

VOID SignalReleaseDone(ULONG PortIndex, ULONG SessionKey) {
    control_doubles::record({.what = callee::release_done, .port = PortIndex, .key = SessionKey});
}

VOID SignalValue(ULONG PortIndex, ULONG SessionKey, USHORT Value) {
    control_doubles::record(
        {.what = callee::value, .port = PortIndex, .key = SessionKey, .value = Value});
}

VOID StoreServiceTable(ULONG PortIndex, ULONG SessionKey, const UCHAR* Record) {
    control_doubles::record({.what = callee::service_table,
                             .port = PortIndex,
                             .key = SessionKey,
                             .data = control_doubles::copy(Record, 3328)});
}
