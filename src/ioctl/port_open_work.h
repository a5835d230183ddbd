// The port-open work item: queued by a port's service thread once the SMD side has opened
// the channel, to have the control service's service table requested for the port.
#pragma once

#include <ntddk.h>
#include <wdf.h>

// Context of a port-open work item: the port whose opening it completes.
typedef struct _VRAX_WORK_ITEM_CONTEXT_CONN_ID {
    ULONG PortIndex;  // 0..28
} VRAX_WORK_ITEM_CONTEXT_CONN_ID, *PVRAX_WORK_ITEM_CONTEXT_CONN_ID;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(VRAX_WORK_ITEM_CONTEXT_CONN_ID, GetConnIdContext)

// The routine of a port-open work item; deletes its work item on every path.
EVT_WDF_WORKITEM EvtPortOpenWorkItem;
