// The I/O manager's own record of a device object (DEVICE_OBJECT::Reserved points to it)
// and of a driver object; shared by the device and open paths only.
#pragma once

#include <wdm.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "io/security.h"
#include "kernel/object_manager.h"

namespace platform::io {

struct device_record : ob::object {
    explicit device_record(DEVICE_OBJECT* body) : ob::object(ob::kind::device, body), dev(body) {}
    ~device_record() override;

    DEVICE_OBJECT* dev;  // with the extension behind it, one allocation
    // Guarded by devices_lock().
    std::shared_ptr<const security_descriptor> security;
    PDEVICE_OBJECT lower = nullptr;  // the device this one is attached to
    bool deleted = false;
    std::size_t files = 0;  // file objects referring to the device
};

struct driver_record : ob::object {
    driver_record() : ob::object(ob::kind::driver, &drv) {}
    DRIVER_OBJECT drv{};
    DRIVER_EXTENSION ext{};
    std::u16string name;     // "\Driver\<service>"
    std::u16string service;  // ServiceKeyName's characters
};

// Guards the device fields above, AttachedDevice and NextDevice links and driver device lists.
std::mutex& devices_lock();

device_record* record_of(PDEVICE_OBJECT dev);

// IoGetAttachedDevice with devices_lock() held.
PDEVICE_OBJECT top_of_stack_locked(PDEVICE_OBJECT dev);

}  // namespace platform::io
