// Power as the PnP manager drives it: sleep and resume of one device (a system power IRP,
// then a device power IRP), and the shutdown of every working device.
#include "core/bugcheck.h"
#include "core/scheduler.h"
#include "io/device_objects.h"
#include "io/device_record.h"
#include "pnp/device_interfaces.h"
#include "pnp/pnp_internal.h"
#include "pnp/registry.h"

namespace platform::pnp {

using namespace detail;

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
}  // namespace platform::pnp
