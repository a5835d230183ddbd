// Device interfaces and their notifications: the registrations IoRegisterDeviceInterface
// makes, the symbolic links IoSetDeviceInterfaceState creates while an interface is enabled,
// and the PnP notification entries (IoRegisterPlugPlayNotification) with the system worker
// thread ("pnp-notify") that calls their callbacks, one notification at a time, in the order
// the events happened.
//
// The PnP manager calls in here on its own thread: around a start (arrivals of interfaces
// enabled while the start is in progress are held back until it has completed, as Windows
// does) and at removal (every interface of the device is disabled).
#pragma once

#include <ntddk.h>

#include <string>
#include <vector>

namespace platform::pnp::interfaces {

void begin_start(PDEVICE_OBJECT pdo);
void end_start(PDEVICE_OBJECT pdo);

// Disables every enabled interface of the device (removal notifications follow) and, when
// `unbind`, forgets the PDO: the registrations stay for a device added again with the same
// instance id.
void disable_all(PDEVICE_OBJECT pdo, bool unbind);

std::vector<std::u16string> enabled(const GUID& type);
// Notification entries still registered by `driver` (all drivers when NULL), one line each.
std::vector<std::string> registered_entries(PDRIVER_OBJECT driver);
void flush();
void reset();

}  // namespace platform::pnp::interfaces
