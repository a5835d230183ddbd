// Framework I/O queues: the default queue receives the device's read, write and device
// control requests; sequential queues present one request at a time, parallel queues any
// number, manual queues none (the driver retrieves them). Queues can be stopped, started,
// drained and purged.
#pragma once

#include <wdfobject.h>
#include <wdfrequest.h>

WDF_EXTERN_C_START

typedef enum _WDF_IO_QUEUE_DISPATCH_TYPE {
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential,
    WdfIoQueueDispatchParallel,
    WdfIoQueueDispatchManual,
    WdfIoQueueDispatchMax,
} WDF_IO_QUEUE_DISPATCH_TYPE;

typedef enum _WDF_IO_QUEUE_STATE {
    WdfIoQueueAcceptRequests = 0x01,
    WdfIoQueueDispatchRequests = 0x02,
    WdfIoQueueNoRequests = 0x04,
    WdfIoQueueDriverNoRequests = 0x08,
    WdfIoQueuePnpHeld = 0x10,
} WDF_IO_QUEUE_STATE;

FORCEINLINE BOOLEAN WDF_IO_QUEUE_IDLE(WDF_IO_QUEUE_STATE State) {
    return ((State & WdfIoQueueNoRequests) && (State & WdfIoQueueDriverNoRequests)) ? TRUE : FALSE;
}

FORCEINLINE BOOLEAN WDF_IO_QUEUE_READY(WDF_IO_QUEUE_STATE State) {
    return ((State & WdfIoQueueDispatchRequests) && (State & WdfIoQueueAcceptRequests) &&
            ((State & WdfIoQueuePnpHeld) == 0))
               ? TRUE
               : FALSE;
}

FORCEINLINE BOOLEAN WDF_IO_QUEUE_STOPPED(WDF_IO_QUEUE_STATE State) {
    return (((State & WdfIoQueueDispatchRequests) == 0) && (State & WdfIoQueueAcceptRequests) &&
            (State & WdfIoQueueDriverNoRequests))
               ? TRUE
               : FALSE;
}

FORCEINLINE BOOLEAN WDF_IO_QUEUE_DRAINED(WDF_IO_QUEUE_STATE State) {
    return (((State & WdfIoQueueAcceptRequests) == 0) && (State & WdfIoQueueDispatchRequests) &&
            (State & WdfIoQueueNoRequests) && (State & WdfIoQueueDriverNoRequests))
               ? TRUE
               : FALSE;
}

FORCEINLINE BOOLEAN WDF_IO_QUEUE_PURGED(WDF_IO_QUEUE_STATE State) {
    return (((State & WdfIoQueueAcceptRequests) == 0) && (State & WdfIoQueueNoRequests) &&
            (State & WdfIoQueueDriverNoRequests))
               ? TRUE
               : FALSE;
}

