// The session key index: a fixed table of chains through the sessions themselves, hashed by
// session key. It allocates nothing, so keeping it in step cannot fail.
#include <ntddk.h>
#include <wdf.h>

#include "session_index.h"

// A power of two; keys are drawn in sequence, so their low bits spread them evenly.
#define VRAX_SESSION_KEY_BUCKETS 256

// Chains of listed sessions, by bucket of their key, in listing order. ClientSessionsLock.
static PCLIENT_CONTEXT SessionKeyBuckets[VRAX_SESSION_KEY_BUCKETS];
// The last listing position handed out; 0 marks a session that is not indexed.
// ClientSessionsLock.
static ULONGLONG LastListedOrder;

static PCLIENT_CONTEXT* BucketOf(ULONG SessionKey) {
    return &SessionKeyBuckets[(SessionKey ^ (SessionKey >> 8)) & (VRAX_SESSION_KEY_BUCKETS - 1)];
}

// Links a session into its key's chain before the first session listed after it.
static VOID Link(PCLIENT_CONTEXT Session) {
    PCLIENT_CONTEXT* link = BucketOf(Session->SessionKey);
    while (*link != nullptr && (*link)->ListedOrder < Session->ListedOrder) {
        link = &(*link)->KeyIndexNext;
    }
    Session->KeyIndexNext = *link;
    *link = Session;
}

static VOID Unlink(PCLIENT_CONTEXT Session) {
    for (PCLIENT_CONTEXT* link = BucketOf(Session->SessionKey); *link != nullptr;
         link = &(*link)->KeyIndexNext) {
        if (*link == Session) {
            *link = Session->KeyIndexNext;
            Session->KeyIndexNext = nullptr;
            return;
        }
    }
}

_Use_decl_annotations_ VOID IndexSession(PCLIENT_CONTEXT Session) {
    Session->ListedOrder = ++LastListedOrder;
    Link(Session);
}

_Use_decl_annotations_ VOID UnindexSession(PCLIENT_CONTEXT Session) {
    if (Session->ListedOrder == 0) {
        return;
    }
    Unlink(Session);
    Session->ListedOrder = 0;
}

_Use_decl_annotations_ VOID RekeySession(PCLIENT_CONTEXT Session, ULONG SessionKey) {
    if (Session->ListedOrder == 0) {
        Session->SessionKey = SessionKey;
        return;
    }
    Unlink(Session);
    Session->SessionKey = SessionKey;
    Link(Session);
}

_Use_decl_annotations_ PCLIENT_CONTEXT FirstSessionWithKey(ULONG SessionKey) {
    PCLIENT_CONTEXT session = *BucketOf(SessionKey);
    while (session != nullptr && session->SessionKey != SessionKey) {
        session = session->KeyIndexNext;
    }
    return session;
}

_Use_decl_annotations_ PCLIENT_CONTEXT NextSessionWithKey(PCLIENT_CONTEXT Session,
                                                          ULONG SessionKey) {
    PCLIENT_CONTEXT session = Session->KeyIndexNext;
    while (session != nullptr && session->SessionKey != SessionKey) {
        session = session->KeyIndexNext;
    }
    return session;
}
