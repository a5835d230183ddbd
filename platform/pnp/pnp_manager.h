// The Plug and Play manager: loads driver modules, keeps device nodes with their registry
// keys, and drives each device's stack through start, sleep and resume, query-stop and
// query-remove, surprise removal, removal and system shutdown. It also answers
// query-interface requests that other drivers make of a device, keeps device interfaces and
// delivers their arrival and removal notifications (the kernel-mode routines are declared in
// wdm_pnp.h and implemented in this folder).
//
// Every operation runs on the PnP manager's own thread ("pnp"), at PASSIVE_LEVEL, one at a
// time; the calling thread blocks (through the scheduler) until the operation is done, so
// virtual time keeps working. Each IRP is sent to the top of the device's stack
// (IoGetAttachedDevice) and must be completed; the PnP manager waits for its completion.
//
// The physical device object (PDO) of every node belongs to the PnP manager's own bus driver
// (\Driver\PnpManager). It completes every PnP and power IRP that reaches it with
// STATUS_SUCCESS, except queries it does not answer (IRP_MN_QUERY_INTERFACE,
// IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_WAIT_WAKE, ...), which it
// completes with the status unchanged; PnP IRPs start with STATUS_NOT_SUPPORTED as on Windows.
//
// IRP sequences (what a function driver's stack receives):
//   start_device        IRP_MN_START_DEVICE (the device is then in D0, the system in S0)
//   sleep_device        IRP_MN_SET_POWER system (Sx, action), then IRP_MN_SET_POWER device
//                       (Dx, same action)
//   resume_device       IRP_MN_SET_POWER system (S0), then IRP_MN_SET_POWER device (D0)
//   query_stop          IRP_MN_QUERY_STOP_DEVICE; refused: IRP_MN_CANCEL_STOP_DEVICE;
//                       accepted: IRP_MN_STOP_DEVICE, then (restart) IRP_MN_START_DEVICE
//   query_remove        IRP_MN_QUERY_REMOVE_DEVICE; refused: IRP_MN_CANCEL_REMOVE_DEVICE;
//                       accepted: IRP_MN_REMOVE_DEVICE (remove_if_accepted) or
//                       IRP_MN_CANCEL_REMOVE_DEVICE (the removal was called off)
//   remove_device       query_remove with removal (an orderly removal)
//   surprise_remove     IRP_MN_SURPRISE_REMOVAL; IRP_MN_REMOVE_DEVICE once every handle to
//                       the stack's devices is closed (or at once, on request)
//   shutdown_system     for every working device: IRP_MN_SET_POWER system (S5,
//                       PowerActionShutdownOff), then device (D3, PowerActionShutdownOff)
// A failed start is followed by IRP_MN_REMOVE_DEVICE, as Windows tears down a stack whose
// start failed. After IRP_MN_REMOVE_DEVICE the function driver must have deleted its device
// (a device still attached to the PDO is a verifier error); the PnP manager then disables the
// node's device interfaces and deletes the PDO.
//
// Typical use (a test or the machine):
//
//     auto* drv = pnp::register_driver({u"vrax", DriverEntry, {}});
//     pnp::load_driver(drv);                                    // DriverEntry
//     auto* node = pnp::add_device(drv, {u"ROOT\\VRAX", {{u"SupportNewHWID",
//     pnp::reg_sz(u"true")}}}); pnp::start_device(node); pnp::sleep_device(node); // S3, then D3
//     pnp::resume_device(node);                                 // S0, then D0
//     pnp::remove_device(node);                                 // query-remove, remove
//     pnp::unload_driver(drv);                                  // DriverUnload + checks
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/strings.h"

