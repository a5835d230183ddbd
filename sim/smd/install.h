// The simulated SMD channel driver in the machine: registered with the PnP manager, loaded,
// and one device added and started, as Windows would start a root-enumerated device. Further
// devices can arrive and the current one can be surprise-removed; uninstall() removes every
// device and unloads the driver. Its devices expose interface_class(), enabled while started.
//
//     smd::install();                                   // DriverEntry, AddDevice, start
//     auto links = smd::interface_links();              // "\??\ROOT#SMD#0000#{7714fa50-...}"
//     ... open links[0], send IOCTL_SMD_OPEN, drive the far end (far_end.h) ...
//     smd::uninstall();                                 // removal, unload
//
// Call from one thread at a time (a test's own thread, or the machine's), at PASSIVE_LEVEL.
#pragma once

#include <ntddk.h>

#include <string>
#include <vector>

#include "pnp/pnp_manager.h"

namespace smd {

struct install_options {
    std::u16string service = u"smd";            // \Driver\smd, its service key
    std::u16string hardware_id = u"ROOT\\SMD";  // instances ROOT\SMD\0000, 0001, ...
};

// Registers and loads the driver and adds and starts its first device. Returns the first
// failing status; STATUS_IMAGE_ALREADY_LOADED when installed already.
NTSTATUS install(const install_options& options = {});
// A new SMD device arrives (added and started) and becomes the current one.
NTSTATUS add_device();
// Surprise-removes the current device; it is removed once its last handle closes.
// STATUS_NO_SUCH_DEVICE when no device is started.
NTSTATUS surprise_remove();
// Removes every device and unloads the driver. STATUS_INVALID_DEVICE_STATE when not installed.
NTSTATUS uninstall();

bool installed();
platform::pnp::driver* driver();
// The newest started device, or null.
platform::pnp::device_node* current_device();
// Every device added since install(), oldest first.
std::vector<platform::pnp::device_node*> devices();

// The device-interface class, and the symbolic links of its enabled interfaces.
const GUID& interface_class();
std::vector<std::u16string> interface_links();

}  // namespace smd
