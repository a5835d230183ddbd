// Recording definitions of the routing layer's callees; linked in place of the driver's own.
#include "callee_doubles.h"

#include <algorithm>

#include "core/lock_tracker.h"
#include "port/port_send.h"
#include "protocol/control_requests.h"
#include "protocol/control_responses.h"
#include "session/delivery.h"

WDFDEVICE ControlDevice = nullptr;
POOL_TYPE VraxPoolType = NonPagedPoolNx;

namespace doubles {

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

void clear_calls() {
    recorded().calls.clear();
}

static void record(call c) {
    c.locks_held = platform::lock_tracker::held_count();
    if (c.data != nullptr) {
        c.bytes.assign(c.data, c.data + c.length);
    }
    recorded().calls.push_back(std::move(c));
}

}  // namespace doubles

using doubles::callee;

VOID DeliverServiceMessage(ULONG SessionKey, ULONG PortIndex, UCHAR ServiceType, PUCHAR Message,
                           ULONG Length) {
    doubles::record({.what = callee::deliver,
                     .key = SessionKey,
                     .port = PortIndex,
                     .service = ServiceType,
                     .data = Message,
                     .length = Length});
}

VOID OfferToMonitors(ULONG OwnerKey, ULONG PortIndex, UCHAR ServiceType, UCHAR ClientId,
                     UCHAR Flags, ULONG TransactionMarker, PUCHAR Message, ULONG Length) {
    doubles::record({.what = callee::monitor,
                     .key = OwnerKey,
                     .port = PortIndex,
                     .service = ServiceType,
                     .client = ClientId,
                     .flags = Flags,
                     .marker = TransactionMarker,
                     .data = Message,
                     .length = Length});
}

BOOLEAN IsAwaitingReply(ULONG SessionKey) {
    doubles::record({.what = callee::awaiting, .key = SessionKey});
    const auto& keys = doubles::recorded().awaiting_keys;
    return std::find(keys.begin(), keys.end(), SessionKey) != keys.end();
}

VOID CatchReply(ULONG SessionKey, PUCHAR Data, ULONG Length) {
    doubles::record(
        {.what = callee::catch_reply, .key = SessionKey, .data = Data, .length = Length});
}

VOID HandleControlMessage(ULONG PortIndex, PUCHAR Message, ULONG Length) {
    doubles::record(
        {.what = callee::control, .port = PortIndex, .data = Message, .length = Length});
}

// The demultiplexer's port-ready step after it releases the routing lock; the routing tests
// route no service table, so there is never a restart to run.
VOID RunClientQueueRestart() {}

int SendPortOpenNotice(ULONG PortIndex) {
    doubles::record({.what = callee::port_open_notice, .port = PortIndex});
    return 0;
}

int InitTransactions() {
    doubles::record({.what = callee::init_transactions});
    return 0;
}

VOID ResetTransactions() {
    doubles::record({.what = callee::reset_transactions});
}

int PortSend(ULONG PortIndex, PUCHAR Frame, ULONG Length) {
    doubles::record(
        {.what = callee::port_send, .port = PortIndex, .data = Frame, .length = Length});
    return doubles::recorded().port_send_result;
}
