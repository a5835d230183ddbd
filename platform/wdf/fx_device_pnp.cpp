// The framework's Plug and Play and power handling for its devices, and the order in which
// the driver's callbacks run:
//
//   start        EvtDevicePrepareHardware, EvtDeviceD0Entry(previous state: D3 final at the
//                first start), power-managed queues resume, EvtDeviceSelfManagedIoInit (first
//                start) or EvtDeviceSelfManagedIoRestart, device interfaces enabled
//   sleep        EvtDeviceSelfManagedIoSuspend, power-managed queues stop, EvtDeviceD0Exit(the
//                target: D1..D3, or D3 final when the system shuts down)
//   resume       EvtDeviceD0Entry(the state slept in), queues resume, SelfManagedIoRestart
//   stop         as sleep with D3 final, then EvtDeviceReleaseHardware
//   surprise     EvtDeviceSurpriseRemoval, power down (D3 final) if in D0, ReleaseHardware,
//                then the clean-up for removal: interfaces disabled, symbolic links deleted,
//                power-managed queues purged, EvtDeviceSelfManagedIoFlush
//   remove       (graceful) power down (D3 final) if in D0, ReleaseHardware, the clean-up for
//                removal; then, and after a surprise removal only this: queues that are not
//                power-managed purged, SelfManagedIoCleanup, the device's object tree deleted
//                (children's clean-up callbacks, the device's) and the device object with it.
//
// So after a surprise removal a queue that is not power-managed keeps taking and presenting
// requests until the final remove, which the PnP manager sends once the last handle is closed
// (pnpstatemachine.cpp: PnpCleanupForRemove purges FxIoStopProcessingForPowerPurgeManaged,
// PnpEventRemovedCommonCode ...PurgeNonManaged).
//
// Query-stop and query-remove fail with STATUS_INVALID_DEVICE_STATE while the driver has
// made the device statically non-stoppable, without asking the driver. PnP and power IRPs
// come one at a time (the PnP manager serialises them), so the state needs no lock. Every
// callback runs under the verifier's driver_call guard, which checks that it returns at the
// IRQL it was called at and holding no lock it took.
#include <cstring>

#include "core/driver_call.h"
#include "io/irp.h"
#include "kernel/strings.h"
#include "wdf/fx_device.h"
#include "wdf/io_dispatch.h"

