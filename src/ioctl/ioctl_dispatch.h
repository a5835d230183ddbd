// The I/O control dispatcher of the control device's default queue.
#pragma once

#include <ntddk.h>
#include <wdf.h>

EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
