// The PnP manager's machinery: the "pnp" thread that runs each operation in turn, the bus
// driver that owns every PDO, and sending IRPs to a device's stack and waiting for them.
#include <cstdio>

#include "core/bugcheck.h"
#include "core/scheduler.h"
#include "io/device_objects.h"
#include "io/device_record.h"
#include "pnp/device_interfaces.h"
#include "pnp/pnp_internal.h"
#include "pnp/registry.h"

namespace platform::pnp::detail {

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

[[noreturn]] void violation(const std::string& what, std::uint64_t p1) {
    bug_check(bug_code::driver_verifier_detected_violation, what, p1);
}

// ---- The bus driver that owns every PDO ---------------------------------------------------

namespace {

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

}  // namespace

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

bool present(const device_node* n) {
    return n->st != device_state::removed && n->st != device_state::failed;
}

device_node* check(device_node* n) {
    if (n == nullptr) {
        violation("PnP operation on a NULL device node");
    }
    return n;
}

}  // namespace platform::pnp::detail

namespace platform::pnp {

using namespace detail;

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

NTSTATUS send_query_interface(PDEVICE_OBJECT device, const GUID& type, USHORT size, USHORT version,
                              INTERFACE* out, PVOID interface_specific_data) {
    // The device stays while its stack handles the request (IoGetAttachedDeviceReference).
    ob::ref<ob::object> keep = ob::reference_body(device);
    if (!keep || keep->type() != ob::kind::device) {
        violation("a query-interface request sent to something that is not a device object",
                  reinterpret_cast<std::uintptr_t>(device));
    }
    return send(device, [&](_IRP& irp) {
        irp.major = IRP_MJ_PNP;
        irp.minor = IRP_MN_QUERY_INTERFACE;
        irp.interface_type = &type;
        irp.interface_size = size;
        irp.interface_version = version;
        irp.interface = out;
        irp.interface_specific_data = interface_specific_data;
    });
}

}  // namespace platform::pnp
