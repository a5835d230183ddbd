// Registration of the kernel client interface. The framework copies the structure when it
// is added and answers every query-interface request for the GUID from its copy, so the
// structure built here can live on the stack.
#include <ntddk.h>
#include <wdf.h>

// This source defines the interface GUID the public header declares.
#include <initguid.h>

#include <vrax/vrax_interface.h>

#include "../ioctl/kernel_client.h"
#include "code_sections.h"
#include "query_interface.h"

#include "../trace.h"
#if defined(EVENT_TRACING)
#include "query_interface.tmh"
#endif

VRAX_PAGED_CODE
_Use_decl_annotations_ NTSTATUS VraxAddQueryInterface(WDFDEVICE Device) {
    PAGED_CODE();

    // No context and no reference counting: the routines reach the driver's globals, which
    // live as long as the device that answers the query.
    VRAX_KERNEL_INTERFACE kernelInterface;
    RtlZeroMemory(&kernelInterface, sizeof(kernelInterface));
    kernelInterface.InterfaceHeader.Size = (USHORT)sizeof(kernelInterface);
    kernelInterface.InterfaceHeader.Version = VRAX_KERNEL_INTERFACE_VERSION;
    kernelInterface.InterfaceHeader.Context = nullptr;
    kernelInterface.InterfaceHeader.InterfaceReference = nullptr;
    kernelInterface.InterfaceHeader.InterfaceDereference = nullptr;
    kernelInterface.KernelClientRegister = KernelClientRegister;
    kernelInterface.KernelClientDeregister = KernelClientDeregister;
    kernelInterface.KernelClientSendControl = KernelClientSendControl;
    kernelInterface.KernelClientSendMessage = KernelClientSendMessage;

    WDF_QUERY_INTERFACE_CONFIG config;
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, reinterpret_cast<PINTERFACE>(&kernelInterface),
                                    &GUID_VRAX_KERNEL_INTERFACE, nullptr);
    config.SendQueryToParentStack = FALSE;
    config.ImportInterface = FALSE;

    NTSTATUS status = WdfDeviceAddQueryInterface(Device, &config);
    if (!NT_SUCCESS(status)) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_VRAX, "WdfDeviceAddQueryInterface failed %!STATUS!",
                    status);
    }
    return status;
}
