// A kernel-mode client of VRAX: a KMDF function driver of its own, serving one
// root-enumerated device, that obtains VRAX's driver-to-driver interface with a
// query-interface request sent to VRAX's device stack and calls its four routines. It never
// opens VRAX's device, so VRAX keeps no session for it.
//
// How it reaches VRAX: the driver is handed VRAX's device object, opens a framework I/O
// target on that existing device (no file object, so no create reaches VRAX) and sends
// IRP_MN_QUERY_INTERFACE through it with WdfIoTargetQueryForInterface. The interface VRAX
// hands out carries no reference routines; the driver still calls InterfaceDereference when
// one is given, as the query-interface contract asks.
//
// Everything the driver learns is kept in its device context and read by the test seam
// (kclient.h) through the routines below, at PASSIVE_LEVEL, one caller at a time.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include <vrax/vrax_interface.h>

// Pool tag "KcLi".
#define KCLIENT_POOL_TAG ((ULONG)'K' | ((ULONG)'c' << 8) | ((ULONG)'L' << 16) | ((ULONG)'i' << 24))

typedef struct _KCLIENT_DEVICE_CONTEXT {
    // The I/O target on VRAX's device while connected; a child of this device.
    WDFIOTARGET VraxTarget;
    // The interface as VRAX answered it, valid while HaveInterface.
    VRAX_KERNEL_INTERFACE Interface;
    BOOLEAN HaveInterface;
    // The registration the register routine returned, while Registered.
    VRAX_KERNEL_CLIENT_HANDLE ClientHandle;
    BOOLEAN Registered;
} KCLIENT_DEVICE_CONTEXT, *PKCLIENT_DEVICE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(KCLIENT_DEVICE_CONTEXT, KclientGetContext)

DRIVER_INITIALIZE KclientDriverEntry;
EVT_WDF_DRIVER_DEVICE_ADD KclientEvtDeviceAdd;
EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP KclientEvtSelfManagedIoCleanup;
VRAX_KERNEL_RECEIVE_CALLBACK KclientReceive;

// The device the driver serves, or NULL before it is added and after it is removed.
_IRQL_requires_max_(DISPATCH_LEVEL) WDFDEVICE KclientDevice(VOID);

// Opens a target on VraxDevice and queries the interface with the given type, size and
// version into the context. On failure nothing is kept and the query's status is returned.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    KclientConnect(_In_ WDFDEVICE Device, _In_ PDEVICE_OBJECT VraxDevice,
                   _In_ const GUID* InterfaceType, _In_ USHORT Size, _In_ USHORT Version);

// Deregisters (when registered), dereferences the interface and deletes the target.
_IRQL_requires_(PASSIVE_LEVEL) VOID KclientDisconnect(_In_ WDFDEVICE Device);

// Hook the receive callback reports each call to (the test seam's recorder); NULL: none.
typedef VOID KCLIENT_RECEIVE_HOOK(_In_ ULONG PortIndex, _In_ ULONG ServiceType, _In_ ULONG ClientId,
                                  _In_ ULONG Flags, _In_reads_bytes_(MessageLength) PUCHAR Message,
                                  _In_ ULONG MessageLength);
VOID KclientSetReceiveHook(_In_opt_ KCLIENT_RECEIVE_HOOK* Hook);
