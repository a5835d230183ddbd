// The simulated SMD channel driver: a KMDF function driver whose device exposes the SMD
// device-interface class. Each open handle is one channel; IOCTL_SMD_OPEN binds it to a port
// and meets the client on three named events, reads return the chunks the far end queued,
// writes hand frames to the far end, IOCTL_SMD_READ_PENDING tells how many bytes wait and
// IOCTL_SMD_CLOSE (or closing the handle) ends the channel.
//
// Requests and where they wait:
//   - the default queue is parallel and passive-level (the open path creates events); every
//     request is answered from its callback except reads with nothing to return and requests
//     a fault holds;
//   - a read that finds no chunk waits in ReadQueue (manual), a request held by a fault in
//     HeldQueue (manual): the framework cancels either when its sender gives up (time-out,
//     CancelIoEx, the handle's clean-up, the device's removal) and completes it
//     STATUS_CANCELLED, so the driver never owns a request it cannot finish.
//
// Locking: one spin lock per device guards the port table and every channel's state. No
// request is completed, forwarded or retrieved-and-completed, no event signalled and no far-end
// call made while it is held (retrieving a waiting read and taking its chunk happen together
// under it, so a chunk and a read never miss each other).
#pragma once

#include <ntifs.h>
#include <wdf.h>

#include <cstdint>
#include <deque>
#include <vector>

#include <vrax/smd_channel.h>

// Pool tag "SmdS" (the bytes as a dump shows them).
#define SMD_POOL_TAG ((ULONG)'S' | ((ULONG)'m' << 8) | ((ULONG)'d' << 16) | ((ULONG)'S' << 24))

// The device-interface class the driver registers.
extern const GUID SmdInterfaceClass;

enum SMD_EVENT_INDEX { SmdReadEvent = 0, SmdOpenEvent = 1, SmdCloseEvent = 2, SmdEventCount = 3 };

struct _SMD_DEVICE_CONTEXT;

// One channel: the context of one file object (handle) of the SMD device. Constructed in
// EvtDeviceFileCreate, destroyed with the file object.
typedef struct _SMD_CHANNEL_CONTEXT {
    WDFFILEOBJECT File = nullptr;
    struct _SMD_DEVICE_CONTEXT* Device = nullptr;
    bool Constructed = false;

    // Guarded by Device->Lock.
    bool CleanedUp = false;              // the handle was closed: no open may bind any more
    bool Opening = false;                // an open request is creating the events
    bool Bound = false;                  // IOCTL_SMD_OPEN succeeded and no close followed
    ULONG Port = 0;                      // valid while Opening or Bound
    bool OpenSignalled = false;          // the far end opened this channel (open event signalled)
    bool FarClosed = false;              // the far end closed it (close event signalled)
    PKEVENT Events[SmdEventCount] = {};  // referenced while Bound
    HANDLE Handles[SmdEventCount] = {};  // kernel handles, while Bound
    std::deque<std::vector<std::uint8_t>> Chunks;  // queued for reading, oldest first
    size_t QueuedBytes = 0;                        // sum of Chunks' sizes
} SMD_CHANNEL_CONTEXT, *PSMD_CHANNEL_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(SMD_CHANNEL_CONTEXT, SmdGetChannel)

typedef struct _SMD_DEVICE_CONTEXT {
    WDFDEVICE Device;
    WDFQUEUE DefaultQueue;
    WDFQUEUE ReadQueue;  // manual: reads waiting for a chunk
    WDFQUEUE HeldQueue;  // manual: requests a fault keeps from completing
    WDFSPINLOCK Lock;
    // Guarded by Lock: the channel each port is bound to (or being bound to), or null.
    PSMD_CHANNEL_CONTEXT Ports[SMD_PORT_COUNT];
} SMD_DEVICE_CONTEXT, *PSMD_DEVICE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(SMD_DEVICE_CONTEXT, SmdGetDevice)

// ---- Entry and device (smd_device.cpp) ----------------------------------------------------------
DRIVER_INITIALIZE SmdDriverEntry;
EVT_WDF_DRIVER_DEVICE_ADD SmdEvtDeviceAdd;
EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT SmdEvtSelfManagedIoInit;
EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH SmdEvtSelfManagedIoFlush;
EVT_WDF_DEVICE_SURPRISE_REMOVAL SmdEvtSurpriseRemoval;

// ---- Channels and controls (smd_channel.cpp) ----------------------------------------------------
EVT_WDF_DEVICE_FILE_CREATE SmdEvtDeviceFileCreate;
EVT_WDF_FILE_CLEANUP SmdEvtFileCleanup;
EVT_WDF_OBJECT_CONTEXT_DESTROY SmdEvtChannelDestroy;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL SmdEvtIoDeviceControl;

// ---- Reads and writes (smd_io.cpp)
// ----------------------------------------------------------------
EVT_WDF_IO_QUEUE_IO_READ SmdEvtIoRead;
EVT_WDF_IO_QUEUE_IO_WRITE SmdEvtIoWrite;

// Completes the reads waiting on Channel that can be completed now: with a chunk each while
// chunks are queued, or with an error once the channel is closed at either end. Called after
// every change that may let a waiting read finish. No lock held.
VOID SmdSettleReads(_In_ PSMD_CHANNEL_CONTEXT Channel);

// Keeps Request in the device's held queue (a fault said it never completes); completes it
// with the failure status when it cannot be queued. No lock held.
VOID SmdHoldRequest(_In_ PSMD_DEVICE_CONTEXT Device, _In_ WDFREQUEST Request);

// Signals one of Channel's events if Channel is bound; no lock held by the caller.
VOID SmdSignalEvent(_In_ PSMD_CHANNEL_CONTEXT Channel, _In_ SMD_EVENT_INDEX Which);
