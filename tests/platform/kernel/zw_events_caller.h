// A C caller of ZwCreateEvent (zw_events_caller.c).
#pragma once
#include <ntifs.h>

#ifdef __cplusplus
extern "C" {
#endif
NTSTATUS zw_create_event_of_raw_type(PHANDLE handle, POBJECT_ATTRIBUTES attributes, unsigned type);
#ifdef __cplusplus
}
#endif
