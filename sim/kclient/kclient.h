// The test seam of the kernel client driver (kclient_driver.h): install it on a machine
// beside VRAX, connect it to VRAX's device, call the interface's four routines through it and
// read what its receive callback was given. Call from one thread at a time at PASSIVE_LEVEL
// (a test's own thread, or a program's); the receive callback runs on VRAX's port thread and
// is recorded under a lock.
//
//     sim::machine m;  m.boot();
//     auto& kc = m.host().install(kclient::package());  kc.boot();
//     ASSERT_EQ(kclient::connect(m.control_device_object()), STATUS_SUCCESS);
//     kclient::register_client();  ...  kclient::received();
//     kclient::disconnect();        // or leave it to the device's removal
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include <vrax/vrax_interface.h>

#include <optional>
#include <vector>

#include "machine/platform_machine.h"

namespace kclient {

// What a machine installs: service "vraxkc", root-enumerated device ROOT\VRAXKC.
sim::driver_package package();

// The device the driver serves (NULL before it is added or after its removal).
WDFDEVICE device();

// The driver queries the interface of the stack `vrax_device` is in. The defaults ask for
// VRAX's interface as the public header declares it; a test may ask for another GUID, a
// smaller size or an older version. STATUS_INVALID_DEVICE_STATE when already connected or the
// driver has no device.
NTSTATUS connect(PDEVICE_OBJECT vrax_device, const GUID& type = GUID_VRAX_KERNEL_INTERFACE,
                 USHORT size = sizeof(VRAX_KERNEL_INTERFACE),
                 USHORT version = VRAX_KERNEL_INTERFACE_VERSION);
// The interface as answered, while connected.
std::optional<VRAX_KERNEL_INTERFACE> interface();
void disconnect();

// The four routines, through the interface the driver holds (connected first). register_client
// registers the driver's receive callback and keeps the handle it returns (on success);
// deregister_client hands that handle back.
LONG register_client();
LONG deregister_client();
LONG send_control(ULONG port, std::vector<UCHAR> message);
LONG send_message(ULONG port, ULONG service, ULONG client_id, std::vector<UCHAR> message);

// One call of the receive callback.
struct received_message {
    ULONG port = 0;
    ULONG service = 0;
    ULONG client_id = 0;
    ULONG flags = 0;
    std::vector<UCHAR> message;
    KIRQL irql = 0;
};
std::vector<received_message> received();
void clear_received();

}  // namespace kclient