namespace platform::pnp {

// ---- Registry values -----------------------------------------------------------------------

// One registry value: its type (REG_SZ, REG_DWORD, REG_BINARY, REG_MULTI_SZ, ...) and the raw
// bytes as the registry stores them (strings UTF-16LE with their terminating zero).
struct registry_value {
    ULONG type = REG_NONE;
    std::vector<std::uint8_t> data;
    friend bool operator==(const registry_value&, const registry_value&) = default;
};
registry_value reg_sz(std::u16string_view text);
registry_value reg_multi_sz(const std::vector<std::u16string>& strings);
registry_value reg_dword(std::uint32_t value);
registry_value reg_qword(std::uint64_t value);
registry_value reg_binary(std::vector<std::uint8_t> bytes);

// A key's values, names compared without regard to case as the registry compares them.
using registry_values = std::map<std::u16string, registry_value, kernel::less_insensitive>;

// Where drivers' service keys live: the registry path DriverEntry receives is this followed
// by the service name.
inline constexpr std::u16string_view services_key_path =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
// Device instance keys: this followed by the instance id; the hardware key
// (PLUGPLAY_REGKEY_DEVICE) is its "Device Parameters" subkey.
inline constexpr std::u16string_view enum_key_path =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";

// ---- Drivers and devices -------------------------------------------------------------------

struct driver_module {
    std::u16string name;                 // service name: "\Driver\<name>", service key
    PDRIVER_INITIALIZE entry = nullptr;  // the module's DriverEntry
    registry_values parameters;          // the service key's "Parameters" subkey
};

struct device_description {
    std::u16string hardware_id;    // e.g. u"ROOT\\VRAX"; the instance id is "<hardware id>\NNNN"
    registry_values hardware_key;  // what IoOpenDeviceRegistryKey(PLUGPLAY_REGKEY_DEVICE) opens
};

struct driver;       // a registered driver module
struct device_node;  // a device the PnP manager knows, with its stack

enum class device_state {
    added,             // AddDevice done, not started
    started,           // working (D0, S0)
    sleeping,          // started, in a low-power state
    stopped,           // query-stop accepted and stopped, not restarted
    surprise_removed,  // surprise removal sent; removal waits for the last handle
    removed,           // IRP_MN_REMOVE_DEVICE sent, PDO deleted
    failed,            // AddDevice or start failed; the stack was torn down
};
std::string_view state_name(device_state s);

// Registers a module; nothing runs yet. The module stays registered until reset().
driver* register_driver(driver_module module);

// Creates the DRIVER_OBJECT and calls DriverEntry with the service key's registry path. A
// failing DriverEntry is returned and the driver object deleted (DriverUnload is not called:
// the driver never finished loading). STATUS_IMAGE_ALREADY_LOADED when loaded already.
NTSTATUS load_driver(driver* drv);

// Removes the driver's remaining devices (query-remove and remove, from whatever power state
// they are in: a device asleep or shut down is not powered up first; a veto is returned and
// the driver stays loaded), calls DriverUnload and deletes the DRIVER_OBJECT. A device of the
// driver still present, or a PnP notification it registered and never unregistered, is a
// verifier error (bug check 0xC4). STATUS_INVALID_DEVICE_STATE when the driver is not loaded;
// STATUS_INVALID_DEVICE_REQUEST when it has no DriverUnload (it cannot be unloaded).
NTSTATUS unload_driver(driver* drv);

// Creates a device node served by `drv` (which must be loaded): the PDO, the instance's
// registry keys, then DriverExtension->AddDevice(driver, pdo). Never returns NULL: when
// AddDevice fails (or the driver has none) the node is `failed` with the status in
// last_status() and its PDO is deleted.
device_node* add_device(driver* drv, device_description description);

NTSTATUS start_device(device_node* node);
// Sleep to a system state (PowerSystemSleeping1..PowerSystemHibernate) and the device state
// the device takes in it. The power action is PowerActionHibernate for hibernation,
// PowerActionSleep otherwise.
NTSTATUS sleep_device(device_node* node, SYSTEM_POWER_STATE system = PowerSystemSleeping3,
                      DEVICE_POWER_STATE device = PowerDeviceD3);
NTSTATUS resume_device(device_node* node);
NTSTATUS query_stop(device_node* node, bool restart = true);
NTSTATUS query_remove(device_node* node, bool remove_if_accepted = false);
NTSTATUS remove_device(device_node* node);

enum class removal_after_surprise { when_handles_closed, at_once };
NTSTATUS surprise_remove(device_node* node,
                         removal_after_surprise when = removal_after_surprise::when_handles_closed);

// Powers every working device down for shutdown: they are left `sleeping` (not removed), and
// unload_driver removes them from there.
NTSTATUS shutdown_system();

// A query-interface request (IRP_MN_QUERY_INTERFACE) sent to the top of `node`'s stack, as
// another driver makes it. `out` points at a buffer of `size` bytes; on success it holds the
// interface the device exposes. STATUS_NOT_SUPPORTED when no driver in the stack answers.
NTSTATUS query_interface(device_node* node, const GUID& type, USHORT size, USHORT version,
                         INTERFACE* out, PVOID interface_specific_data = nullptr);
// The same request as a driver sends it itself (WdfIoTargetQueryForInterface,
// WdfFdoQueryForInterface, after FxQueryInterface::_QueryForInterface): sent on the caller's
// thread to the top of the stack `device` belongs to, and waited for. The status is whatever
// the stack completed it with; STATUS_NOT_SUPPORTED when no driver answers.
NTSTATUS send_query_interface(PDEVICE_OBJECT device, const GUID& type, USHORT size, USHORT version,
                              INTERFACE* out, PVOID interface_specific_data);

// ---- Observers -------------------------------------------------------------------------------
device_state state(const device_node* node);
NTSTATUS last_status(const device_node* node);            // of the node's last operation
PDEVICE_OBJECT physical_device(const device_node* node);  // the PDO (NULL once removed)
PDEVICE_OBJECT function_device(const device_node* node);  // the top of the stack, or NULL
std::u16string instance_id(const device_node* node);      // "ROOT\VRAX\0000"
driver* node_driver(const device_node* node);
device_node* node_of(PDEVICE_OBJECT pdo);         // the node whose PDO this is, or NULL
PDRIVER_OBJECT driver_object(const driver* drv);  // NULL while not loaded
bool loaded(const driver* drv);
std::u16string registry_path(const driver* drv);

// The node's hardware key, shared with what the driver reads through its key handles.
void set_hardware_value(device_node* node, std::u16string_view name, registry_value value);
std::optional<registry_value> hardware_value(const device_node* node, std::u16string_view name);

// Symbolic links ("\??\...") of the enabled interfaces of `type`, in registration order.
std::vector<std::u16string> enabled_interfaces(const GUID& type);

// Waits until every queued PnP notification has been delivered and no callback is running.
void flush_notifications();

// The final check for a machine: devices still present, drivers still loaded and
// notification entries still registered, one line each (empty when clean). final_check()
// bug-checks (0xC4) with the report when it is not empty.
std::vector<std::string> final_check_report();
void final_check();

// Forgets every driver, node, registry key and interface (between independent scenarios in
// one process). Only valid once every driver is unloaded.
void reset();

}  // namespace platform::pnp
