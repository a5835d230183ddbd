// The PnP manager: driver modules, device nodes, the bus driver that owns every PDO, and the
// "pnp" thread that runs each operation and waits for the IRPs it sends.
#include "pnp/pnp_manager.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "core/bugcheck.h"
#include "core/faults.h"
#include "core/scheduler.h"
#include "io/device_objects.h"
#include "io/device_record.h"
#include "io/irp.h"
#include "kernel/kernel.h"
#include "pnp/device_interfaces.h"
#include "pnp/registry.h"
#include "pnp/target_notify.h"

#ifndef STATUS_IMAGE_ALREADY_LOADED
#define STATUS_IMAGE_ALREADY_LOADED ((NTSTATUS)0xC000010EL)
#endif

namespace platform::pnp {

struct driver {
    driver_module module;
    std::u16string registry_path;
    kernel::owned_unicode_string registry_path_string;  // what DriverEntry receives
    std::atomic<PDRIVER_OBJECT> object = nullptr;       // while loaded
};

struct device_node {
    driver* drv = nullptr;
    std::u16string hardware_id;
    std::u16string instance;
    PDEVICE_OBJECT pdo = nullptr;  // NULL once removed
    // Written on the pnp thread, read anywhere.
    std::atomic<device_state> st = device_state::added;
    std::atomic<NTSTATUS> last = STATUS_SUCCESS;
};

namespace {

// The device class key drivers' software keys (PLUGPLAY_REGKEY_DRIVER) live under.
constexpr std::u16string_view class_key_path =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
    u"{4d36e97d-e325-11ce-bfc1-08002be10318}\\";

// How often the pnp thread looks at the handles of a surprise-removed device whose removal
// waits for them to close.
constexpr ticks handle_poll_interval = 10 * ticks_per_ms;

struct job {
    std::function<void()> body;
    bool done = false;  // guarded by the scheduler lock
};

class manager {
  public:
    static manager& get() {
        static manager* m = new manager();  // never destroyed: its threads outlive main
        return *m;
    }

    // Runs `body` on the pnp thread and waits for it; inline when already there.
    void run(const std::function<void()>& body);

    std::mutex lock;  // guards drivers, nodes, pdo map, pending removals
    std::vector<std::unique_ptr<driver>> drivers;
    std::vector<std::unique_ptr<device_node>> nodes;
    std::map<PDEVICE_OBJECT, device_node*> by_pdo;
    std::vector<device_node*> awaiting_handles;  // surprise-removed, removal pending
    PDRIVER_OBJECT bus = nullptr;
    unsigned next_pdo_number = 1;

    // Completed IRPs are freed a few operations later rather than as soon as their
    // completion signals, so nothing on the completing thread can touch freed memory.
    void retire(std::unique_ptr<_IRP> irp) {
        std::lock_guard g(lock);
        retired_.push_back(std::move(irp));
        if (retired_.size() > 8) {
            retired_.pop_front();
        }
    }

  private:
    manager() = default;
    void start_thread();
    void thread_body();
    void check_awaiting_handles();

