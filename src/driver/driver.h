// Driver entry and unload: tracing start and stop, the pool type choice and the framework
// driver object.
#pragma once

#include <ntddk.h>
#include <wdf.h>

extern "C" DRIVER_INITIALIZE DriverEntry;
EVT_WDF_DRIVER_UNLOAD EvtDriverUnload;
EVT_WDF_OBJECT_CONTEXT_CLEANUP EvtDriverContextCleanup;

// The framework driver object, set once WdfDriverCreate has succeeded; nothing reads it.
extern WDFDRIVER VraxDriver;

// Protection flag for MDL mappings: no-execute where the pool is no-execute, else 0.
// Chosen together with the pool type.
extern ULONG VraxMdlProtection;

// Picks NonPagedPoolNx (and no-execute MDL mappings) on Windows 6.2 and later, and keeps
// NonPagedPool on earlier systems or when the version cannot be read. Runs once, in driver
// entry, before anything allocates.
_IRQL_requires_(PASSIVE_LEVEL) VOID VraxChoosePoolType(VOID);
