// Walking ClientSessions: the session at a position of the collection, for the delivery and
// signal paths that visit every session. The caller holds ClientSessionsLock.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "../vrax_device.h"
#include "session.h"

// The session whose file object is item Index of ClientSessions; NULL when there is no such
// item or the file object carries no session.
_IRQL_requires_max_(DISPATCH_LEVEL) inline PCLIENT_CONTEXT SessionAt(_In_ ULONG Index) {
    WDFOBJECT item = WdfCollectionGetItem(ClientSessions, Index);
    if (item == nullptr) {
        return nullptr;
    }
    return GetClientContext(item);
}
