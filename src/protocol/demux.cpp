// Inbound demultiplexer: checks each received frame and routes its service message to the
// session owning its client id, to every session of its service on a broadcast, or to the
// control-service handler.
#include <ntddk.h>
#include <wdf.h>

#include "routing_table.h"

#include "routing_owners.h"

#include "../session/delivery.h"
#include "../vrax_lock.h"
#include "../vrax_wire.h"
#include "control_responses.h"
#include "lazy_wait_lock.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "demux.tmh"
#endif

// The reply catcher needs the service header, the first TLV's header and the 4 bytes it
// skips at the start of that TLV's value.
#define VRAX_REPLY_MIN_PAYLOAD (VRAX_FIRST_TLV_VALUE_OFFSET + VRAX_REPLY_CATCHER_SKIP)

_Use_decl_annotations_ VOID DemuxFrame(ULONG PortIndex, PUCHAR Frame, ULONG Length) {
    if (PortIndex >= VRAX_PORT_COUNT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "demux: bad port %u", PortIndex);
        return;
    }
    VRAX_ROUTING_ENTRY* entry = &RoutingTable[PortIndex];
    if (VraxReadFlag(&entry->Open) == 0) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "demux: port %u closed, %u bytes dropped",
                    PortIndex, Length);
        return;
    }
    if (Length < VRAX_FRAME_HEADER_SIZE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "demux: port %u frame of %u bytes dropped",
                    PortIndex, Length);
        return;
    }
    if (Frame[VRAX_FRAME_INTERFACE_OFFSET] != VRAX_INTERFACE_TYPE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "demux: port %u interface type 0x%x dropped",
                    PortIndex, Frame[VRAX_FRAME_INTERFACE_OFFSET]);
        return;
    }
    ULONG declared = VraxReadU16(Frame + VRAX_FRAME_LENGTH_OFFSET);
    if (declared != Length - 1) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                    "demux: port %u length field %u for %u bytes, dropped", PortIndex, declared,
                    Length);
        return;
    }
    UCHAR serviceType = Frame[VRAX_FRAME_SERVICE_TYPE_OFFSET];
    if (serviceType == VRAX_SERVICE_INVALID) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "demux: port %u service type %u dropped",
                    PortIndex, serviceType);
        return;
    }

    PUCHAR payload = Frame + VRAX_FRAME_HEADER_SIZE;
    ULONG payloadLength = Length - VRAX_FRAME_HEADER_SIZE;
    WDFWAITLOCK lock = VraxEnsureWaitLock(&entry->RoutingLock);
    if (lock == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "demux: port %u lock creation failed",
                    PortIndex);
        return;
    }

    {
        VRAX_WAIT_LOCK_HOLDER holder(lock);
        UCHAR clientId = Frame[VRAX_FRAME_CLIENT_ID_OFFSET];
        if (clientId == VRAX_CLIENT_ID_BROADCAST) {
            DeliverServiceMessage(VRAX_SESSION_KEY_NONE, PortIndex, serviceType, payload,
                                  payloadLength);
        } else {
            RouteUnicast(PortIndex, serviceType, clientId, Frame[VRAX_FRAME_FLAGS_OFFSET], payload,
                         payloadLength);
        }
    }
    // A service table routed above asks for the client queue to be started; the requests
    // the start presents run on this thread and may take the routing lock, so it is made
    // only now that the lock is released.
    RunClientQueueRestart();
}

_Use_decl_annotations_ VOID RouteUnicast(ULONG PortIndex, UCHAR ServiceType, UCHAR ClientId,
                                         UCHAR Flags, PUCHAR Payload, ULONG Length) {
    if (PortIndex >= VRAX_PORT_COUNT || ServiceType == VRAX_SERVICE_INVALID) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "route: bad port %u or service %u", PortIndex,
                    ServiceType);
        return;
    }
    // The newest record holding the id, from the port's owner index.
    PVRAX_CLIENT_RECORD owner = LookUpOwner(PortIndex, ServiceType, ClientId);
    if (owner == nullptr) {
        if (ServiceType == VRAX_SERVICE_CONTROL) {
            HandleControlMessage(PortIndex, Payload, Length);
        }
        // A frame for an id nobody holds on another service vanishes without a trace.
        return;
    }

    ULONG key = owner->SessionKey;
    OfferToMonitors(key, PortIndex, ServiceType, ClientId, Flags, 0, Payload, Length);
    if (Length >= VRAX_REPLY_MIN_PAYLOAD &&
        Payload[VRAX_SERVICE_MESSAGE_ID_OFFSET] == VRAX_SERVICE_TWO_QUERY_ID &&
        IsAwaitingReply(key)) {
        CatchReply(key, Payload + VRAX_FIRST_TLV_VALUE_OFFSET,
                   Length - VRAX_FIRST_TLV_VALUE_OFFSET);
        return;
    }
    DeliverServiceMessage(key, PortIndex, ServiceType, Payload, Length);
}
