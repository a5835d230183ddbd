// The four routines of the driver-to-driver interface (GUID_VRAX_KERNEL_INTERFACE).
#pragma once

#include <ntddk.h>

#include <vrax/vrax_interface.h>

VRAX_KERNEL_CLIENT_REGISTER KernelClientRegister;
VRAX_KERNEL_CLIENT_DEREGISTER KernelClientDeregister;
VRAX_KERNEL_CLIENT_SEND_CONTROL KernelClientSendControl;
VRAX_KERNEL_CLIENT_SEND_MESSAGE KernelClientSendMessage;
