// Outcomes of control-service responses recorded in the sessions they belong to: a client id
// granted or refused, a release confirmed, a value answered, and the port's service table,
// which marks the port ready. Each wakes the control that waits on the session's event.
#include <ntddk.h>
#include <wdf.h>

#include "../vrax_device.h"
#include "../vrax_lock.h"
#include "../vrax_wire.h"
#include "delivery.h"
#include "port_state.h"
#include "session_walk.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "signals.tmh"
#endif

namespace {

// Reads a 32-bit little-endian field of the service-table record.
LONG ReadCount(_In_reads_bytes_(4) const UCHAR* Field) {
    return (LONG)((ULONG)Field[0] | ((ULONG)Field[1] << 8) | ((ULONG)Field[2] << 16) |
                  ((ULONG)Field[3] << 24));
}

// Whether walking ClientSessions can go on past position Index, which yielded Session.
BOOLEAN Visitable(_In_opt_ PCLIENT_CONTEXT Session, _In_ ULONG Index) {
    if (Session == nullptr) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "signals: no session at %u", Index);
        return FALSE;
    }
    return TRUE;
}

}  // namespace

_Use_decl_annotations_ VOID SignalAllocationResult(ULONG PortIndex, ULONG SessionKey,
                                                   UCHAR ClientId, USHORT ErrorCode) {
    VRAX_WAIT_LOCK_HOLDER lock(ClientSessionsLock);
    ULONG count = WdfCollectionGetCount(ClientSessions);
    for (ULONG i = 0; i < count; ++i) {
        PCLIENT_CONTEXT session = SessionAt(i);
        if (!Visitable(session, i)) {
            return;
        }
        if (session->PortIndex != PortIndex || session->SessionKey != SessionKey) {
            continue;
        }
        // The write path reads the id under the session's WriteLock.
        WdfWaitLockAcquire(session->WriteLock, nullptr);
        if (ErrorCode == VRAX_ERROR_NO_CLIENT_IDS) {
            session->ClientId = VRAX_CLIENT_ID_REFUSED;
        } else if (ErrorCode != 0) {
            session->ClientId = 0;
        } else {
            session->ClientId = ClientId;
        }
        session->ClientIdVoided = 0;
        WdfWaitLockRelease(session->WriteLock);
        session->ClientIdHeld = 1;
        KeSetEvent(&session->AllocationEvent, 1, FALSE);
    }
}

_Use_decl_annotations_ VOID SignalReleaseDone(ULONG PortIndex, ULONG SessionKey) {
    VRAX_WAIT_LOCK_HOLDER lock(ClientSessionsLock);
    ULONG count = WdfCollectionGetCount(ClientSessions);
    for (ULONG i = 0; i < count; ++i) {
        PCLIENT_CONTEXT session = SessionAt(i);
        if (!Visitable(session, i)) {
            return;
        }
        if (session->PortIndex == PortIndex && session->SessionKey == SessionKey) {
            KeSetEvent(&session->ReleaseEvent, 1, FALSE);
        }
    }
}

// The port is not compared: the value query is answered to the session that asked, wherever
// it is bound.
_Use_decl_annotations_ VOID SignalValue(ULONG PortIndex, ULONG SessionKey, USHORT Value) {
    UNREFERENCED_PARAMETER(PortIndex);

    VRAX_WAIT_LOCK_HOLDER lock(ClientSessionsLock);
    ULONG count = WdfCollectionGetCount(ClientSessions);
    for (ULONG i = 0; i < count; ++i) {
        PCLIENT_CONTEXT session = SessionAt(i);
        if (!Visitable(session, i)) {
            return;
        }
        if (session->SessionKey == SessionKey) {
            session->RequestResult = Value;
            KeSetEvent(&session->ResultEvent, 1, FALSE);
        }
    }
}

// Entry i of the first list names the service and gives w0 and w1; entry i of the second
// list gives w2 and w3. A count above what the record holds is cut to that.
_Use_decl_annotations_ VOID StoreServiceTable(ULONG PortIndex, ULONG SessionKey,
                                              const UCHAR* Record) {
    UNREFERENCED_PARAMETER(SessionKey);

    if (PortIndex >= VRAX_PORT_COUNT) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "service table for bad port %u", PortIndex);
        return;
    }
    LONG count = ReadCount(Record + VRAX_SERVICE_TABLE_FIRST_COUNT);
    if (count > VRAX_SERVICE_TABLE_MAX_ENTRIES) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "port %u: service table count %d cut to %u",
                    PortIndex, count, VRAX_SERVICE_TABLE_MAX_ENTRIES);
        count = VRAX_SERVICE_TABLE_MAX_ENTRIES;
    }
    {
        VRAX_WAIT_LOCK_HOLDER lock(ClientSessionsLock);
        for (LONG i = 0; i < count; ++i) {
            const UCHAR* first =
                Record + VRAX_SERVICE_TABLE_FIRST_LIST + (ULONG)i * VRAX_SERVICE_TABLE_ENTRY_SIZE;
            const UCHAR* second =
                Record + VRAX_SERVICE_TABLE_SECOND_LIST + (ULONG)i * VRAX_SERVICE_TABLE_ENTRY_SIZE;
            UCHAR service = first[0];
            if (service == VRAX_SERVICE_INVALID) {
                continue;
            }
            USHORT* words = ServiceVersionTable[PortIndex][service].Words;
            words[0] = VraxReadU16(first + 2);
            words[1] = VraxReadU16(first + 4);
            words[2] = VraxReadU16(second + 2);
            words[3] = VraxReadU16(second + 4);
        }
    }
    NotifyPortState(PortIndex, VRAX_PORT_STATE_READY);
    KeSetEvent(&PortReadyEvent, 1, FALSE);
    // Starting the client queue presents its waiting requests on this thread, and this runs
    // under the port's routing lock: the start is left to the demultiplexer, which makes it
    // once it has released that lock.
    RequestClientQueueRestart();
}
