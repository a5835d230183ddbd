// Driver modules and device nodes: registering, loading and unloading drivers, adding
// devices (the PDO, the instance's keys, AddDevice), what tests observe of them, the final
// check and the reset between scenarios.
#include "core/bugcheck.h"
#include "core/driver_call.h"
#include "core/scheduler.h"
#include "io/device_objects.h"
#include "io/device_record.h"
#include "kernel/kernel.h"
#include "pnp/device_interfaces.h"
#include "pnp/pnp_internal.h"
#include "pnp/registry.h"

#ifndef STATUS_IMAGE_ALREADY_LOADED
#define STATUS_IMAGE_ALREADY_LOADED ((NTSTATUS)0xC000010EL)
#endif

namespace platform::pnp {

using namespace detail;

std::string_view state_name(device_state s) {
    switch (s) {
        case device_state::added:
            return "added";
        case device_state::started:
            return "started";
        case device_state::sleeping:
            return "sleeping";
        case device_state::stopped:
            return "stopped";
        case device_state::surprise_removed:
            return "surprise-removed";
        case device_state::removed:
            return "removed";
        case device_state::failed:
            return "failed";
    }
    return "?";
}

driver* register_driver(driver_module module) {
    auto d = std::make_unique<driver>();
    d->registry_path = std::u16string(services_key_path) + module.name;
    d->registry_path_string = kernel::owned_unicode_string(d->registry_path);
    registry::ensure_key(d->registry_path);
    registry::set_value(d->registry_path, u"ImagePath",
                        reg_sz(u"\\SystemRoot\\System32\\drivers\\" + module.name + u".sys"));
    registry::set_value(d->registry_path, u"Type", reg_dword(1));  // kernel driver
    registry::set_values(d->registry_path + u"\\Parameters", module.parameters);
    d->module = std::move(module);
    manager& m = manager::get();
    std::lock_guard g(m.lock);
    m.drivers.push_back(std::move(d));
    return m.drivers.back().get();
}

NTSTATUS load_driver(driver* drv) {
    NTSTATUS result = STATUS_SUCCESS;
    manager::get().run([&] {
        if (drv->object != nullptr) {
            result = STATUS_IMAGE_ALREADY_LOADED;
            return;
        }
        PDRIVER_OBJECT obj = io::create_driver_object(drv->module.name, drv->module.entry);
        if (obj == nullptr) {
            result = STATUS_OBJECT_NAME_COLLISION;
            return;
        }
        {
            verifier::driver_call guard({"DriverEntry", obj});
            result = drv->module.entry(obj, drv->registry_path_string.get());
        }
        if (!NT_SUCCESS(result)) {
            // The driver never finished loading: no DriverUnload. A device it left behind
            // is the verifier's to report when the object goes.
            io::delete_driver_object(obj);
            return;
        }
        drv->object = obj;
    });
    return result;
}

namespace {

// How long an unload waits for file objects that still refer to the driver's deleted devices
// (closes on their way through the I/O manager's close worker) before calling it a leak.
constexpr ticks device_release_limit = 60 * ticks_per_second;

// Removes the driver's devices still present, from whatever state they are in: a device
// asleep, or after a shutdown, is removed as it is, without powering it up first. Returns a
// veto, if any (the driver then stays loaded).
NTSTATUS remove_devices_of(driver* drv) {
    manager& m = manager::get();
    std::vector<device_node*> mine;
    {
        std::lock_guard g(m.lock);
        for (auto& n : m.nodes) {
            if (n->drv == drv && present(n.get()))
                mine.push_back(n.get());
        }
    }
    for (device_node* n : mine) {
        if (n->st == device_state::surprise_removed) {
            remove_now(n, device_state::removed);
            continue;
        }
        NTSTATUS st = do_query_remove(n, true, true);
        n->last = st;
        if (!NT_SUCCESS(st))
            return st;
    }
    return STATUS_SUCCESS;
}

// A deleted device object lives until its last file object is closed, and its driver with it
// (the I/O manager unloads a driver once its last device object goes): waits for closes still
// in flight before DriverUnload.
void wait_for_device_objects(PDRIVER_OBJECT obj) {
    auto& s = scheduler::get();
    const ticks limit = s.now() + device_release_limit;
    while (io::live_device_objects(obj) != 0) {
        if (s.now() >= limit) {
            violation("driver unloaded while file objects still refer to its deleted devices",
                      io::live_device_objects(obj));
        }
        const ticks next_look = s.now() + ticks_per_ms;
        std::unique_lock lk(s.lock());
        s.block(
            lk, [] { return false; }, next_look,
            "the last file object of a deleted device to be closed");
    }
}

void check_unloaded(PDRIVER_OBJECT obj) {
    if (obj->DeviceObject != nullptr) {
        violation("driver unloaded with a device still present",
                  reinterpret_cast<std::uintptr_t>(obj->DeviceObject));
    }
    auto entries = interfaces::registered_entries(obj);
    if (!entries.empty()) {
        std::string what = "driver unloaded with PnP notifications still registered:";
        for (const auto& e : entries)
            what += "\n  " + e;
        violation(what, entries.size());
    }
}

}  // namespace

NTSTATUS unload_driver(driver* drv) {
    NTSTATUS result = STATUS_SUCCESS;
    manager::get().run([&] {
        if (drv->object == nullptr) {
            result = STATUS_INVALID_DEVICE_STATE;
            return;
        }
        result = remove_devices_of(drv);
        if (!NT_SUCCESS(result))
            return;
        PDRIVER_OBJECT obj = drv->object.load();
        if (obj->DriverUnload == nullptr) {
            result = STATUS_INVALID_DEVICE_REQUEST;  // a driver without an unload routine stays
            return;
        }
        wait_for_device_objects(obj);
        {
            verifier::driver_call guard({"DriverUnload", obj});
            obj->DriverUnload(obj);
        }
        kernel::expect_no_driver_threads(obj);  // its system threads must have ended
        check_unloaded(obj);
        io::delete_driver_object(obj);
        drv->object = nullptr;
    });
    return result;
}

namespace {

// A new node with the first instance number no present device of its hardware id uses.
device_node* new_node(driver* drv, std::u16string hardware_id) {
    manager& m = manager::get();
    auto node = std::make_unique<device_node>();
    node->drv = drv;
    node->hardware_id = std::move(hardware_id);
    std::lock_guard g(m.lock);
    for (unsigned i = 0;; ++i) {
        std::u16string candidate = node->hardware_id + u"\\" + index_suffix(i);
        bool taken = false;
        for (auto& other : m.nodes) {
            taken = taken ||
                    (present(other.get()) && kernel::equal_insensitive(other->instance, candidate));
        }
        if (!taken) {
            node->instance = candidate;
            break;
        }
    }
    m.nodes.push_back(std::move(node));
    return m.nodes.back().get();
}

// The instance key (hardware id, service), its hardware key and the software key.
void create_node_keys(const device_node* n, const registry_values& hardware_key) {
    const std::u16string instance_key = std::u16string(enum_key_path) + n->instance;
    registry::ensure_key(instance_key);
    registry::set_value(instance_key, u"HardwareID", reg_multi_sz({n->hardware_id}));
    registry::set_value(instance_key, u"Service", reg_sz(n->drv->module.name));
    registry::ensure_key(hardware_key_path(n));
    registry::set_values(hardware_key_path(n), hardware_key);
    registry::ensure_key(driver_key_path(n));
}

// The bus driver's PDO for the node, named "\Device\NNNNNNNN".
NTSTATUS create_pdo(device_node* n) {
    manager& m = manager::get();
    unsigned number;
    {
        std::lock_guard g(m.lock);
        number = m.next_pdo_number++;
    }
    PDEVICE_OBJECT pdo = nullptr;
    io::device_params params;
    params.driver = bus_driver();
    params.name = u"\\Device\\" + hex_name(number);
    params.type = FILE_DEVICE_UNKNOWN;
    params.characteristics = FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN;
    NTSTATUS st = io::create_device_object(params, &pdo);
    if (!NT_SUCCESS(st))
        return st;
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard g(m.lock);
    n->pdo = pdo;
    m.by_pdo[pdo] = n;
    return STATUS_SUCCESS;
}

// On the pnp thread: the PDO, then the driver's AddDevice.
void add_on_pnp_thread(driver* drv, device_node* n) {
    NTSTATUS st = drv->object == nullptr ? STATUS_INVALID_DEVICE_STATE : create_pdo(n);
    if (!NT_SUCCESS(st)) {
        n->st = device_state::failed;
        n->last = st;
        return;
    }
    PDRIVER_ADD_DEVICE add = drv->object.load()->DriverExtension->AddDevice;
    if (add == nullptr) {
        st = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        verifier::driver_call guard({"AddDevice", drv->object.load()});
        st = add(drv->object.load(), n->pdo);
    }
    n->last = st;
    if (!NT_SUCCESS(st)) {
        if (attached_above(n->pdo) != nullptr) {
            violation("AddDevice failed but left its device attached to the PDO",
                      static_cast<std::uint32_t>(st));
        }
        delete_pdo(n, device_state::failed);
        return;
    }
    n->st = device_state::added;
}

}  // namespace

device_node* add_device(driver* drv, device_description description) {
    device_node* n = new_node(drv, std::move(description.hardware_id));
    create_node_keys(n, description.hardware_key);
    manager::get().run([&] { add_on_pnp_thread(drv, n); });
    return n;
}

device_state state(const device_node* node) {
    std::lock_guard g(manager::get().lock);
    return check(const_cast<device_node*>(node))->st;
}

NTSTATUS last_status(const device_node* node) {
    std::lock_guard g(manager::get().lock);
    return check(const_cast<device_node*>(node))->last;
}

PDEVICE_OBJECT physical_device(const device_node* node) {
    std::lock_guard g(manager::get().lock);
    return check(const_cast<device_node*>(node))->pdo;
}

PDEVICE_OBJECT function_device(const device_node* node) {
    std::lock_guard g(manager::get().lock);
    PDEVICE_OBJECT pdo = check(const_cast<device_node*>(node))->pdo;
    if (pdo == nullptr || attached_above(pdo) == nullptr) {
        return nullptr;
    }
    return top_of(pdo);
}

std::u16string instance_id(const device_node* node) {
    return check(const_cast<device_node*>(node))->instance;
}

driver* node_driver(const device_node* node) {
    return check(const_cast<device_node*>(node))->drv;
}

device_node* node_of(PDEVICE_OBJECT pdo) {
    manager& m = manager::get();
    std::lock_guard g(m.lock);
    auto it = m.by_pdo.find(pdo);
    return it == m.by_pdo.end() ? nullptr : it->second;
}

PDRIVER_OBJECT driver_object(const driver* drv) {
    return drv->object;
}

bool loaded(const driver* drv) {
    return drv->object != nullptr;
}

std::u16string registry_path(const driver* drv) {
    return drv->registry_path;
}

std::vector<std::u16string> enabled_interfaces(const GUID& type) {
    return interfaces::enabled(type);
}

void flush_notifications() {
    interfaces::flush();
}

std::vector<std::string> final_check_report() {
    std::vector<std::string> report;
    manager& m = manager::get();
    {
        std::lock_guard g(m.lock);
        for (auto& n : m.nodes) {
            if (present(n.get())) {
                report.push_back("device " + kernel::to_utf8(n->instance) + " still present (" +
                                 std::string(state_name(n->st)) + ")");
            }
        }
        for (auto& d : m.drivers) {
            if (d->object != nullptr) {
                report.push_back("driver " + kernel::to_utf8(d->module.name) + " still loaded");
            }
        }
    }
    for (auto& e : interfaces::registered_entries(nullptr)) {
        report.push_back(e);
    }
    return report;
}

void final_check() {
    auto report = final_check_report();
    if (report.empty()) {
        return;
    }
    std::string what = "PnP final check:";
    for (const auto& line : report) {
        what += "\n  " + line;
    }
    violation(what, report.size());
}

void reset() {
    manager& m = manager::get();
    {
        std::lock_guard g(m.lock);
        for (auto& d : m.drivers) {
            if (d->object != nullptr) {
                violation("pnp::reset() with a driver still loaded");
            }
        }
        m.nodes.clear();
        m.drivers.clear();
        m.by_pdo.clear();
        m.awaiting_handles.clear();
        // The bus driver goes with its PDOs; the next device added creates it again.
        if (m.bus != nullptr && m.bus->DeviceObject == nullptr) {
            io::delete_driver_object(m.bus);
            m.bus = nullptr;
        }
    }
    interfaces::reset();
    registry::clear();
}

}  // namespace platform::pnp
