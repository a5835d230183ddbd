// The driver-to-driver interface other kernel-mode drivers obtain from the VRAX control
// device with a query-interface request for GUID_VRAX_KERNEL_INTERFACE. It carries four
// routines: register a receive callback, deregister it, send a control-service request and
// send a service message. Each returns 0 on success and -1 on failure, and must be called
// at PASSIVE_LEVEL.
#pragma once

#include <ntddk.h>

// {3F106157-2132-418D-94D9-EC9C1F4F90DB}
DEFINE_GUID(GUID_VRAX_KERNEL_INTERFACE, 0x3F106157, 0x2132, 0x418D, 0x94, 0xD9, 0xEC, 0x9C, 0x1F,
            0x4F, 0x90, 0xDB);

#define VRAX_KERNEL_INTERFACE_VERSION 0

// A registered kernel client, as returned by the register routine.
typedef PVOID VRAX_KERNEL_CLIENT_HANDLE;

// Called on the port's service thread at PASSIVE_LEVEL for each service message addressed to
// the client and each control-service response to its requests. Message is valid only for
// the duration of the call. The callback must not register or deregister a client.
typedef _Function_class_(VRAX_KERNEL_RECEIVE_CALLBACK) _IRQL_requires_(PASSIVE_LEVEL) VOID NTAPI
    VRAX_KERNEL_RECEIVE_CALLBACK(_In_ ULONG PortIndex, _In_ ULONG ServiceType, _In_ ULONG ClientId,
                                 _In_ ULONG Flags, _In_reads_bytes_(MessageLength) PUCHAR Message,
                                 _In_ ULONG MessageLength);
typedef VRAX_KERNEL_RECEIVE_CALLBACK* PVRAX_KERNEL_RECEIVE_CALLBACK;

// Registers ReceiveCallback and returns the client's handle. Reserved parameters are not read.
typedef _Function_class_(VRAX_KERNEL_CLIENT_REGISTER) _IRQL_requires_(PASSIVE_LEVEL) LONG NTAPI
    VRAX_KERNEL_CLIENT_REGISTER(_In_ PVRAX_KERNEL_RECEIVE_CALLBACK ReceiveCallback,
                                _In_opt_ PVOID Reserved1, _In_opt_ PVOID Reserved2,
                                _Out_ VRAX_KERNEL_CLIENT_HANDLE* ClientHandle,
                                _In_opt_ PVOID Reserved3);
typedef VRAX_KERNEL_CLIENT_REGISTER* PVRAX_KERNEL_CLIENT_REGISTER;

// Removes the client; its handle is invalid afterwards.
typedef _Function_class_(VRAX_KERNEL_CLIENT_DEREGISTER) _IRQL_requires_(PASSIVE_LEVEL) LONG NTAPI
    VRAX_KERNEL_CLIENT_DEREGISTER(_In_ VRAX_KERNEL_CLIENT_HANDLE ClientHandle);
typedef VRAX_KERNEL_CLIENT_DEREGISTER* PVRAX_KERNEL_CLIENT_DEREGISTER;

// Sends a control-service request on a port: a 6-byte control header (message type,
// transaction id, 16-bit message id, 16-bit length) followed by TLVs. The response reaches
// the receive callback with the client's own running number as its transaction id.
typedef _Function_class_(VRAX_KERNEL_CLIENT_SEND_CONTROL) _IRQL_requires_(PASSIVE_LEVEL) LONG NTAPI
    VRAX_KERNEL_CLIENT_SEND_CONTROL(_In_ VRAX_KERNEL_CLIENT_HANDLE ClientHandle,
                                    _In_ ULONG PortIndex,
                                    _In_reads_bytes_(MessageLength) PUCHAR ControlMessage,
                                    _In_ ULONG MessageLength);
typedef VRAX_KERNEL_CLIENT_SEND_CONTROL* PVRAX_KERNEL_CLIENT_SEND_CONTROL;

// Sends one service message (no frame header) to a service and client id on a port.
typedef _Function_class_(VRAX_KERNEL_CLIENT_SEND_MESSAGE) _IRQL_requires_(PASSIVE_LEVEL) LONG NTAPI
    VRAX_KERNEL_CLIENT_SEND_MESSAGE(_In_opt_ PVOID Reserved, _In_ ULONG PortIndex,
                                    _In_ ULONG ServiceType, _In_ ULONG ClientId,
                                    _In_reads_bytes_(MessageLength) PUCHAR Message,
                                    _In_ ULONG MessageLength);
typedef VRAX_KERNEL_CLIENT_SEND_MESSAGE* PVRAX_KERNEL_CLIENT_SEND_MESSAGE;

// The interface: the standard header (Size = sizeof this structure as compiled for the
// target architecture: 64 bytes on x64, 32 on x86; Version 0, no context, no reference
// counting), then the four routines in this order. A caller passes the same sizeof.
typedef struct _VRAX_KERNEL_INTERFACE {
    INTERFACE InterfaceHeader;
    PVRAX_KERNEL_CLIENT_REGISTER KernelClientRegister;
    PVRAX_KERNEL_CLIENT_DEREGISTER KernelClientDeregister;
    PVRAX_KERNEL_CLIENT_SEND_CONTROL KernelClientSendControl;
    PVRAX_KERNEL_CLIENT_SEND_MESSAGE KernelClientSendMessage;
} VRAX_KERNEL_INTERFACE, *PVRAX_KERNEL_INTERFACE;
