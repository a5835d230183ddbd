// The port table: one record per SMD channel index (0..28) and the context attached to each
// port's I/O target.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "../vrax_device.h"

// Room for one short event name, zero-padded (the names are built when the channel opens).
#define VRAX_EVENT_NAME_CHARS 128

// Context of a port's I/O target. It lives exactly as long as that target: a re-open of the
// port creates a new target, so a new context with new events of the same names. An event
// pointer and its handle are set and cleared together.
typedef struct _IOTARGET_SMD_PORT_CONTEXT {
    PKEVENT ReadEvent;   // signalled by the SMD side when data can be read
    PKEVENT OpenEvent;   // signalled when the SMD channel is open
    PKEVENT CloseEvent;  // signalled when the SMD side closes the channel
    HANDLE ReadEventHandle;
    HANDLE OpenEventHandle;
    HANDLE CloseEventHandle;
    WCHAR ReadEventName[VRAX_EVENT_NAME_CHARS];
    WCHAR OpenEventName[VRAX_EVENT_NAME_CHARS];
    WCHAR CloseEventName[VRAX_EVENT_NAME_CHARS];
} IOTARGET_SMD_PORT_CONTEXT, *PIOTARGET_SMD_PORT_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(IOTARGET_SMD_PORT_CONTEXT, GetSmdPortContext)

// One port. Not locked: a port is opened by the arrival work item or re-opened by its own
// service thread, and closed only by that thread; the transmit path reads IoTarget as a
// single pointer on any thread. IoTarget is therefore written only with SmdPortSetTarget
// and read only with SmdPortCurrentTarget, by the owning thread too. A record is closed
// while IoTarget is NULL.
typedef struct _SMD_PORT_RECORD {
    WDFDEVICE Device;                        // owning control device, written at each open
    PIOTARGET_SMD_PORT_CONTEXT PortContext;  // context of the current target, or NULL
    WDFIOTARGET volatile IoTarget;           // the open target, or NULL while closed
    ULONG PortIndex;                         // written at each open; tags every received frame
    // Set by an arrival of the SMD interface that finds the port's service thread still
    // alive: the thread then closes the port and opens it again on the new interface
    // instead of a second open taking the record from under it. A synchronization event,
    // initialised by the open that starts the thread; waited on by that thread only.
    KEVENT RestartEvent;
    // Who serves an arrival's restart: VRAX_RESTART_NONE while the thread serves the port,
    // VRAX_RESTART_ASKED once an arrival has asked it (the thread takes the request with the
    // event), VRAX_RESTART_THREAD_LEAVING once the thread has closed the port to end. Moved
    // only by interlocked compare-exchange, so that a thread on its way out either takes a
    // restart asked of it or is seen leaving by the arrival, which then opens the port itself.
    LONG volatile RestartState;
    // A closed target of this port kept for the next open, or NULL. Targets are never
    // deleted while the device lives: a sender that read IoTarget just before a close still
    // holds a valid (closed) target, and re-using it keeps a channel that closes and
    // re-opens thousands of times to one target object.
    WDFIOTARGET SpareTarget;
} SMD_PORT_RECORD, *PSMD_PORT_RECORD;

#define VRAX_RESTART_NONE 0
#define VRAX_RESTART_ASKED 1
#define VRAX_RESTART_THREAD_LEAVING 2

// Zero at load; element i describes port i.
extern SMD_PORT_RECORD SmdPortTable[VRAX_PORT_COUNT];

// Publishes a port's target (or NULL at a close) to senders on other threads.
inline VOID SmdPortSetTarget(PSMD_PORT_RECORD Port, WDFIOTARGET Target) {
    (VOID) InterlockedExchangePointer((PVOID volatile*)&Port->IoTarget, (PVOID)Target);
}

// The port's target as a sender on any thread sees it now, or NULL while closed.
inline WDFIOTARGET SmdPortCurrentTarget(PSMD_PORT_RECORD Port) {
    return (WDFIOTARGET)InterlockedCompareExchangePointer((PVOID volatile*)&Port->IoTarget, nullptr,
                                                          nullptr);
}