    // Guarded by the scheduler lock.
    std::deque<job*> jobs_;
    bool started_ = false;
    thread_record* thread_ = nullptr;
    std::shared_ptr<scheduler::joinable> handle_;
    std::deque<std::unique_ptr<_IRP>> retired_;
};

void manager::start_thread() {
    auto& s = scheduler::get();
    {
        std::lock_guard g(s.lock());
        if (started_) {
            return;
        }
        started_ = true;
    }
    handle_ = s.start_thread("pnp", [this] { thread_body(); });
    std::lock_guard g(s.lock());
    thread_ = handle_->record();
}

void manager::run(const std::function<void()>& body) {
    auto& s = scheduler::get();
    start_thread();
    job j{body};
    {
        std::unique_lock lk(s.lock());
        if (&s.current_locked() == thread_) {
            lk.unlock();
            body();
            return;
        }
        jobs_.push_back(&j);
        s.wake();
        s.block(
            lk, [&j] { return j.done; }, no_deadline, "a PnP operation on the pnp thread");
    }
}

void manager::thread_body() {
    auto& s = scheduler::get();
    for (;;) {
        bool poll;
        {
            std::lock_guard g(lock);
            poll = !awaiting_handles.empty();
        }
        ticks deadline = poll ? s.now() + handle_poll_interval : no_deadline;
        job* j = nullptr;
        {
            std::unique_lock lk(s.lock());
            s.block(
                lk, [this] { return !jobs_.empty(); }, deadline, "PnP work");
            if (!jobs_.empty()) {
                j = jobs_.front();
                jobs_.pop_front();
            }
        }
        if (j != nullptr) {
            j->body();
            std::lock_guard g(s.lock());
            j->done = true;
            s.wake();
        } else if (poll) {
            check_awaiting_handles();
        }
    }
}

std::u16string hex_name(unsigned n) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", n);
    std::u16string out;
    for (const char* p = buf; *p != 0; ++p) {
        out.push_back(static_cast<char16_t>(*p));
    }
    return out;
}

std::u16string index_suffix(unsigned n) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04u", n);
    std::u16string out;
    for (const char* p = buf; *p != 0; ++p) {
        out.push_back(static_cast<char16_t>(*p));
    }
    return out;
}

[[noreturn]] void violation(const std::string& what, std::uint64_t p1 = 0) {
    bug_check(bug_code::driver_verifier_detected_violation, what, p1);
}

// ---- The bus driver that owns every PDO ---------------------------------------------------

NTSTATUS bus_dispatch_pnp(PDEVICE_OBJECT, PIRP irp) {
    NTSTATUS st = irp->status;
    switch (irp->minor) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_DEVICE_ENUMERATED:
            st = STATUS_SUCCESS;
            break;
        default:
            break;  // a query the bus does not answer: the status stays as it came
    }
    io::complete_irp(irp, st, irp->information);
    return st;
}

NTSTATUS bus_dispatch_power(PDEVICE_OBJECT, PIRP irp) {
    NTSTATUS st = irp->status;
    if (irp->minor == IRP_MN_SET_POWER || irp->minor == IRP_MN_QUERY_POWER) {
        st = STATUS_SUCCESS;
    }
    io::complete_irp(irp, st, irp->information);
    return st;
}

PDRIVER_OBJECT bus_driver() {
    manager& m = manager::get();
    std::lock_guard g(m.lock);
    if (m.bus == nullptr) {
        m.bus = io::create_driver_object(u"PnpManager", nullptr);
        if (m.bus == nullptr) {
            violation("the PnP manager's bus driver object could not be created");
        }
        m.bus->MajorFunction[IRP_MJ_PNP] = bus_dispatch_pnp;
        m.bus->MajorFunction[IRP_MJ_POWER] = bus_dispatch_power;
    }
    return m.bus;
}

// ---- Sending IRPs --------------------------------------------------------------------------

// The top of the stack the PDO belongs to. Read under the I/O manager's device lock rather
// than through IoGetAttachedDevice so that faults injected into the driver's calls cannot
// reach the PnP manager's own sends.
PDEVICE_OBJECT top_of(PDEVICE_OBJECT pdo) {
    std::lock_guard g(io::devices_lock());
    return io::top_of_stack_locked(pdo);
}

PDEVICE_OBJECT attached_above(PDEVICE_OBJECT pdo) {
    std::lock_guard g(io::devices_lock());
    return pdo->AttachedDevice;
}

