// The parts of the installable-file-system kit's header that drivers outside file systems
// use as well: the native event-creation routine. Includes ntddk.h, as the WDK's does.
#pragma once

#include <ntddk.h>

EXTERN_C_START

// Creates an event object (named when ObjectAttributes names one) with the given type and
// state and opens a handle to it. With OBJ_OPENIF an existing event of that name is opened
// instead, its type and state unchanged, and STATUS_OBJECT_NAME_EXISTS returned; without it
// an existing name is STATUS_OBJECT_NAME_COLLISION. PASSIVE_LEVEL only.
NTSYSAPI NTSTATUS ZwCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                                POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType,
                                BOOLEAN InitialState);

EXTERN_C_END
