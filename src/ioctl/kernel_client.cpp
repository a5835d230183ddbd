// The kernel client routines. Kernel clients are not served yet: every routine refuses with
// -1, and a register hands back no handle, so a client never holds one to misuse.
#include <ntddk.h>
#include <wdf.h>

#include "kernel_client.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "kernel_client.tmh"
#endif

_Use_decl_annotations_ LONG NTAPI
KernelClientRegister(PVRAX_KERNEL_RECEIVE_CALLBACK ReceiveCallback, PVOID Reserved1,
                     PVOID Reserved2, VRAX_KERNEL_CLIENT_HANDLE* ClientHandle, PVOID Reserved3) {
    UNREFERENCED_PARAMETER(ReceiveCallback);
    UNREFERENCED_PARAMETER(Reserved1);
    UNREFERENCED_PARAMETER(Reserved2);
    UNREFERENCED_PARAMETER(Reserved3);

    if (ClientHandle != nullptr) {
        *ClientHandle = nullptr;
    }
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "kernel client register refused");
    return -1;
}

_Use_decl_annotations_ LONG NTAPI KernelClientDeregister(VRAX_KERNEL_CLIENT_HANDLE ClientHandle) {
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "kernel client %p deregister refused", ClientHandle);
    return -1;
}

_Use_decl_annotations_ LONG NTAPI KernelClientSendControl(VRAX_KERNEL_CLIENT_HANDLE ClientHandle,
                                                          ULONG PortIndex, PUCHAR ControlMessage,
                                                          ULONG MessageLength) {
    UNREFERENCED_PARAMETER(ControlMessage);

    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                "kernel client %p control on port %u (%u bytes) refused", ClientHandle, PortIndex,
                MessageLength);
    return -1;
}

_Use_decl_annotations_ LONG NTAPI KernelClientSendMessage(PVOID Reserved, ULONG PortIndex,
                                                          ULONG ServiceType, ULONG ClientId,
                                                          PUCHAR Message, ULONG MessageLength) {
    UNREFERENCED_PARAMETER(Reserved);
    UNREFERENCED_PARAMETER(Message);

    TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX,
                "kernel client message to port %u service %u client %u (%u bytes) refused",
                PortIndex, ServiceType, ClientId, MessageLength);
    return -1;
}