NTSTATUS send(PDEVICE_OBJECT pdo, const std::function<void(_IRP&)>& fill) {
    auto& s = scheduler::get();
    auto irp = std::make_unique<_IRP>();
    irp->requestor_mode = KernelMode;
    irp->status = STATUS_NOT_SUPPORTED;
    fill(*irp);
    bool done = false;
    irp->on_complete = [&done](PIRP) {
        auto& sch = scheduler::get();
        std::lock_guard g(sch.lock());
        done = true;
        sch.wake();
    };
    io::call_driver(top_of(pdo), irp.get());
    {
        std::unique_lock lk(s.lock());
        s.block(
            lk, [&done] { return done; }, no_deadline, "a PnP or power IRP to complete");
    }
    NTSTATUS st = irp->status;
    manager::get().retire(std::move(irp));
    return st;
}

NTSTATUS send_pnp(PDEVICE_OBJECT pdo, UCHAR minor) {
    return send(pdo, [minor](_IRP& irp) {
        irp.major = IRP_MJ_PNP;
        irp.minor = minor;
    });
}

NTSTATUS send_power(PDEVICE_OBJECT pdo, POWER_STATE_TYPE type, SYSTEM_POWER_STATE sx,
                    DEVICE_POWER_STATE dx, POWER_ACTION action) {
    return send(pdo, [&](_IRP& irp) {
        irp.major = IRP_MJ_POWER;
        irp.minor = IRP_MN_SET_POWER;
        irp.power_type = type;
        irp.system_state = sx;
        irp.device_state = dx;
        irp.power_action = action;
    });
}

// ---- Operations (on the pnp thread) --------------------------------------------------------

bool present(const device_node* n) {
    return n->st != device_state::removed && n->st != device_state::failed;
}

// Deletes a PDO whose stack has been torn down and forgets it.
void delete_pdo(device_node* n, device_state final_state) {
    PDEVICE_OBJECT pdo = n->pdo;
    // A driver that completed the removal on another thread may still be deleting its
    // device: give it a moment before calling it a leak.
    for (int i = 0; i < 1000 && attached_above(pdo) != nullptr; ++i) {
        auto& s = scheduler::get();
        ticks deadline = s.now() + ticks_per_ms;
        std::unique_lock lk(s.lock());
        s.block(
            lk, [] { return false; }, deadline, "the function driver to delete its device");
    }
    if (PDEVICE_OBJECT above = attached_above(pdo)) {
        violation(
            "a device is still attached to the PDO after IRP_MN_REMOVE_DEVICE: the "
            "function driver must detach and delete its device",
            reinterpret_cast<std::uintptr_t>(above));
    }
    interfaces::disable_all(pdo, true);
    manager& m = manager::get();
    {
        std::lock_guard g(m.lock);
        m.by_pdo.erase(pdo);
        std::erase(m.awaiting_handles, n);
        n->pdo = nullptr;
        n->st = final_state;
    }
    io::delete_device_object(pdo);
}

void remove_now(device_node* n, device_state final_state) {
    // Holders of the device's file objects hear of the removal before the device goes.
    target_notify::remove_complete(n->pdo);
    send_pnp(n->pdo, IRP_MN_REMOVE_DEVICE);
    delete_pdo(n, final_state);
}

NTSTATUS do_start(device_node* n) {
    interfaces::begin_start(n->pdo);
    NTSTATUS st = send_pnp(n->pdo, IRP_MN_START_DEVICE);
    if (NT_SUCCESS(st)) {
        interfaces::end_start(n->pdo);
        n->st = device_state::started;
        return st;
    }
    // A stack whose start failed is torn down; interfaces it enabled meanwhile were never
    // announced and are withdrawn.
    interfaces::disable_all(n->pdo, false);
    interfaces::end_start(n->pdo);
    remove_now(n, device_state::failed);
    return st;
}

