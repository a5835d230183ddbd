// The four routines of the driver-to-driver interface (GUID_VRAX_KERNEL_INTERFACE), and the
// record that stands for one registered kernel client.
#pragma once

#include <ntddk.h>

#include <vrax/vrax_interface.h>

VRAX_KERNEL_CLIENT_REGISTER KernelClientRegister;
VRAX_KERNEL_CLIENT_DEREGISTER KernelClientDeregister;
VRAX_KERNEL_CLIENT_SEND_CONTROL KernelClientSendControl;
VRAX_KERNEL_CLIENT_SEND_MESSAGE KernelClientSendMessage;

// Bytes of a kernel client's framework memory object; the fields below come first and the
// rest is unused.
#define VRAX_KERNEL_CLIENT_RECORD_SIZE 156

// A registered kernel client: the buffer of a framework memory object (pool tag "vrxi")
// whose parent is KernelClients; the memory object's handle is the client's handle. Port,
// ReceiveCallback and TransactionCounter are guarded by KernelClientsLock, except that
// KernelClientSendControl writes Port without it (a receive callback may send, and it runs
// under that lock), so Port is written and read with interlocked operations.
typedef struct _VRAX_KERNEL_CLIENT {
    // Port of the client's most recent control request; control responses on other ports
    // are not the client's.
    LONG volatile Port;
    // The client's owner key, drawn from the session key counter at registration.
    ULONG Key;
    PVRAX_KERNEL_RECEIVE_CALLBACK ReceiveCallback;
    // Running number of the control responses handed to the client; 0 at registration.
    UCHAR TransactionCounter;
} VRAX_KERNEL_CLIENT, *PVRAX_KERNEL_CLIENT;

static_assert(sizeof(VRAX_KERNEL_CLIENT) <= VRAX_KERNEL_CLIENT_RECORD_SIZE, "record size");
