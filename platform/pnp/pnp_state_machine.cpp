// The Plug and Play state machine as the PnP manager drives it: start, query-stop and
// query-remove, surprise removal and removal. Each operation runs on the pnp thread; the IRP
// sequences are listed in pnp_manager.h.
#include <algorithm>

#include "core/bugcheck.h"
#include "core/scheduler.h"
#include "io/device_objects.h"
#include "io/device_record.h"
#include "pnp/device_interfaces.h"
#include "pnp/pnp_internal.h"
#include "pnp/registry.h"
#include "pnp/target_notify.h"

namespace platform::pnp {
namespace detail {

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

NTSTATUS do_query_remove(device_node* n, bool remove_if_accepted, bool even_asleep) {
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

namespace {

// Whether any file object still refers to a device of the PDO's stack.
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

}  // namespace

}  // namespace detail

using namespace detail;

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

}  // namespace platform::pnp
