// Names under which the VRAX control device is reached: the kernel's device and symbolic
// link names, the path a user-mode program opens, and the class of the device interface the
// driver enables while the modem channel is open. Include after <ntddk.h> or <windows.h>,
// which define DEFINE_GUID.
#pragma once

#define VRAX_DEVICE_NAME L"\\Device\\VRAX"
#define VRAX_SYMBOLIC_LINK_NAME L"\\DosDevices\\VRAX"
#define VRAX_USER_DEVICE_PATH L"\\\\.\\VRAX"

// Class of the driver's own device interface, enabled while the modem channel is open.
// {7DCB3244-C836-4A0C-A1E9-BD68D385AA2B}
DEFINE_GUID(GUID_DEVINTERFACE_VRAX, 0x7DCB3244, 0xC836, 0x4A0C, 0xA1, 0xE9, 0xBD, 0x68, 0xD3, 0x85,
            0xAA, 0x2B);
