// The I/O manager's own record of a device object (DEVICE_OBJECT::Reserved points to it)
// and of a driver object; shared by the device and open paths only.
#pragma once

#include <wdm.h>

#include <atomic>
#include <functional>
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
    // The driver object stays while any of its device objects does (a deleted device still
    // referenced by a file object gets its close through the driver's dispatch table).
    ob::ref<ob::object> owner;
    // Run once when the device object is freed (see io::on_device_object_freed).
    std::function<void()> on_freed;
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
    // Device objects of this driver not yet freed, deleted ones included.
    std::atomic<std::size_t> device_objects{0};
};

// Guards the device fields above, AttachedDevice and NextDevice links and driver device lists.
std::mutex& devices_lock();

device_record* record_of(PDEVICE_OBJECT dev);

// IoGetAttachedDevice with devices_lock() held.
PDEVICE_OBJECT top_of_stack_locked(PDEVICE_OBJECT dev);

}  // namespace platform::io
