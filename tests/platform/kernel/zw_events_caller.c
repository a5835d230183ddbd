// ZwCreateEvent called with an event type no EVENT_TYPE enumerator names, as a C caller can
// pass it: in C an enumeration holds any value of its integer type, in C++ such a value is
// undefined behaviour before the routine could refuse it.
#include <ntifs.h>

#include "zw_events_caller.h"

NTSTATUS zw_create_event_of_raw_type(PHANDLE handle, POBJECT_ATTRIBUTES attributes, unsigned type) {
    return ZwCreateEvent(handle, EVENT_ALL_ACCESS, attributes, (EVENT_TYPE)type, FALSE);
}
