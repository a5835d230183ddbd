// The control device's only queue: sequential, not power managed, callbacks at
// PASSIVE_LEVEL. The working-state callbacks start and purge it by hand.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "../vrax_device.h"

EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE EvtIoCanceledOnQueue;

// Creates the default queue into Context->ClientQueue.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS VraxCreateClientQueue(_Inout_ PVRAX_DEVICE_CONTEXT Context);
