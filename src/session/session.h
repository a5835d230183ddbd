// Client sessions: one per open handle of the control device, opened by the file-create
// callback and ended by the file clean-up; and the default queue's stop callback.
#pragma once

#include <ntddk.h>
#include <wdf.h>

EVT_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
EVT_WDF_FILE_CLEANUP EvtFileCleanup;
EVT_WDF_IO_QUEUE_IO_STOP EvtIoStop;
