// The I/O manager's internal API for the framework and the PnP manager: driver objects,
// device objects with their names and security descriptors, and symbolic links.
//
// Names are full object-namespace paths ("\Device\VRAX", "\DosDevices\VRAX", "\??\VRAX",
// "\GLOBAL??\VRAX"), compared without regard to case. The exported WDM routines
// (IoCreateDevice, IoCreateSymbolicLink, ...) are thin wrappers over these.
//
//     std::shared_ptr<const io::security_descriptor> sd;
//     NTSTATUS st = io::parse_sddl(L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;UD)", sd);
//     PDEVICE_OBJECT dev;
//     st = io::create_device_object({.driver = drv, .name = L"\\Device\\VRAX",
//                                    .type = FILE_DEVICE_UNKNOWN, .security = sd}, &dev);
//     io::create_symbolic_link(L"\\DosDevices\\VRAX", L"\\Device\\VRAX");
//     ...
//     io::delete_symbolic_link(L"\\DosDevices\\VRAX");
//     io::delete_device_object(dev);  // freed once no file object refers to it any more
#pragma once

#include <wdm.h>

#include <memory>
#include <string>
#include <string_view>

#include "io/security.h"

namespace platform::io {

// ---- Driver objects ----------------------------------------------------------------------

// Creates a DRIVER_OBJECT named "\Driver\<service_name>" with a DRIVER_EXTENSION whose
// ServiceKeyName is `service_name`, every MajorFunction set to a routine that completes the
// IRP with STATUS_INVALID_DEVICE_REQUEST (as Windows fills an unused slot), DriverInit =
// `entry`. The object is entered in the namespace under \Driver. Returns NULL when the name
// is taken.
PDRIVER_OBJECT create_driver_object(std::wstring_view service_name, PDRIVER_INITIALIZE entry);

// Removes the driver object from the namespace and frees it. Its devices must already be
// deleted: a driver deleted with a device still present is a bug check.
void delete_driver_object(PDRIVER_OBJECT driver);

// ---- Device objects ----------------------------------------------------------------------

struct device_params {
    PDRIVER_OBJECT driver = nullptr;
    ULONG extension_size = 0;  // DeviceExtension bytes, zero-filled
    std::wstring name;         // full path such as L"\\Device\\VRAX"; empty for unnamed
    DEVICE_TYPE type = FILE_DEVICE_UNKNOWN;
    ULONG characteristics = 0;
    bool exclusive = false;  // one open file object at a time (DO_EXCLUSIVE)
    // The device's security descriptor; null gives the default one (default_device_security).
    std::shared_ptr<const security_descriptor> security;
};

// IoCreateDevice: creates the device object, links it into the driver's device list, sets
// DO_DEVICE_INITIALIZING (the creator clears it when ready; opens are refused until then)
// and enters the name. Fails with STATUS_OBJECT_NAME_COLLISION when the name exists,
// STATUS_OBJECT_PATH_NOT_FOUND when its directory does not, STATUS_OBJECT_NAME_INVALID for a
// malformed name.
NTSTATUS create_device_object(const device_params& params, PDEVICE_OBJECT* out);

// IoDeleteDevice: removes the name, unlinks the device from its driver and detaches it from
// the device below (the device above must already be detached). New opens fail at once; the
// memory goes when the last file object that refers to the device is closed.
void delete_device_object(PDEVICE_OBJECT device);

// Replaces the device's security descriptor (for a framework that applies its SDDL after
// creating the device).
void set_device_security(PDEVICE_OBJECT device, std::shared_ptr<const security_descriptor> sd);
std::shared_ptr<const security_descriptor> device_security(PDEVICE_OBJECT device);

// The device's full name, or empty for an unnamed device.
std::wstring device_name(PDEVICE_OBJECT device);

// Number of file objects that refer to the device (open or still referenced by an IRP).
std::size_t open_file_count(PDEVICE_OBJECT device);

// ---- Symbolic links ----------------------------------------------------------------------

// IoCreateSymbolicLink: `link` is the full link name (L"\\DosDevices\\VRAX"), `target` the
// full name it resolves to. STATUS_OBJECT_NAME_COLLISION when `link` exists.
NTSTATUS create_symbolic_link(std::wstring_view link, std::wstring_view target);

// IoDeleteSymbolicLink: STATUS_OBJECT_NAME_NOT_FOUND when there is no such link.
NTSTATUS delete_symbolic_link(std::wstring_view link);

// ---- Conversions ---------------------------------------------------------------------------

// UNICODE_STRING <-> host strings (the counted string need not end with a zero).
std::wstring to_wstring(PCUNICODE_STRING s);

}  // namespace platform::io