typedef VOID EVT_WDF_IO_QUEUE_IO_DEFAULT(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_DEFAULT* PFN_WDF_IO_QUEUE_IO_DEFAULT;
typedef VOID EVT_WDF_IO_QUEUE_IO_STOP(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags);
typedef EVT_WDF_IO_QUEUE_IO_STOP* PFN_WDF_IO_QUEUE_IO_STOP;
typedef VOID EVT_WDF_IO_QUEUE_IO_RESUME(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_RESUME* PFN_WDF_IO_QUEUE_IO_RESUME;
typedef VOID EVT_WDF_IO_QUEUE_IO_READ(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_READ* PFN_WDF_IO_QUEUE_IO_READ;
typedef VOID EVT_WDF_IO_QUEUE_IO_WRITE(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_WRITE* PFN_WDF_IO_QUEUE_IO_WRITE;
typedef VOID EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL(WDFQUEUE Queue, WDFREQUEST Request,
                                                size_t OutputBufferLength, size_t InputBufferLength,
                                                ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL;
typedef VOID EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL(WDFQUEUE Queue, WDFREQUEST Request,
                                                         size_t OutputBufferLength,
                                                         size_t InputBufferLength,
                                                         ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL;
typedef VOID EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE* PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE;
typedef VOID EVT_WDF_IO_QUEUE_STATE(WDFQUEUE Queue, WDFCONTEXT Context);
typedef EVT_WDF_IO_QUEUE_STATE* PFN_WDF_IO_QUEUE_STATE;

typedef struct _WDF_IO_QUEUE_CONFIG {
    ULONG Size;
    WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;
    WDF_TRI_STATE PowerManaged;
    BOOLEAN AllowZeroLengthRequests;
    BOOLEAN DefaultQueue;
    PFN_WDF_IO_QUEUE_IO_DEFAULT EvtIoDefault;
    PFN_WDF_IO_QUEUE_IO_READ EvtIoRead;
    PFN_WDF_IO_QUEUE_IO_WRITE EvtIoWrite;
    PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
    PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL EvtIoInternalDeviceControl;
    PFN_WDF_IO_QUEUE_IO_STOP EvtIoStop;
    PFN_WDF_IO_QUEUE_IO_RESUME EvtIoResume;
    PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE EvtIoCanceledOnQueue;
    union {
        struct {
            ULONG NumberOfPresentedRequests;
        } Parallel;
    } Settings;
    WDFDRIVER Driver;
} WDF_IO_QUEUE_CONFIG, *PWDF_IO_QUEUE_CONFIG;

FORCEINLINE VOID WDF_IO_QUEUE_CONFIG_INIT(PWDF_IO_QUEUE_CONFIG Config,
                                          WDF_IO_QUEUE_DISPATCH_TYPE DispatchType) {
    RtlZeroMemory(Config, sizeof(WDF_IO_QUEUE_CONFIG));
    Config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
    Config->PowerManaged = WdfUseDefault;
    Config->DispatchType = DispatchType;
    if (Config->DispatchType == WdfIoQueueDispatchParallel) {
        Config->Settings.Parallel.NumberOfPresentedRequests = (ULONG)-1;
    }
}

FORCEINLINE VOID WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(PWDF_IO_QUEUE_CONFIG Config,
                                                        WDF_IO_QUEUE_DISPATCH_TYPE DispatchType) {
    RtlZeroMemory(Config, sizeof(WDF_IO_QUEUE_CONFIG));
    Config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
    Config->PowerManaged = WdfUseDefault;
    Config->DefaultQueue = TRUE;
    Config->DispatchType = DispatchType;
    if (Config->DispatchType == WdfIoQueueDispatchParallel) {
        Config->Settings.Parallel.NumberOfPresentedRequests = (ULONG)-1;
    }
}

NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                          PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue);
WDF_IO_QUEUE_STATE WdfIoQueueGetState(WDFQUEUE Queue, PULONG QueueRequests, PULONG DriverRequests);
VOID WdfIoQueueStart(WDFQUEUE Queue);
VOID WdfIoQueueStop(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE StopComplete, WDFCONTEXT Context);
VOID WdfIoQueueStopSynchronously(WDFQUEUE Queue);
WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue);
NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST* OutRequest);
NTSTATUS WdfIoQueueRetrieveRequestByFileObject(WDFQUEUE Queue, WDFFILEOBJECT FileObject,
                                               WDFREQUEST* OutRequest);
NTSTATUS WdfIoQueueFindRequest(WDFQUEUE Queue, WDFREQUEST FoundRequest, WDFFILEOBJECT FileObject,
                               PWDF_REQUEST_PARAMETERS Parameters, WDFREQUEST* OutRequest);
NTSTATUS WdfIoQueueRetrieveFoundRequest(WDFQUEUE Queue, WDFREQUEST FoundRequest,
                                        WDFREQUEST* OutRequest);
VOID WdfIoQueueDrainSynchronously(WDFQUEUE Queue);
VOID WdfIoQueueDrain(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE DrainComplete, WDFCONTEXT Context);
VOID WdfIoQueuePurgeSynchronously(WDFQUEUE Queue);
VOID WdfIoQueuePurge(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE PurgeComplete, WDFCONTEXT Context);
NTSTATUS WdfIoQueueReadyNotify(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE QueueReady,
                               WDFCONTEXT Context);
VOID WdfIoQueueStopAndPurge(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE StopAndPurgeComplete,
                            WDFCONTEXT Context);
VOID WdfIoQueueStopAndPurgeSynchronously(WDFQUEUE Queue);

WDF_EXTERN_C_END
