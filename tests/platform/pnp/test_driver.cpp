#include "test_driver.h"

#include <cstdio>

#include "core/scheduler.h"
#include "io/irp.h"

namespace pnp_test {
namespace {

struct fdo_extension {
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
};

behaviour g_config;
driver_log g_log;

const char* action_name(POWER_ACTION a) {
    switch (a) {
        case PowerActionNone:
            return "none";
        case PowerActionSleep:
            return "sleep";
        case PowerActionHibernate:
            return "hibernate";
        case PowerActionShutdownOff:
            return "shutdown-off";
        default:
            return "other";
    }
}

const char* pnp_name(UCHAR minor) {
    switch (minor) {
        case IRP_MN_START_DEVICE:
            return "start";
        case IRP_MN_QUERY_REMOVE_DEVICE:
            return "query-remove";
        case IRP_MN_REMOVE_DEVICE:
            return "remove";
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            return "cancel-remove";
        case IRP_MN_STOP_DEVICE:
            return "stop";
        case IRP_MN_QUERY_STOP_DEVICE:
            return "query-stop";
        case IRP_MN_CANCEL_STOP_DEVICE:
            return "cancel-stop";
        case IRP_MN_QUERY_INTERFACE:
            return "query-interface";
        case IRP_MN_SURPRISE_REMOVAL:
            return "surprise-removal";
        default:
            return "other";
    }
}

void note_thread() {
    g_log.threads.push_back(platform::scheduler::get().current().name);
}

NTSTATUS complete(PIRP irp, NTSTATUS st) {
    platform::io::complete_irp(irp, st, 0);
    return st;
}

NTSTATUS dispatch_pnp(PDEVICE_OBJECT fdo, PIRP irp) {
    auto* ext = static_cast<fdo_extension*>(fdo->DeviceExtension);
    g_log.irps.push_back(pnp_name(irp->minor));
    note_thread();
    switch (irp->minor) {
        case IRP_MN_START_DEVICE:
            if (!NT_SUCCESS(g_config.start)) {
                return complete(irp, g_config.start);
            }
            if (g_config.enable_interface_at_start != nullptr) {
                UNICODE_STRING link{};
                if (NT_SUCCESS(IoRegisterDeviceInterface(
                        ext->pdo, g_config.enable_interface_at_start, nullptr, &link))) {
                    g_log.interface_link = platform::kernel::to_u16(&link);
                    IoSetDeviceInterfaceState(&link, TRUE);
                    ExFreePool(link.Buffer);
                }
            }
            break;
        case IRP_MN_QUERY_STOP_DEVICE:
            if (!NT_SUCCESS(g_config.query_stop)) {
                return complete(irp, g_config.query_stop);
            }
            break;
        case IRP_MN_QUERY_REMOVE_DEVICE:
            if (!NT_SUCCESS(g_config.query_remove)) {
                return complete(irp, g_config.query_remove);
            }
            break;
        case IRP_MN_QUERY_INTERFACE:
            if (*irp->interface_type == answered_interface &&
                irp->interface_size >= sizeof(answered_interface_layout)) {
                auto* out = reinterpret_cast<answered_interface_layout*>(irp->interface);
                out->header.Size = sizeof(answered_interface_layout);
                out->header.Version = irp->interface_version;
                out->header.Context = fdo;
                out->magic = answered_magic;
                return complete(irp, STATUS_SUCCESS);
            }
            break;  // not ours: down to the bus, status unchanged
        case IRP_MN_REMOVE_DEVICE: {
            NTSTATUS st = platform::io::call_driver(ext->lower, irp);
            if (g_config.keep_device_on_remove) {
                return st;
            }
            IoDetachDevice(ext->lower);
            IoDeleteDevice(fdo);
            return st;
        }
        default:
            break;
    }
    return platform::io::call_driver(ext->lower, irp);
}

NTSTATUS dispatch_power(PDEVICE_OBJECT fdo, PIRP irp) {
    auto* ext = static_cast<fdo_extension*>(fdo->DeviceExtension);
    char text[96];
    if (irp->power_type == SystemPowerState) {
        std::snprintf(text, sizeof text, "power system S%d %s",
                      static_cast<int>(irp->system_state) - 1, action_name(irp->power_action));
    } else {
        std::snprintf(text, sizeof text, "power device D%d %s",
                      static_cast<int>(irp->device_state) - 1, action_name(irp->power_action));
    }
    g_log.irps.push_back(text);
    note_thread();
    return platform::io::call_driver(ext->lower, irp);
}

NTSTATUS dispatch_file(PDEVICE_OBJECT, PIRP irp) {
    return complete(irp, STATUS_SUCCESS);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    ++g_log.add_calls;
    note_thread();
    if (!NT_SUCCESS(g_config.add_device)) {
        return g_config.add_device;
    }
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS st =
        IoCreateDevice(driver, sizeof(fdo_extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(st)) {
        return st;
    }
    auto* ext = static_cast<fdo_extension*>(fdo->DeviceExtension);
    ext->pdo = pdo;
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    g_log.last_fdo = fdo;
    g_log.last_pdo = pdo;
    return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT) {
    ++g_log.unload_calls;
    note_thread();
}

}  // namespace

behaviour& config() {
    return g_config;
}

driver_log& log() {
    return g_log;
}

void reset() {
    g_config = behaviour{};
    g_log = driver_log{};
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    ++g_log.entry_calls;
    note_thread();
    g_log.registry_path = platform::kernel::to_u16(registry_path);
    if (!NT_SUCCESS(g_config.driver_entry)) {
        return g_config.driver_entry;
    }
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = g_config.set_unload ? Unload : nullptr;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_file;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_file;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_file;
    return STATUS_SUCCESS;
}

platform::pnp::driver* load(std::u16string name) {
    auto* drv = platform::pnp::register_driver({std::move(name), DriverEntry, {}});
    platform::pnp::load_driver(drv);
    return drv;
}

bool wait_until(const std::function<bool()>& ready, int limit_ms) {
    auto& s = platform::scheduler::get();
    for (int i = 0; i < limit_ms; ++i) {
        if (ready()) {
            return true;
        }
        platform::ticks deadline = s.now() + platform::ticks_per_ms;
        std::unique_lock lk(s.lock());
        s.block(
            lk, [] { return false; }, deadline, "a test's polling delay");
    }
    return ready();
}

}  // namespace pnp_test
