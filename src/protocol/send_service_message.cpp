// The send primitive: every service message leaves the driver through here, framed in place
// and handed to the transmit path under the port's send lock.
#include <ntddk.h>
#include <wdf.h>

#include "routing_table.h"

#include "../port/port_send.h"
#include "../vrax_lock.h"
#include "../vrax_wire.h"
#include "frame_codec.h"
#include "lazy_wait_lock.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "send_service_message.tmh"
#endif

_Use_decl_annotations_ int SendServiceMessage(ULONG PortIndex, UCHAR ServiceType, UCHAR ClientId,
                                              PUCHAR Message, ULONG Length) {
    if (PortIndex >= VRAX_PORT_COUNT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "send: bad port %u", PortIndex);
        return -1;
    }
    // The length field cannot describe a longer frame.
    if (Length > VRAX_MESSAGE_MAX_SIZE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "send: port %u message of %u bytes refused",
                    PortIndex, Length);
        return -1;
    }

    WriteFrameHeader(Message, Length, ServiceType, ClientId);
    VRAX_ROUTING_ENTRY* entry = &RoutingTable[PortIndex];
    WDFWAITLOCK lock = VraxEnsureWaitLock(&entry->SendLock);
    if (lock == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "send: port %u lock creation failed", PortIndex);
        return -1;
    }

    VRAX_WAIT_LOCK_HOLDER holder(lock);
    if (VraxReadFlag(&entry->Open) == 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "send: port %u not open for routing", PortIndex);
        return VRAX_RESULT_PORT_NOT_OPEN;
    }
    if (PortSend(PortIndex, Message - VRAX_FRAME_HEADER_SIZE, Length + VRAX_FRAME_HEADER_SIZE) !=
        0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "send: port %u transmit failed", PortIndex);
        return -1;
    }
    return 0;
}