NTSTATUS do_query_remove(device_node* n, bool remove_if_accepted, bool even_asleep = false) {
    if ((n->st == device_state::sleeping && !even_asleep) ||
        n->st == device_state::surprise_removed) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // Holders of the device's file objects hear of the removal first, and may veto it.
    NTSTATUS st = target_notify::query_remove(n->pdo);
    if (!NT_SUCCESS(st)) {
        return st;
    }
    st = send_pnp(n->pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(st) || !remove_if_accepted) {
        send_pnp(n->pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        target_notify::remove_cancelled(n->pdo);
        return st;
    }
    remove_now(n, device_state::removed);
    return st;
}

bool handles_closed(PDEVICE_OBJECT pdo) {
    std::vector<PDEVICE_OBJECT> stack;
    {
        std::lock_guard g(io::devices_lock());
        for (PDEVICE_OBJECT d = pdo; d != nullptr; d = d->AttachedDevice) {
            stack.push_back(d);
        }
    }
    for (PDEVICE_OBJECT d : stack) {
        if (io::open_file_count(d) != 0) {
            return false;
        }
    }
    return true;
}

device_node* check(device_node* n) {
    if (n == nullptr) {
        violation("PnP operation on a NULL device node");
    }
    return n;
}

}  // namespace

void manager::check_awaiting_handles() {
    std::vector<device_node*> due;
    {
        std::lock_guard g(lock);
        due = awaiting_handles;
    }
    for (device_node* n : due) {
        if (n->pdo != nullptr && handles_closed(n->pdo)) {
            remove_now(n, device_state::removed);
        }
    }
}

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
        result = drv->module.entry(obj, drv->registry_path_string.get());
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

NTSTATUS unload_driver(driver* drv) {
    NTSTATUS result = STATUS_SUCCESS;
    manager& m = manager::get();
    m.run([&] {
        if (drv->object == nullptr) {
            result = STATUS_INVALID_DEVICE_STATE;
            return;
        }
        std::vector<device_node*> mine;
        {
            std::lock_guard g(m.lock);
            for (auto& n : m.nodes) {
                if (n->drv == drv && present(n.get())) {
                    mine.push_back(n.get());
                }
            }
        }
        for (device_node* n : mine) {
            if (n->st == device_state::surprise_removed) {
                remove_now(n, device_state::removed);
                continue;
            }
            // A device still powered down (asleep, or after a shutdown) is removed as it is,
            // without powering it up again first.
            NTSTATUS st = do_query_remove(n, true, true);
            n->last = st;
            if (!NT_SUCCESS(st)) {
                result = st;
                return;
            }
        }
        PDRIVER_OBJECT obj = drv->object.load();
        if (obj->DriverUnload == nullptr) {
            result = STATUS_INVALID_DEVICE_REQUEST;  // a driver without an unload routine stays
            return;
        }
        obj->DriverUnload(obj);
        kernel::expect_no_driver_threads(obj);  // its system threads must have ended
        if (obj->DeviceObject != nullptr) {
            violation("driver unloaded with a device still present",
                      reinterpret_cast<std::uintptr_t>(obj->DeviceObject));
        }
        auto entries = interfaces::registered_entries(obj);
        if (!entries.empty()) {
            std::string what = "driver unloaded with PnP notifications still registered:";
            for (const auto& e : entries) {
                what += "\n  " + e;
            }
            violation(what, entries.size());
        }
        io::delete_driver_object(obj);
        drv->object = nullptr;
    });
    return result;
}

static std::u16string driver_key_path(const device_node* node);

