// Driver-to-driver interfaces a device exposes: other drivers ask for them with a
// query-interface request, and the framework answers from the registered interfaces.
#pragma once

#include <wdfobject.h>

WDF_EXTERN_C_START

typedef NTSTATUS EVT_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST(WDFDEVICE Device,
                                                                LPGUID InterfaceType,
                                                                PINTERFACE ExposedInterface,
                                                                PVOID ExposedInterfaceSpecificData);
typedef EVT_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST*
    PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST;

typedef struct _WDF_QUERY_INTERFACE_CONFIG {
    ULONG Size;
    PINTERFACE Interface;
    CONST GUID* InterfaceType;
    BOOLEAN SendQueryToParentStack;
    PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST EvtDeviceProcessQueryInterfaceRequest;
    BOOLEAN ImportInterface;
} WDF_QUERY_INTERFACE_CONFIG, *PWDF_QUERY_INTERFACE_CONFIG;

FORCEINLINE VOID WDF_QUERY_INTERFACE_CONFIG_INIT(
    PWDF_QUERY_INTERFACE_CONFIG InterfaceConfig, PINTERFACE Interface, CONST GUID* InterfaceType,
    PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST EvtDeviceProcessQueryInterfaceRequest) {
    RtlZeroMemory(InterfaceConfig, sizeof(WDF_QUERY_INTERFACE_CONFIG));
    InterfaceConfig->Size = sizeof(WDF_QUERY_INTERFACE_CONFIG);
    InterfaceConfig->Interface = Interface;
    InterfaceConfig->InterfaceType = InterfaceType;
    InterfaceConfig->EvtDeviceProcessQueryInterfaceRequest = EvtDeviceProcessQueryInterfaceRequest;
}

NTSTATUS WdfDeviceAddQueryInterface(WDFDEVICE Device, PWDF_QUERY_INTERFACE_CONFIG InterfaceConfig);
VOID WdfDeviceInterfaceReferenceNoOp(PVOID Context);
VOID WdfDeviceInterfaceDereferenceNoOp(PVOID Context);

WDF_EXTERN_C_END
