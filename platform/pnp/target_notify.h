// Target-device-change notifications (IoRegisterPlugPlayNotification with
// EventCategoryTargetDeviceChange): a driver that holds a file object on another device
// registers on it and hears when that device is about to be removed, stays, or is gone.
//
// The PnP manager delivers them on its own thread, synchronously, as it works through a
// removal:
//   query-remove      GUID_TARGET_DEVICE_QUERY_REMOVE before IRP_MN_QUERY_REMOVE_DEVICE; a
//                     callback that fails vetoes the removal (those already told hear
//                     GUID_TARGET_DEVICE_REMOVE_CANCELLED);
//   cancelled         GUID_TARGET_DEVICE_REMOVE_CANCELLED after IRP_MN_CANCEL_REMOVE_DEVICE;
//   removal           GUID_TARGET_DEVICE_REMOVE_COMPLETE before IRP_MN_REMOVE_DEVICE, or after
//                     IRP_MN_SURPRISE_REMOVAL (so holders close their handles and the
//                     removal can follow); each registration hears it once.
#pragma once

#include <ntddk.h>

#include <string>
#include <vector>

namespace platform::pnp::target_notify {

NTSTATUS register_entry(PFILE_OBJECT file, PDRIVER_OBJECT driver,
                        PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback, PVOID context,
                        PVOID* entry);
bool is_entry(PVOID entry);
// Unregisters; with `wait`, waits for the entry's callback running on another thread.
NTSTATUS unregister(PVOID entry, bool wait);

// Hooks of the PnP manager, on its thread; `pdo` is the device node's PDO.
NTSTATUS query_remove(PDEVICE_OBJECT pdo);
void remove_cancelled(PDEVICE_OBJECT pdo);
void remove_complete(PDEVICE_OBJECT pdo);

// Registrations still present for `driver` (every driver when null), one line each.
std::vector<std::string> registered_entries(PDRIVER_OBJECT driver);
void reset();

}  // namespace platform::pnp::target_notify