device_node* add_device(driver* drv, device_description description) {
    manager& m = manager::get();
    device_node* n = nullptr;
    {
        auto node = std::make_unique<device_node>();
        node->drv = drv;
        node->hardware_id = std::move(description.hardware_id);
        std::lock_guard g(m.lock);
        // The first instance number no present device of this hardware id uses.
        for (unsigned i = 0;; ++i) {
            std::u16string candidate = node->hardware_id + u"\\" + index_suffix(i);
            bool taken = false;
            for (auto& other : m.nodes) {
                taken = taken || (present(other.get()) &&
                                  kernel::equal_insensitive(other->instance, candidate));
            }
            if (!taken) {
                node->instance = candidate;
                break;
            }
        }
        m.nodes.push_back(std::move(node));
        n = m.nodes.back().get();
    }
    const std::u16string instance_key = std::u16string(enum_key_path) + n->instance;
    registry::ensure_key(instance_key);
    registry::set_value(instance_key, u"HardwareID", reg_multi_sz({n->hardware_id}));
    registry::set_value(instance_key, u"Service", reg_sz(drv->module.name));
    registry::ensure_key(instance_key + u"\\Device Parameters");
    registry::set_values(instance_key + u"\\Device Parameters", description.hardware_key);
    registry::ensure_key(driver_key_path(n));

    m.run([&] {
        if (drv->object == nullptr) {
            n->st = device_state::failed;
            n->last = STATUS_INVALID_DEVICE_STATE;
            return;
        }
        PDRIVER_OBJECT bus = bus_driver();
        unsigned number;
        {
            std::lock_guard g(m.lock);
            number = m.next_pdo_number++;
        }
        PDEVICE_OBJECT pdo = nullptr;
        io::device_params params;
        params.driver = bus;
        params.name = u"\\Device\\" + hex_name(number);
        params.type = FILE_DEVICE_UNKNOWN;
        params.characteristics = FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN;
        NTSTATUS st = io::create_device_object(params, &pdo);
        if (!NT_SUCCESS(st)) {
            n->st = device_state::failed;
            n->last = st;
            return;
        }
        pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        {
            std::lock_guard g(m.lock);
            n->pdo = pdo;
            m.by_pdo[pdo] = n;
        }
        PDRIVER_ADD_DEVICE add = drv->object.load()->DriverExtension->AddDevice;
        st = add != nullptr ? add(drv->object.load(), pdo) : STATUS_INVALID_DEVICE_REQUEST;
        n->last = st;
        if (!NT_SUCCESS(st)) {
            if (attached_above(pdo) != nullptr) {
                violation("AddDevice failed but left its device attached to the PDO",
                          static_cast<std::uint32_t>(st));
            }
            delete_pdo(n, device_state::failed);
            return;
        }
        n->st = device_state::added;
    });
    return n;
}

NTSTATUS start_device(device_node* node) {
    device_node* n = check(node);
    manager::get().run([n] {
        if (n->st != device_state::added && n->st != device_state::stopped) {
            n->last = STATUS_INVALID_DEVICE_STATE;
            return;
        }
        n->last = do_start(n);
    });
    return n->last;
}

NTSTATUS sleep_device(device_node* node, SYSTEM_POWER_STATE system, DEVICE_POWER_STATE device) {
    device_node* n = check(node);
    manager::get().run([=] {
        if (n->st != device_state::started || system <= PowerSystemWorking ||
            system >= PowerSystemShutdown || device <= PowerDeviceD0 ||
            device >= PowerDeviceMaximum) {
            n->last = n->st != device_state::started ? STATUS_INVALID_DEVICE_STATE
                                                     : STATUS_INVALID_PARAMETER;
            return;
        }
        POWER_ACTION action =
            system == PowerSystemHibernate ? PowerActionHibernate : PowerActionSleep;
        NTSTATUS st = send_power(n->pdo, SystemPowerState, system, device, action);
        if (NT_SUCCESS(st)) {
            st = send_power(n->pdo, DevicePowerState, system, device, action);
        }
        if (NT_SUCCESS(st)) {
            n->st = device_state::sleeping;
        }
        n->last = st;
    });
    return n->last;
}

