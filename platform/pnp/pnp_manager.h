// The Plug and Play manager: loads driver modules, keeps device nodes with their hardware-key
// registry values, and drives each device's stack through start, sleep and resume,
// query-stop and query-remove, surprise removal and removal. It also answers query-interface
// requests that other drivers make of a device, keeps device interfaces, and delivers their
// arrival and removal notifications (see wdm_pnp.h for the kernel-mode routines).
//
// Every operation runs the driver's callbacks on the PnP manager's own thread ("pnp"), at
// PASSIVE_LEVEL, one operation at a time; the calling thread blocks (through the scheduler)
// until the operation is done, so virtual time keeps working.
//
// Typical use (a test or the machine):
//
//     auto* drv = pnp::register_driver({"vrax", DriverEntry, L"\\Registry\\Machine\\System\\"
//                                       L"CurrentControlSet\\Services\\vrax"});
//     pnp::load_driver(drv);                                    // DriverEntry
//     auto* node = pnp::add_device(drv, {L"ROOT\\VRAX", {{L"SupportNewHWID", reg_sz(L"true")}}});
//     pnp::start_device(node);                                  // prepare hardware, D0 entry
//     pnp::sleep_device(node, PowerDeviceD3);                   // D0 exit (WdfPowerDeviceD3)
//     pnp::resume_device(node);                                 // D0 entry (previous D3)
//     pnp::remove_device(node);                                 // D0 exit (D3 final), delete
//     pnp::unload_driver(drv);                                  // unload + final verifier check
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace platform::pnp {

// One registry value: type REG_SZ, REG_DWORD, REG_BINARY, REG_MULTI_SZ and the raw bytes as
// the registry stores them (strings are UTF-16LE including the terminating zero).
struct registry_value {
    ULONG type = 0;
    std::vector<std::uint8_t> data;
};
registry_value reg_sz(std::wstring_view text);
registry_value reg_dword(std::uint32_t value);
registry_value reg_binary(std::vector<std::uint8_t> bytes);

// A registry key: named values, names compared without regard to case as the registry does.
using registry_values = std::map<std::wstring, registry_value>;

struct driver_module {
    std::string name;                      // for reports ("vrax", "smd")
    PDRIVER_INITIALIZE entry = nullptr;    // the module's DriverEntry
    std::wstring registry_path;            // service key passed to DriverEntry
    registry_values parameters;            // the service key's Parameters subkey
};

struct device_description {
    std::wstring hardware_id;              // e.g. L"ROOT\\VRAX"
    registry_values hardware_key;          // what PLUGPLAY_REGKEY_DEVICE opens
};

struct driver;       // a registered driver module
struct device_node;  // a device the PnP manager knows, with its stack

// What a driver load or an operation on a device came to.
enum class device_state {
    added,         // AddDevice done, not started
    started,       // working (D0)
    sleeping,      // started, in a low-power device state
    stopped,       // query-stop accepted (resources released pending restart)
    surprise_removed,
    removed,
    failed,        // AddDevice or start failed; the stack was torn down
};

// Registers a module; nothing runs yet. The module stays registered for the process.
driver* register_driver(driver_module module);

// Creates the DRIVER_OBJECT and calls DriverEntry with the registry path. A failing
// DriverEntry is returned and the driver is unloaded (DriverUnload is not called, as on
// Windows, since the driver never finished loading).
NTSTATUS load_driver(driver* drv);

// Creates a device node served by `drv` (which must be loaded): a physical device object
// for it, then the driver's AddDevice. Returns the node (in state `failed` when AddDevice
// failed; the status is in `last_status`).
device_node* add_device(driver* drv, device_description description);

// IRP_MN_START_DEVICE: prepare hardware, D0 entry (previous state D3 final), self-managed
// I/O init. A failure tears the stack down as a failed start does.
NTSTATUS start_device(device_node* node);

// Device power IRPs while started: sleep to `target` (PowerDeviceD1..PowerDeviceD3) runs D0
// exit with that state; resume runs D0 entry with the state the device slept in.
NTSTATUS sleep_device(device_node* node, DEVICE_POWER_STATE target);
NTSTATUS resume_device(device_node* node);

// IRP_MN_QUERY_STOP_DEVICE / IRP_MN_QUERY_REMOVE_DEVICE. A refusal is returned and the
// matching cancel (IRP_MN_CANCEL_STOP_DEVICE / IRP_MN_CANCEL_REMOVE_DEVICE) is sent, so the
// device goes on working. An accepted query-stop is followed by IRP_MN_STOP_DEVICE and, with
// `restart`, by a new start; an accepted query-remove by removal.
NTSTATUS query_stop(device_node* node, bool restart = true);
NTSTATUS query_remove(device_node* node);

// IRP_MN_SURPRISE_REMOVAL: the hardware is gone. The removal follows when `then_remove`.
void surprise_remove(device_node* node, bool then_remove = true);

// IRP_MN_REMOVE_DEVICE: D0 exit (D3 final) when started, self-managed I/O clean-up, release
// hardware, purge queues, device clean-up, delete the device and the physical device object.
void remove_device(device_node* node);

// Removes the driver's remaining devices, calls DriverUnload, deletes the DRIVER_OBJECT and
// runs the verifier's final check for the driver: pool still allocated under its tags,
// framework handles and references still outstanding, requests never completed. A leak is
// a bug check naming what leaked.
void unload_driver(driver* drv);

// A query-interface request (IRP_MN_QUERY_INTERFACE) sent to the top of `node`'s stack, as
// another driver makes it. `out` points at a buffer of `size` bytes whose INTERFACE header
// the caller sets up; on success it holds the device's exposed interface.
NTSTATUS query_interface(device_node* node, const GUID& type, USHORT size, USHORT version,
                         INTERFACE* out, PVOID interface_specific_data = nullptr);

// Observers.
device_state state(const device_node* node);
NTSTATUS last_status(const device_node* node);
PDEVICE_OBJECT physical_device(const device_node* node);  // the PDO
PDEVICE_OBJECT function_device(const device_node* node);  // the FDO the driver created
PDRIVER_OBJECT driver_object(const driver* drv);
bool loaded(const driver* drv);
registry_values& hardware_key(device_node* node);  // live; changes are seen by the driver

// Symbolic links of the enabled interfaces of `type` (what a program or driver would find),
// as "\??\..." names.
std::vector<std::wstring> enabled_interfaces(const GUID& type);

// Forgets every driver, node and interface (between independent scenarios in one process).
// Only valid once every driver is unloaded.
void reset();

}  // namespace platform::pnp
