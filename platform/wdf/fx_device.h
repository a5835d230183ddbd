// The framework device: the WDFDEVICE_INIT set-up it is built from, the function device
// object it owns, and its Plug and Play and power state (driven by the IRP_MJ_PNP and
// IRP_MJ_POWER IRPs the PnP manager sends; see fx_device_pnp.cpp for the callback order).
#pragma once

#include <wdf.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "io/security.h"
#include "wdf/fx_driver.h"
#include "wdf/fx_object.h"

namespace platform::wdf {
class fx_device;
}

// What WdfDeviceInit* fill in; consumed by WdfDeviceCreate (or freed by WdfDeviceInitFree).
struct WDFDEVICE_INIT {
    platform::wdf::fx_driver* driver = nullptr;
    bool framework_owned = false;  // made by AddDevice, which frees it (WdfDeviceInitFree does not)
    platform::wdf::fx_device* created = nullptr;  // set by a successful WdfDeviceCreate
    PDEVICE_OBJECT pdo = nullptr;
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    WDF_DEVICE_IO_TYPE io_type = WdfDeviceIoBuffered;
    bool has_name = false;
    std::u16string name;
    bool file_config_set = false;
    WDF_FILEOBJECT_CONFIG file_config{};
    bool file_attributes_set = false;
    WDF_OBJECT_ATTRIBUTES file_attributes{};
    bool request_attributes_set = false;
    WDF_OBJECT_ATTRIBUTES request_attributes{};
    std::shared_ptr<const platform::io::security_descriptor> security;  // from the SDDL
    bool exclusive = false;
    DEVICE_TYPE device_type = FILE_DEVICE_UNKNOWN;
    ULONG characteristics = FILE_DEVICE_SECURE_OPEN;
    bool power_policy_owner = true;
    bool power_pageable = true;
    bool has_device_class = false;
    GUID device_class{};
};

namespace platform::wdf {

// The device's place in its Plug and Play life.
enum class pnp_state {
    added,             // created, not started
    started,           // working
    query_stopped,     // a query-stop was accepted
    stopped,           // stopped for resource rebalancing
    query_removed,     // a query-remove was accepted
    surprise_removed,  // the hardware is gone; waiting for the remove
    removed,
};

class fx_device : public fx_object {
  public:
    fx_device() : fx_object(fx_type::device) {}

    static fx_device* from_wdm(PDEVICE_OBJECT device);  // null when not a framework device

    fx_driver* driver = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;  // what the FDO is attached to

    // Configuration from the WDFDEVICE_INIT (read-only after WdfDeviceCreate).
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    WDF_DEVICE_IO_TYPE io_type = WdfDeviceIoBuffered;
    bool file_config_set = false;
    WDF_FILEOBJECT_CONFIG file_config{};
    bool file_attributes_set = false;
    WDF_OBJECT_ATTRIBUTES file_attributes{};
    bool request_attributes_set = false;
    WDF_OBJECT_ATTRIBUTES request_attributes{};
    bool exclusive = false;
    std::u16string name;  // the device object's name, empty when unnamed

    // WdfDeviceSetStaticStopRemove(FALSE) counts up, TRUE counts down; non-zero refuses
    // query-stop and query-remove.
    std::atomic<long> stop_count{0};

    // State below is changed only by the PnP and power IRP handlers (one at a time) and the
    // routines that add interfaces and links; `mutex` guards the lists.
    pnp_state state = pnp_state::added;
    bool in_d0 = false;
    WDF_POWER_DEVICE_STATE power_state = WdfPowerDeviceD3Final;
    bool self_managed_io_started = false;  // EvtDeviceSelfManagedIoInit has run
    bool hardware_prepared = false;

    struct query_interface {
        GUID type;
        std::vector<std::uint8_t> data;  // the copied interface, or empty (imported only)
        bool import_interface;
        PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST process;
    };
    struct device_interface {
        GUID type;
        std::u16string reference;
        std::u16string symbolic_link;  // from IoRegisterDeviceInterface
        bool enabled = false;
        bool auto_enable = true;
    };
    std::mutex mutex;
    std::vector<std::u16string> symbolic_links;
    std::vector<query_interface> query_interfaces;
    std::vector<device_interface> device_interfaces;

    // Tears the device down after IRP_MN_REMOVE_DEVICE (or a failed device add): file
    // callbacks in progress finish first, then the object tree is deleted and the device
    // object with it. The fx_device itself (its handle, its I/O package) lives on as long as
    // the device object does, that is until the last file object that refers to it is
    // closed, so a close still on its way is handled rather than touching freed memory.
    void remove_device_object();

    // Binds the fx_device's lifetime to its device object (WdfDeviceCreate): one reference,
    // dropped when the I/O manager frees the device object.
    void hold_until_device_object_freed();

  protected:
    ~fx_device() override;
    void dispose() override;
};

// The framework's IRP_MJ_PNP and IRP_MJ_POWER handling for a framework device.
NTSTATUS dispatch_pnp(fx_device* device, PIRP irp);
NTSTATUS dispatch_power(fx_device* device, PIRP irp);

// Device interfaces: enables those created before the start (auto-enable), or disables all.
void set_all_interfaces(fx_device* device, bool enable, bool only_auto);

}  // namespace platform::wdf