NTSTATUS resume_device(device_node* node) {
    device_node* n = check(node);
    manager::get().run([n] {
        if (n->st != device_state::sleeping) {
            n->last = STATUS_INVALID_DEVICE_STATE;
            return;
        }
        NTSTATUS st = send_power(n->pdo, SystemPowerState, PowerSystemWorking, PowerDeviceD0,
                                 PowerActionNone);
        if (NT_SUCCESS(st)) {
            st = send_power(n->pdo, DevicePowerState, PowerSystemWorking, PowerDeviceD0,
                            PowerActionNone);
        }
        if (NT_SUCCESS(st)) {
            n->st = device_state::started;
        }
        n->last = st;
    });
    return n->last;
}

NTSTATUS query_stop(device_node* node, bool restart) {
    device_node* n = check(node);
    manager::get().run([=] {
        if (n->st != device_state::started) {
            n->last = STATUS_INVALID_DEVICE_STATE;
            return;
        }
        NTSTATUS st = send_pnp(n->pdo, IRP_MN_QUERY_STOP_DEVICE);
        if (!NT_SUCCESS(st)) {
            send_pnp(n->pdo, IRP_MN_CANCEL_STOP_DEVICE);
            n->last = st;
            return;
        }
        send_pnp(n->pdo, IRP_MN_STOP_DEVICE);
        n->st = device_state::stopped;
        n->last = restart ? do_start(n) : st;
    });
    return n->last;
}

NTSTATUS query_remove(device_node* node, bool remove_if_accepted) {
    device_node* n = check(node);
    manager::get().run([=] {
        n->last = present(n) ? do_query_remove(n, remove_if_accepted) : STATUS_INVALID_DEVICE_STATE;
    });
    return n->last;
}

NTSTATUS remove_device(device_node* node) {
    device_node* n = check(node);
    manager::get().run([n] {
        if (n->st == device_state::surprise_removed) {
            remove_now(n, device_state::removed);
            n->last = STATUS_SUCCESS;
            return;
        }
        n->last = present(n) ? do_query_remove(n, true) : STATUS_INVALID_DEVICE_STATE;
    });
    return n->last;
}

NTSTATUS surprise_remove(device_node* node, removal_after_surprise when) {
    device_node* n = check(node);
    manager& m = manager::get();
    m.run([&m, n, when] {
        if (!present(n) || n->st == device_state::surprise_removed) {
            n->last = STATUS_INVALID_DEVICE_STATE;
            return;
        }
        if (n->st == device_state::added) {
            // Never started: there is nothing to surprise, the stack is simply removed.
            remove_now(n, device_state::removed);
            n->last = STATUS_SUCCESS;
            return;
        }
        n->last = send_pnp(n->pdo, IRP_MN_SURPRISE_REMOVAL);
        n->st = device_state::surprise_removed;
        interfaces::disable_all(n->pdo, false);
        target_notify::remove_complete(n->pdo);  // holders close their handles
        if (when == removal_after_surprise::at_once || handles_closed(n->pdo)) {
            remove_now(n, device_state::removed);
            return;
        }
        std::lock_guard g(m.lock);
        m.awaiting_handles.push_back(n);
    });
    return n->last;
}

NTSTATUS shutdown_system() {
    NTSTATUS result = STATUS_SUCCESS;
    manager& m = manager::get();
    m.run([&] {
        std::vector<device_node*> working;
        {
            std::lock_guard g(m.lock);
            for (auto& n : m.nodes) {
                if (n->st == device_state::started) {
                    working.push_back(n.get());
                }
            }
        }
        for (device_node* n : working) {
            NTSTATUS st = send_power(n->pdo, SystemPowerState, PowerSystemShutdown, PowerDeviceD3,
                                     PowerActionShutdownOff);
            NTSTATUS st2 = send_power(n->pdo, DevicePowerState, PowerSystemShutdown, PowerDeviceD3,
                                      PowerActionShutdownOff);
            n->last = NT_SUCCESS(st) ? st2 : st;
            if (!NT_SUCCESS(n->last) && NT_SUCCESS(result)) {
                result = n->last;
            }
            n->st = device_state::sleeping;
        }
    });
    return result;
}

