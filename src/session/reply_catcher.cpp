// The reply catcher for the service-2 query: a session waiting for the reply (Kind 2) gets
// the value of the reply's TLV 0x12 in ReplyData instead of a delivered message.
#include <ntddk.h>
#include <wdf.h>

#include "../vrax_device.h"
#include "../vrax_lock.h"
#include "../vrax_wire.h"
#include "delivery.h"
#include "session_index.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "reply_catcher.tmh"
#endif

namespace {

// Copies the value of every TLV 0x12 in Tlvs into ReplyData, the later over the earlier. A
// value longer than ReplyData is cut to its size; the walk ends at the first TLV that does
// not fit in what is left.
VOID CopyReplyTlvs(_Inout_ PCLIENT_CONTEXT Session, _In_reads_bytes_(Length) const UCHAR* Tlvs,
                   _In_ ULONG Length) {
    ULONG offset = 0;
    while (Length - offset >= VRAX_TLV_HEADER_SIZE) {
        const UCHAR type = Tlvs[offset];
        const ULONG valueLength = VraxReadU16(Tlvs + offset + 1);
        const ULONG valueOffset = offset + VRAX_TLV_HEADER_SIZE;
        if (valueLength > Length - valueOffset) {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                        "reply: TLV 0x%x of %u bytes at %u runs past %u", type, valueLength, offset,
                        Length);
            return;
        }
        if (type == VRAX_TLV_REPLY) {
            ULONG copied = valueLength < VRAX_REPLY_DATA_SIZE ? valueLength : VRAX_REPLY_DATA_SIZE;
            if (copied < valueLength) {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "reply: value of %u bytes cut to %u",
                            valueLength, copied);
            }
            RtlCopyMemory(Session->ReplyData, Tlvs + valueOffset, copied);
        }
        offset = valueOffset + valueLength;
    }
}

}  // namespace

_Use_decl_annotations_ BOOLEAN IsAwaitingReply(ULONG SessionKey) {
    // The first session with the key decides, as a walk of ClientSessions would find it.
    VRAX_WAIT_LOCK_HOLDER lock(ClientSessionsLock);
    PCLIENT_CONTEXT session = FirstSessionWithKey(SessionKey);
    return session != nullptr && session->Kind == VRAX_SESSION_KIND_AWAITING_REPLY ? TRUE : FALSE;
}

// Data is the first TLV's value; its first bytes are skipped and the TLVs after them walked.
_Use_decl_annotations_ VOID CatchReply(ULONG SessionKey, PUCHAR Data, ULONG Length) {
    // Too short for the skipped bytes: nothing to walk, the waiting session is still woken.
    const UCHAR* tlvs = Data;
    ULONG tlvLength = 0;
    if (Length >= VRAX_REPLY_CATCHER_SKIP) {
        tlvs = Data + VRAX_REPLY_CATCHER_SKIP;
        tlvLength = Length - VRAX_REPLY_CATCHER_SKIP;
    } else {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "reply for key 0x%x: %u bytes, none walked",
                    SessionKey, Length);
    }

    // Each session with the key gets its own walk over the same bytes.
    VRAX_WAIT_LOCK_HOLDER lock(ClientSessionsLock);
    for (PCLIENT_CONTEXT session = FirstSessionWithKey(SessionKey); session != nullptr;
         session = NextSessionWithKey(session, SessionKey)) {
        CopyReplyTlvs(session, tlvs, tlvLength);
        KeSetEvent(&session->ReplyEvent, 1, FALSE);
    }
}
