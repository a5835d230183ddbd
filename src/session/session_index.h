// The session key index: from a session key to the listed sessions that have it, so that a
// unicast delivery and the reply catcher find their session without walking ClientSessions.
//
// Invariant, under ClientSessionsLock: every session listed in ClientSessions is in exactly
// one chain, that of its SessionKey's bucket, and in no chain once it leaves the collection;
// each chain is in listing order (ListedOrder ascending), which is the order of
// ClientSessions, since the collection only appends and removal keeps the order of the rest.
// So the sessions with one key are met in the order a walk of ClientSessions meets them. The
// collection and the index change together, and a listed session's key changes only through
// RekeySession, all under one hold of ClientSessionsLock.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "session.h"

// Adds a session that was just listed in ClientSessions, under its SessionKey, after every
// listed session. The caller holds ClientSessionsLock.
_IRQL_requires_(PASSIVE_LEVEL) VOID IndexSession(_Inout_ PCLIENT_CONTEXT Session);

// Takes a session out of the index as it leaves ClientSessions; nothing for a session that
// was never indexed. The caller holds ClientSessionsLock.
_IRQL_requires_(PASSIVE_LEVEL) VOID UnindexSession(_Inout_ PCLIENT_CONTEXT Session);

// Sets a session's SessionKey and moves it to the new key's chain at its listing position.
// The caller holds ClientSessionsLock.
_IRQL_requires_(PASSIVE_LEVEL) VOID
    RekeySession(_Inout_ PCLIENT_CONTEXT Session, _In_ ULONG SessionKey);

// The first listed session with SessionKey, in ClientSessions order, or NULL; and the one
// after Session. The caller holds ClientSessionsLock.
_IRQL_requires_(PASSIVE_LEVEL) PCLIENT_CONTEXT FirstSessionWithKey(_In_ ULONG SessionKey);
_IRQL_requires_(PASSIVE_LEVEL) PCLIENT_CONTEXT
    NextSessionWithKey(_In_ PCLIENT_CONTEXT Session, _In_ ULONG SessionKey);
