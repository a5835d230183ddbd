// The control device's context, the driver-wide objects every subsystem shares, the service
// version table and the driver's limits and time-outs.
//
// Lock order, outermost first: a port's routing lock -> ClientSessionsLock -> one session's
// ReceiveLock or NotificationLock -> that session's WriteLock -> a port's transaction lock ->
// a port's send lock. KernelClientsLock is taken under a routing lock and never together with
// ClientSessionsLock; ClientQueueLock alone or under a routing lock once ClientSessionsLock
// has been released; InterfaceLock alone. All of them are framework wait locks.
#pragma once

#include <ntddk.h>
#include <wdf.h>

// Port indices 0 .. VRAX_PORT_COUNT - 1; only port 0 is ever opened.
#define VRAX_PORT_COUNT 29
// Service types 0 .. VRAX_SERVICE_TYPE_COUNT - 1; 0 is the control service.
#define VRAX_SERVICE_TYPE_COUNT 255
// Version words the control service reports per port and service type.
#define VRAX_SERVICE_VERSION_WORDS 4
// Slots for the named events programs open through the named-event controls.
#define VRAX_NAMED_EVENT_SLOTS 512
// Storage, in wide characters, for the symbolic link of the arrived SMD interface.
#define VRAX_SMD_LINK_CHARS 260

// Time limits, relative times in 100-ns units (negative: relative to now).
#define VRAX_100NS_PER_SECOND 10000000LL
#define VRAX_TIMEOUT_CONTROL_ANSWER (-5 * VRAX_100NS_PER_SECOND)
#define VRAX_TIMEOUT_SMD_OPEN (-3 * VRAX_100NS_PER_SECOND)
#define VRAX_TIMEOUT_SMD_CONTROL (-2 * VRAX_100NS_PER_SECOND)
#define VRAX_TIMEOUT_PORT_READ (-1 * VRAX_100NS_PER_SECOND)
#define VRAX_DELAY_AFTER_OPEN (-1 * VRAX_100NS_PER_SECOND)
#define VRAX_TIMEOUT_PORT_THREAD (-3 * VRAX_100NS_PER_SECOND)

// Context of the control device, zero-filled by the framework when the device is created.
typedef struct _VRAX_DEVICE_CONTEXT {
    // Whether the driver's device interface is enabled, TRUE or FALSE. Written under
    // InterfaceLock with interlocked exchange; read through VraxInterfaceEnabled, by file
    // create under the lock (it refuses sessions while clear) and by the disable path
    // without it.
    LONG volatile InterfaceEnabled;
    // The device interface has been created (once, on first need), TRUE or FALSE. Written by
    // the enable path and read by the disable path, which may run on another thread, without
    // a lock: interlocked operations on both sides.
    LONG volatile InterfaceCreated;
    WDFWAITLOCK InterfaceLock;
    WDFDEVICE Device;
    // The default queue. The port service thread stops and purges it when the port closes;
    // delivery starts it again when the port is ready.
    WDFQUEUE ClientQueue;
    // Per port, the referenced service thread, or NULL. Written by a port's first open and by
    // the port shutdown only.
    PETHREAD PortThreads[VRAX_PORT_COUNT];
    // Per port, the referenced service thread a bounded shutdown stopped waiting for, or
    // NULL. The thread may still run driver code: self-managed I/O clean-up and device
    // clean-up wait for it without limit before the device and the driver can go.
    PETHREAD AbandonedPortThreads[VRAX_PORT_COUNT];
    // Symbolic link of the arrived SMD interface (buffer below); ports are opened by it.
    UNICODE_STRING SmdSymbolicLink;
    WCHAR SmdSymbolicLinkBuffer[VRAX_SMD_LINK_CHARS];
    // The SMD interface notification registration, or NULL.
    PVOID InterfaceNotificationEntry;
    // Lets one interface work item at a time run: an arrival and a removal queue two work
    // items that the framework may run at once, and two port start-ups must not fill the
    // same port record together. A synchronization event, signalled while free; initialised
    // before the notification is registered.
    KEVENT InterfaceWorkGate;
    // TRUE once InterfaceWorkGate is initialised. The port shutdown passes the gate too, so
    // that no port start-up runs beside it; without the gate no start-up can have run.
    BOOLEAN InterfaceWorkGateReady;
    // Port indices in use, counted from 0.
    USHORT PortCount;
    // Named notification events programs opened, one reference each, with the kernel handle
    // at the same index. Slots 0 .. NamedEventCount - 1 are in use (or emptied by a port
    // shutdown, which leaves the count). The two arrays always change together.
    PKEVENT NamedEvents[VRAX_NAMED_EVENT_SLOTS];
    HANDLE NamedEventHandles[VRAX_NAMED_EVENT_SLOTS];
    ULONG NamedEventCount;
    // 1 after the SMD interface arrived, 0 after it left.
    ULONG SmdInterfaceArrived;
} VRAX_DEVICE_CONTEXT, *PVRAX_DEVICE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(VRAX_DEVICE_CONTEXT, GetVraxDeviceContext)

// Whether the device interface is enabled, as a thread that does not hold InterfaceLock sees
// it now.
inline BOOLEAN VraxInterfaceEnabled(PVRAX_DEVICE_CONTEXT Context) {
    return InterlockedCompareExchange(&Context->InterfaceEnabled, 0, 0) != FALSE ? TRUE : FALSE;
}

// The version words of one service on one port.
typedef struct _VRAX_SERVICE_VERSION {
    USHORT Words[VRAX_SERVICE_VERSION_WORDS];
} VRAX_SERVICE_VERSION, *PVRAX_SERVICE_VERSION;

// Driver-wide objects. The framework objects are children of the control device and live
// exactly as long as it; the driver serves one device.
extern WDFDEVICE ControlDevice;
// File objects of the open client sessions; guarded by ClientSessionsLock.
extern WDFCOLLECTION ClientSessions;
// Guards ClientSessions and the fields of every session.
extern WDFWAITLOCK ClientSessionsLock;
// Guards the stopped/started state of the client queue (ClientQueueStopped).
extern WDFWAITLOCK ClientQueueLock;
// TRUE while the client queue counts as stopped by the port service thread; TRUE at load.
extern BOOLEAN ClientQueueStopped;
// Records of registered kernel clients; guarded by KernelClientsLock.
extern WDFCOLLECTION KernelClients;
extern WDFWAITLOCK KernelClientsLock;
// Notification events: a port-stop control was received; the ports are shutting down; the
// port reported ready.
extern KEVENT PortStopRequestEvent;
extern KEVENT PortStopEvent;
extern KEVENT PortReadyEvent;
// Per port and service type, the version words the control service reported; zero until
// the port's service table arrives, a port's row cleared when the port closes. Guarded by
// ClientSessionsLock.
extern VRAX_SERVICE_VERSION ServiceVersionTable[VRAX_PORT_COUNT][VRAX_SERVICE_TYPE_COUNT];
