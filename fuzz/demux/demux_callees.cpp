// Stand-ins for the demultiplexer's callees in other areas. Each checks that it runs under
// exactly one lock (the port's routing lock) and that what it was handed lies inside the
// frame; the control-service stand-in reads the message the way the response handler does,
// and the reply catcher walks its TLVs, so those reads are fuzzed too.
#include "demux/demux_callees.h"

#include "core/lock_tracker.h"
#include "port/port_send.h"
#include "protocol/control_requests.h"
#include "protocol/control_responses.h"
#include "protocol/frame_codec.h"
#include "session/delivery.h"
#include "vrax_device.h"
#include "support/fuzz_support.h"

namespace fuzz::demux {

current_frame& frame() {
    static current_frame f;
    return f;
}

static void check_payload(const UCHAR* data, ULONG length, const char* who) {
    expect(platform::lock_tracker::held_count() == 1, who);
    expect(inside(data, length, frame().data, frame().size), who);
}

static void read_tlvs(VRAX_CURSOR c) {
    UCHAR type;
    USHORT length;
    PUCHAR value;
    while (ReadTlv(&c, &type, &length, &value) > 0) {
        expect(inside(value, length, frame().data, frame().size), "TLV value inside the frame");
    }
}

}  // namespace fuzz::demux

using namespace fuzz::demux;
using fuzz::expect;

VOID DeliverServiceMessage(ULONG SessionKey, ULONG PortIndex, UCHAR ServiceType, PUCHAR Message,
                           ULONG Length) {
    check_payload(Message, Length, "delivery");
    expect(PortIndex < VRAX_PORT_COUNT && ServiceType != 0xFF, "delivery port and service");
    expect(SessionKey == VRAX_SESSION_KEY_NONE || ServiceType != 0, "no owner on service 0");
    expect(Message == frame().data + 6 && Length == frame().size - 6, "delivery is the payload");
}

VOID OfferToMonitors(ULONG OwnerKey, ULONG PortIndex, UCHAR ServiceType, UCHAR ClientId,
                     UCHAR Flags, ULONG TransactionMarker, PUCHAR Message, ULONG Length) {
    check_payload(Message, Length, "monitor hook");
    expect(OwnerKey != VRAX_SESSION_KEY_NONE && PortIndex < VRAX_PORT_COUNT && ServiceType != 0 &&
               ServiceType != 0xFF && ClientId != 0xFF && TransactionMarker == 0 &&
               Flags == frame().data[3],
           "monitor arguments");
}

BOOLEAN IsAwaitingReply(ULONG SessionKey) {
    expect(platform::lock_tracker::held_count() == 1, "reply catcher query");
    return SessionKey == awaiting_key ? TRUE : FALSE;
}

VOID CatchReply(ULONG SessionKey, PUCHAR Data, ULONG Length) {
    check_payload(Data, Length, "reply catcher");
    expect(SessionKey == awaiting_key && Length >= 4, "reply catcher gets its 4 bytes");
    read_tlvs(VRAX_CURSOR{Data + 4, Length - 4});
}

VOID HandleControlMessage(ULONG PortIndex, PUCHAR Message, ULONG Length) {
    check_payload(Message, Length, "control handler");
    expect(PortIndex < VRAX_PORT_COUNT && frame().data[4] == 0, "control handler on service 0");
    VRAX_CURSOR c{Message, Length};
    USHORT id, length;
    UCHAR txn, type;
    if (ReadControlHeader(&c, &id, &length, &txn, &type) != 0 || length != c.Remaining)
        return;
    USHORT error;
    if (type == VRAX_MESSAGE_RESPONSE)
        ReadResultTlv(&c, &error);
    read_tlvs(c);
}

int SendPortOpenNotice(ULONG PortIndex) {
    expect(platform::lock_tracker::held_count() == 0 && PortIndex < VRAX_PORT_COUNT,
           "port-open notice outside the routing lock");
    return 0;
}

int InitTransactions() {
    return 0;
}

VOID ResetTransactions() {}

int PortSend(ULONG PortIndex, PUCHAR Frame, ULONG Length) {
    expect(platform::lock_tracker::held_count() == 1 && PortIndex < VRAX_PORT_COUNT,
           "transmit under the send lock");
    expect(Length >= 6 && Frame[0] == 0x01 &&
               static_cast<ULONG>(Frame[1] | Frame[2] << 8) == Length - 1,
           "sent frame header");
    return 0;
}