namespace platform::wdf {
namespace {

WDFDEVICE handle_of(fx_device* d) {
    return d->handle_as<WDFDEVICE>();
}

// Calls one PnP or power callback of the driver under the verifier's guard.
template <class Call>
auto run_callback(fx_device* d, std::string_view callback, Call&& call) {
    verifier::driver_call guard({callback, handle_of(d)});
    return call();
}

NTSTATUS self_managed_start(fx_device* d) {
    NTSTATUS status = STATUS_SUCCESS;
    if (!d->self_managed_io_started) {
        d->self_managed_io_started = true;
        if (d->pnp.EvtDeviceSelfManagedIoInit != nullptr) {
            status = run_callback(d, "EvtDeviceSelfManagedIoInit",
                                  [&] { return d->pnp.EvtDeviceSelfManagedIoInit(handle_of(d)); });
        }
    } else if (d->pnp.EvtDeviceSelfManagedIoRestart != nullptr) {
        status = run_callback(d, "EvtDeviceSelfManagedIoRestart",
                              [&] { return d->pnp.EvtDeviceSelfManagedIoRestart(handle_of(d)); });
    }
    return status;
}

// Leaves D0 for `target`: self-managed I/O suspended, power-managed queues stopped, D0 exit.
void power_down(fx_device* d, WDF_POWER_DEVICE_STATE target) {
    if (!d->in_d0)
        return;
    if (d->self_managed_io_started && d->pnp.EvtDeviceSelfManagedIoSuspend != nullptr) {
        (void)run_callback(d, "EvtDeviceSelfManagedIoSuspend",
                           [&] { return d->pnp.EvtDeviceSelfManagedIoSuspend(handle_of(d)); });
    }
    io_power_down(d);
    if (d->pnp.EvtDeviceD0ExitPreInterruptsDisabled != nullptr) {
        (void)run_callback(d, "EvtDeviceD0ExitPreInterruptsDisabled", [&] {
            return d->pnp.EvtDeviceD0ExitPreInterruptsDisabled(handle_of(d), target);
        });
    }
    if (d->pnp.EvtDeviceD0Exit != nullptr) {
        (void)run_callback(d, "EvtDeviceD0Exit",
                           [&] { return d->pnp.EvtDeviceD0Exit(handle_of(d), target); });
    }
    d->in_d0 = false;
    d->power_state = target;
}

// Enters D0 from the state the device is in. On failure the device stays out of D0.
NTSTATUS power_up(fx_device* d) {
    WDF_POWER_DEVICE_STATE previous = d->power_state;
    if (d->pnp.EvtDeviceD0Entry != nullptr) {
        NTSTATUS status = run_callback(
            d, "EvtDeviceD0Entry", [&] { return d->pnp.EvtDeviceD0Entry(handle_of(d), previous); });
        if (!NT_SUCCESS(status))
            return status;
    }
    d->in_d0 = true;
    d->power_state = WdfPowerDeviceD0;
    if (d->pnp.EvtDeviceD0EntryPostInterruptsEnabled != nullptr) {
        NTSTATUS status = run_callback(d, "EvtDeviceD0EntryPostInterruptsEnabled", [&] {
            return d->pnp.EvtDeviceD0EntryPostInterruptsEnabled(handle_of(d), previous);
        });
        if (!NT_SUCCESS(status)) {
            power_down(d, WdfPowerDeviceD3Final);
            return status;
        }
    }
    io_power_up(d);
    NTSTATUS status = self_managed_start(d);
    if (!NT_SUCCESS(status)) {
        power_down(d, WdfPowerDeviceD3Final);
        return status;
    }
    return STATUS_SUCCESS;
}

void release_hardware(fx_device* d) {
    if (!d->hardware_prepared)
        return;
    d->hardware_prepared = false;
    if (d->pnp.EvtDeviceReleaseHardware != nullptr) {
        (void)run_callback(d, "EvtDeviceReleaseHardware",
                           [&] { return d->pnp.EvtDeviceReleaseHardware(handle_of(d), nullptr); });
    }
}

NTSTATUS start(fx_device* d) {
    if (d->state == pnp_state::started)
        return STATUS_SUCCESS;
    if (d->state != pnp_state::added && d->state != pnp_state::stopped) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (d->pnp.EvtDevicePrepareHardware != nullptr) {
        NTSTATUS status = run_callback(d, "EvtDevicePrepareHardware", [&] {
            return d->pnp.EvtDevicePrepareHardware(handle_of(d), nullptr, nullptr);
        });
        if (!NT_SUCCESS(status))
            return status;
    }
    d->hardware_prepared = true;
    NTSTATUS status = power_up(d);
    if (!NT_SUCCESS(status)) {
        release_hardware(d);
        return status;
    }
    d->state = pnp_state::started;
    set_all_interfaces(d, true, true);
    return STATUS_SUCCESS;
}

void delete_symbolic_links(fx_device* d) {
    std::vector<std::u16string> links;
    {
        std::lock_guard lk(d->mutex);
        links.swap(d->symbolic_links);
    }
    for (auto& link : links) {
        kernel::owned_unicode_string name(link);
        IoDeleteSymbolicLink(name.get());
    }
}

// What a graceful removal and a surprise removal share once the device is out of D0 with its
// hardware released (PnpCleanupForRemove): interfaces and links go, power-managed queues are
// purged, then self-managed I/O is flushed.
void cleanup_for_remove(fx_device* d) {
    set_all_interfaces(d, false, false);
    delete_symbolic_links(d);
    io_purge_power_managed(d);
    if (d->self_managed_io_started && d->pnp.EvtDeviceSelfManagedIoFlush != nullptr) {
        run_callback(d, "EvtDeviceSelfManagedIoFlush",
                     [&] { d->pnp.EvtDeviceSelfManagedIoFlush(handle_of(d)); });
    }
}

void surprise_remove(fx_device* d) {
    if (d->pnp.EvtDeviceSurpriseRemoval != nullptr) {
        run_callback(d, "EvtDeviceSurpriseRemoval",
                     [&] { d->pnp.EvtDeviceSurpriseRemoval(handle_of(d)); });
    }
    power_down(d, WdfPowerDeviceD3Final);
    release_hardware(d);
    cleanup_for_remove(d);
    d->state = pnp_state::surprise_removed;
}

void remove(fx_device* d) {
    if (d->state != pnp_state::surprise_removed) {
        power_down(d, WdfPowerDeviceD3Final);
        release_hardware(d);
        cleanup_for_remove(d);
    }
    // PnpEventRemovedCommonCode: the queues that kept working until now are purged, then
    // self-managed I/O is cleaned up and the device's objects are deleted.
    io_remove(d);
    if (d->self_managed_io_started && d->pnp.EvtDeviceSelfManagedIoCleanup != nullptr) {
        run_callback(d, "EvtDeviceSelfManagedIoCleanup",
                     [&] { d->pnp.EvtDeviceSelfManagedIoCleanup(handle_of(d)); });
    }
    d->remove_device_object();
}

NTSTATUS query_stop_or_remove(fx_device* d, bool remove) {
    // A device that never started has nothing to stop: the query succeeds as it is.
    if (d->state == pnp_state::added)
        return STATUS_SUCCESS;
    if (d->stop_count.load() != 0)
        return STATUS_INVALID_DEVICE_STATE;
    if (d->state != pnp_state::started)
        return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = STATUS_SUCCESS;
    if (remove && d->pnp.EvtDeviceQueryRemove != nullptr) {
        status = run_callback(d, "EvtDeviceQueryRemove",
                              [&] { return d->pnp.EvtDeviceQueryRemove(handle_of(d)); });
    } else if (!remove && d->pnp.EvtDeviceQueryStop != nullptr) {
        status = run_callback(d, "EvtDeviceQueryStop",
                              [&] { return d->pnp.EvtDeviceQueryStop(handle_of(d)); });
    }
    if (NT_SUCCESS(status))
        d->state = remove ? pnp_state::query_removed : pnp_state::query_stopped;
    return status;
}

// IRP_MN_QUERY_INTERFACE. Returns true when this device answered (`status` is the outcome).
bool query_interface(fx_device* d, PIRP irp, NTSTATUS* status) {
    if (irp->interface_type == nullptr || irp->interface == nullptr)
        return false;
    fx_device::query_interface found{};
    bool matched = false;
    {
        std::lock_guard lk(d->mutex);
        for (auto& qi : d->query_interfaces) {
            if (qi.type == *irp->interface_type) {
                found = qi;
                matched = true;
                break;
            }
        }
    }
    if (!matched)
        return false;
    if (!found.data.empty()) {
        auto* stored = reinterpret_cast<const INTERFACE*>(found.data.data());
        // The requester's buffer must hold the stored interface, of a version it knows.
        if (stored->Size > irp->interface_size || stored->Version > irp->interface_version) {
            *status = STATUS_INVALID_BUFFER_SIZE;
            return true;
        }
        if (!found.import_interface) {
            std::memcpy(irp->interface, found.data.data(), found.data.size());
        }
    }
    if (found.process != nullptr) {
        GUID type = *irp->interface_type;
        NTSTATUS st = run_callback(d, "EvtDeviceProcessQueryInterfaceRequest", [&] {
            return found.process(handle_of(d), &type, irp->interface, irp->interface_specific_data);
        });
        if (!NT_SUCCESS(st) && st != STATUS_NOT_SUPPORTED) {
            *status = st;
            return true;
        }
    }
    // The requester gets the interface referenced.
    if (irp->interface->InterfaceReference != nullptr) {
        run_callback(d, "InterfaceReference",
                     [&] { irp->interface->InterfaceReference(irp->interface->Context); });
    }
    *status = STATUS_SUCCESS;
    return true;
}

NTSTATUS pass_down(fx_device* d, PIRP irp) {
    if (d->lower != nullptr)
        return io::call_driver(d->lower, irp);
    NTSTATUS status = irp->status == STATUS_PENDING ? STATUS_NOT_SUPPORTED : irp->status;
    io::complete_irp(irp, status, irp->information);
    return status;
}

NTSTATUS finish(PIRP irp, NTSTATUS status) {
    io::complete_irp(irp, status, 0);
    return status;
}

WDF_POWER_DEVICE_STATE framework_state(DEVICE_POWER_STATE state) {
    switch (state) {
        case PowerDeviceD1:
            return WdfPowerDeviceD1;
        case PowerDeviceD2:
            return WdfPowerDeviceD2;
        default:
            return WdfPowerDeviceD3;
    }
}

}  // namespace

NTSTATUS dispatch_pnp(fx_device* d, PIRP irp) {
    fx_ref keep(d);
    switch (irp->minor) {
        case IRP_MN_START_DEVICE:
            return finish(irp, start(d));
        case IRP_MN_QUERY_STOP_DEVICE:
            return finish(irp, query_stop_or_remove(d, false));
        case IRP_MN_CANCEL_STOP_DEVICE:
            if (d->state == pnp_state::query_stopped)
                d->state = pnp_state::started;
            return finish(irp, STATUS_SUCCESS);
        case IRP_MN_STOP_DEVICE:
            if (d->state == pnp_state::query_stopped || d->state == pnp_state::started) {
                power_down(d, WdfPowerDeviceD3Final);
                release_hardware(d);
                d->state = pnp_state::stopped;
            }
            return finish(irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_REMOVE_DEVICE:
            return finish(irp, query_stop_or_remove(d, true));
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            if (d->state == pnp_state::query_removed)
                d->state = pnp_state::started;
            return finish(irp, STATUS_SUCCESS);
        case IRP_MN_SURPRISE_REMOVAL:
            if (d->state != pnp_state::surprise_removed && d->state != pnp_state::removed) {
                surprise_remove(d);
            }
            return finish(irp, STATUS_SUCCESS);
        case IRP_MN_REMOVE_DEVICE:
            if (d->state != pnp_state::removed)
                remove(d);
            return finish(irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_INTERFACE: {
            NTSTATUS status = STATUS_NOT_SUPPORTED;
            if (query_interface(d, irp, &status))
                return finish(irp, status);
            return pass_down(d, irp);
        }
        default:
            return pass_down(d, irp);
    }
}

NTSTATUS dispatch_power(fx_device* d, PIRP irp) {
    fx_ref keep(d);
    if (irp->minor == IRP_MN_QUERY_POWER)
        return finish(irp, STATUS_SUCCESS);
    if (irp->minor != IRP_MN_SET_POWER)
        return finish(irp, STATUS_NOT_SUPPORTED);
    if (irp->power_type == SystemPowerState)
        return finish(irp, STATUS_SUCCESS);
    // A device power state. Only a started device changes state with power IRPs.
    if (d->state != pnp_state::started && d->state != pnp_state::query_stopped &&
        d->state != pnp_state::query_removed) {
        return finish(irp, STATUS_SUCCESS);
    }
    if (irp->device_state == PowerDeviceD0) {
        if (d->in_d0)
            return finish(irp, STATUS_SUCCESS);
        return finish(irp, power_up(d));
    }
    bool shutdown = irp->power_action == PowerActionShutdown ||
                    irp->power_action == PowerActionShutdownReset ||
                    irp->power_action == PowerActionShutdownOff;
    power_down(d, shutdown ? WdfPowerDeviceD3Final : framework_state(irp->device_state));
    return finish(irp, STATUS_SUCCESS);
}

}  // namespace platform::wdf