NTSTATUS query_interface(device_node* node, const GUID& type, USHORT size, USHORT version,
                         INTERFACE* out, PVOID interface_specific_data) {
    device_node* n = check(node);
    NTSTATUS result = STATUS_SUCCESS;
    manager::get().run([&] {
        if (!present(n) || n->st == device_state::surprise_removed) {
            result = STATUS_NO_SUCH_DEVICE;
            return;
        }
        result = send(n->pdo, [&](_IRP& irp) {
            irp.major = IRP_MJ_PNP;
            irp.minor = IRP_MN_QUERY_INTERFACE;
            irp.interface_type = &type;
            irp.interface_size = size;
            irp.interface_version = version;
            irp.interface = out;
            irp.interface_specific_data = interface_specific_data;
        });
    });
    return result;
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

void set_hardware_value(device_node* node, std::u16string_view name, registry_value value) {
    registry::set_value(
        std::u16string(enum_key_path) + check(node)->instance + u"\\Device Parameters", name,
        std::move(value));
}

std::optional<registry_value> hardware_value(const device_node* node, std::u16string_view name) {
    return registry::get_value(std::u16string(enum_key_path) +
                                   check(const_cast<device_node*>(node))->instance +
                                   u"\\Device Parameters",
                               name);
}

static std::u16string driver_key_path(const device_node* node) {
    manager& m = manager::get();
    std::lock_guard g(m.lock);
    for (std::size_t i = 0; i < m.nodes.size(); ++i) {
        if (m.nodes[i].get() == node) {
            return std::u16string(class_key_path) + index_suffix(static_cast<unsigned>(i));
        }
    }
    return {};
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

using namespace platform;
using namespace platform::pnp;
using namespace std::string_view_literals;

extern "C" NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                            ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
    if (auto st = faults::fault_point("IoOpenDeviceRegistryKey")) {
        return *st;
    }
    require_passive("IoOpenDeviceRegistryKey");
    if (DevInstRegKey == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    device_node* n = node_of(DeviceObject);
    if (n == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;  // not a PDO
    }
    std::u16string path;
    if (DevInstKeyType == PLUGPLAY_REGKEY_DEVICE) {
        path = std::u16string(enum_key_path) + instance_id(n) + u"\\Device Parameters";
    } else if (DevInstKeyType == PLUGPLAY_REGKEY_DRIVER) {
        path = driver_key_path(n);
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    return registry::open_key(path, DesiredAccess, true, DevInstRegKey);
}

extern "C" NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject,
                                        DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                                        PVOID PropertyBuffer, PULONG ResultLength) {
    if (auto st = faults::fault_point("IoGetDeviceProperty")) {
        return *st;
    }
    require_passive("IoGetDeviceProperty");
    if (ResultLength == nullptr || (PropertyBuffer == nullptr && BufferLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    device_node* n = node_of(DeviceObject);
    if (n == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;  // not a PDO
    }
    const std::u16string instance = instance_id(n);
    registry_value value;
    switch (DeviceProperty) {
        case DevicePropertyHardwareID:
            value = registry::get_value(std::u16string(enum_key_path) + instance, u"HardwareID")
                        .value_or(reg_multi_sz({}));
            break;
        case DevicePropertyPhysicalDeviceObjectName:
            value = reg_sz(io::device_name(DeviceObject));
            break;
        case DevicePropertyEnumeratorName:
            value = reg_sz(instance.substr(0, instance.find(u'\\')));
            break;
        case DevicePropertyDriverKeyName:
            value = reg_sz(driver_key_path(n).substr(
                u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"sv.size()));
            break;
        default:
            return STATUS_INVALID_PARAMETER_2;
    }
    *ResultLength = static_cast<ULONG>(value.data.size());
    if (BufferLength < value.data.size()) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(PropertyBuffer, value.data.data(), value.data.size());
    return STATUS_SUCCESS;
}
