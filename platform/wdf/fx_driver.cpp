// The framework driver object: WdfDriverCreate, the dispatch routines it installs in the
// DRIVER_OBJECT, AddDevice (EvtDriverDeviceAdd with a fresh WDFDEVICE_INIT) and DriverUnload
// (EvtDriverUnload, then the driver object and everything under it is deleted).
#include "wdf/fx_driver.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "core/bugcheck.h"
#include "core/driver_call.h"
#include "core/faults.h"
#include "core/lock_tracker.h"
#include "core/scheduler.h"
#include "io/irp.h"
#include "kernel/kernel.h"
#include "wdf/fx_device.h"
#include "wdf/fx_string.h"
#include "wdf/io_dispatch.h"

namespace platform::wdf {
namespace {

struct driver_list {
    std::mutex mutex;
    std::vector<fx_driver*> drivers;  // live framework drivers, oldest first
};

driver_list& drivers() {
    static driver_list* d = new driver_list;
    return *d;
}

thread_local fx_driver* tls_current = nullptr;

// Unloads waiting for their driver's last references (see driver_reference_dropped).
std::atomic<int> unloads_waiting{0};

constexpr ULONG default_pool_tag = 0x72447846;  // "FxDr", first character in the low byte

NTSTATUS dispatch_io_irp(PDEVICE_OBJECT device_object, PIRP irp) {
    fx_device* device = fx_device::from_wdm(device_object);
    if (device == nullptr) {
        io::complete_irp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    driver_scope scope(device->driver);
    return io_dispatch(device, irp);
}

NTSTATUS dispatch_pnp_irp(PDEVICE_OBJECT device_object, PIRP irp) {
    fx_device* device = fx_device::from_wdm(device_object);
    if (device == nullptr) {
        io::complete_irp(irp, STATUS_NOT_SUPPORTED, 0);
        return STATUS_NOT_SUPPORTED;
    }
    driver_scope scope(device->driver);
    return dispatch_pnp(device, irp);
}

NTSTATUS dispatch_power_irp(PDEVICE_OBJECT device_object, PIRP irp) {
    fx_device* device = fx_device::from_wdm(device_object);
    if (device == nullptr) {
        io::complete_irp(irp, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    }
    driver_scope scope(device->driver);
    return dispatch_power(device, irp);
}

NTSTATUS add_device(PDRIVER_OBJECT driver_object, PDEVICE_OBJECT pdo) {
    fx_driver* driver = fx_driver::from_wdm(driver_object);
    if (driver == nullptr || driver->config.EvtDriverDeviceAdd == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    driver_scope scope(driver);
    auto* init = new WDFDEVICE_INIT;
    init->driver = driver;
    init->pdo = pdo;
    init->framework_owned = true;
    NTSTATUS status;
    {
        verifier::driver_call call({"EvtDriverDeviceAdd", driver->handle()});
        status = driver->config.EvtDriverDeviceAdd(driver->handle_as<WDFDRIVER>(), init);
    }
    lock_tracker::expect_none_held("EvtDriverDeviceAdd");
    fx_device* device = init->created;
    delete init;
    if (device == nullptr)
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    if (!NT_SUCCESS(status)) {
        // A device-add that fails after creating its device: the framework deletes the
        // partly built device with everything under it.
        device->remove_device_object();
        return status;
    }
    // The device accepts opens only once its device-add callback has finished.
    device->fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

void driver_unload(PDRIVER_OBJECT driver_object) {
    fx_driver* driver = fx_driver::from_wdm(driver_object);
    if (driver == nullptr)
        return;
    {
        // A work item that deleted itself may still be on its way out of the worker.
        auto& s = scheduler::get();
        std::unique_lock lk(s.lock());
        s.block(
            lk, [driver] { return driver->work_item_runs == 0; }, no_deadline,
            "driver unload: a work-item routine is still returning");
    }
    {
        driver_scope scope(driver);
        if (driver->config.EvtDriverUnload != nullptr) {
            {
                verifier::driver_call call({"EvtDriverUnload", driver->handle()});
                driver->config.EvtDriverUnload(driver->handle_as<WDFDRIVER>());
            }
            lock_tracker::expect_none_held("EvtDriverUnload");
        }
        driver->add_ref();
        driver->delete_object();
    }
    // A work item that deleted itself, or a request that came back, still holds its object
    // for the few steps after the driver's callback returned (the worker's or the completing
    // thread's own reference). Windows keeps the image until such framework code is done
    // (the work item references the device object), so those tails run out first: until the
    // references are gone, or every other thread has come to rest.
    {
        auto& s = scheduler::get();
        const ticks soon = s.now() + 1;
        std::unique_lock lk(s.lock());
        unloads_waiting.fetch_add(1);  // before the first look at the count: no drop is missed
        s.block(
            lk, [driver] { return driver->ref_count() <= 1; }, soon,
            "driver unload: framework tails finishing");
        unloads_waiting.fetch_sub(1);
    }
    long left = driver->ref_count();
    if (left != 1) {
        // Something still references the driver: an object of the driver that was never
        // deleted or a reference never dropped.
        bug_check(bug_code::driver_verifier_detected_violation,
                  "framework objects or references still outstanding at driver unload",
                  static_cast<std::uint64_t>(left - 1),
                  reinterpret_cast<std::uintptr_t>(driver_object));
    }
    driver->release();
}

std::atomic<bool> break_on_error{true};

// The driver's name as the framework's messages give it: the last part of its registry path.
std::string driver_name(const fx_driver* driver) {
    if (driver == nullptr) {
        return "the driver";
    }
    std::u16string_view path = driver->registry_path;
    std::size_t slash = path.find_last_of(u'\\');
    std::u16string_view last = slash == std::u16string_view::npos ? path : path.substr(slash + 1);
    std::string out;
    for (char16_t c : last) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out.empty() ? "the driver" : out;
}

}  // namespace

void verifier_break(std::string_view what) {
    std::string name = driver_name(fx_driver::current());
    std::string text =
        "WDF detected potentially invalid operation by " + name + ": " + std::string(what) + "\n";
    DbgPrint("%s", text.c_str());
    if (break_on_error.load()) {
        std::string where = verifier::describe_current_call();
        violation(std::string(what) + (where.empty() ? "" : " " + where));
    }
}

void set_verifier_break_on_error(bool enabled) {
    break_on_error.store(enabled);
}

driver_scope::driver_scope(fx_driver* driver) : previous_(tls_current) {
    tls_current = driver;
}

driver_scope::~driver_scope() {
    tls_current = previous_;
}

fx_driver* fx_driver::current() {
    if (tls_current != nullptr)
        return tls_current;
    // A system thread runs the code of the driver that created it, whichever driver was loaded
    // since: objects it creates without a parent belong to that driver, as the framework knows
    // from the driver globals every call carries.
    if (PDRIVER_OBJECT owner = kernel::system_thread_driver(); owner != nullptr) {
        if (fx_driver* f = from_wdm(owner))
            return f;
    }
    auto& d = drivers();
    std::lock_guard lk(d.mutex);
    return d.drivers.empty() ? nullptr : d.drivers.back();
}

fx_object* fx_driver_root() {
    return fx_driver::current();
}

fx_driver* fx_driver::from_wdm(PDRIVER_OBJECT driver) {
    auto& d = drivers();
    std::lock_guard lk(d.mutex);
    for (fx_driver* f : d.drivers) {
        if (f->wdm == driver)
            return f;
    }
    return nullptr;
}

fx_driver::~fx_driver() {
    auto& d = drivers();
    std::lock_guard lk(d.mutex);
    d.drivers.erase(std::remove(d.drivers.begin(), d.drivers.end(), this), d.drivers.end());
}

void driver_reference_dropped() {
    // Paired with the unload's increment before it reads the count (both sequentially
    // consistent): either the unload sees the drop or this sees the unload waiting.
    if (unloads_waiting.load() != 0) {
        auto& s = scheduler::get();
        std::lock_guard g(s.lock());
        s.wake();
    }
}

void fx_driver::dispose() {
    // New opens and PnP IRPs no longer reach the framework once the driver is gone.
    if (wdm != nullptr && wdm->DriverExtension != nullptr)
        wdm->DriverExtension->AddDevice = nullptr;
}

}  // namespace platform::wdf

using namespace platform;
using namespace platform::wdf;

extern "C" {

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                         WDFDRIVER* Driver) {
    if (auto st = faults::fault_point("WdfDriverCreate"))
        return *st;
    if (DriverObject == nullptr || RegistryPath == nullptr || DriverConfig == nullptr) {
        violation("WdfDriverCreate: required parameter is NULL");
    }
    if (DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG))
        return STATUS_INFO_LENGTH_MISMATCH;
    const ULONG valid_flags = WdfDriverInitNonPnpDriver | WdfDriverInitNoDispatchOverride;
    if ((DriverConfig->DriverInitFlags & ~valid_flags) != 0)
        return STATUS_INVALID_PARAMETER;
    if (scheduler::get().current().irql > PASSIVE_LEVEL)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (RegistryPath->Length % sizeof(WCHAR) != 0 ||
        RegistryPath->Length > RegistryPath->MaximumLength ||
        (RegistryPath->Length > 0 && RegistryPath->Buffer == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (fx_driver::from_wdm(DriverObject) != nullptr)
        return STATUS_DRIVER_INTERNAL_ERROR;
    if (Driver != nullptr)
        *Driver = nullptr;
    if ((DriverConfig->DriverInitFlags & WdfDriverInitNonPnpDriver) &&
        DriverConfig->EvtDriverDeviceAdd != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }

    auto* driver = new fx_driver;
    driver->wdm = DriverObject;
    driver->config = *DriverConfig;
    if (driver->config.DriverPoolTag == 0)
        driver->config.DriverPoolTag = default_pool_tag;
    driver->registry_path.assign(reinterpret_cast<const char16_t*>(RegistryPath->Buffer),
                                 RegistryPath->Length / sizeof(WCHAR));
    NTSTATUS status =
        driver->commit(DriverAttributes, nullptr,
                       attr_parent_not_allowed | attr_exec_level_allowed | attr_sync_scope_allowed);
    if (!NT_SUCCESS(status)) {
        fx_object::discard(driver);
        return status;
    }
    {
        auto& d = drivers();
        std::lock_guard lk(d.mutex);
        d.drivers.push_back(driver);
    }

    if (!(DriverConfig->DriverInitFlags & WdfDriverInitNoDispatchOverride)) {
        DriverObject->MajorFunction[IRP_MJ_CREATE] = dispatch_io_irp;
        DriverObject->MajorFunction[IRP_MJ_CLEANUP] = dispatch_io_irp;
        DriverObject->MajorFunction[IRP_MJ_CLOSE] = dispatch_io_irp;
        DriverObject->MajorFunction[IRP_MJ_READ] = dispatch_io_irp;
        DriverObject->MajorFunction[IRP_MJ_WRITE] = dispatch_io_irp;
        DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_io_irp;
        DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch_io_irp;
        DriverObject->MajorFunction[IRP_MJ_PNP] = dispatch_pnp_irp;
        DriverObject->MajorFunction[IRP_MJ_POWER] = dispatch_power_irp;
        DriverObject->DriverUnload = driver_unload;
        if (!(DriverConfig->DriverInitFlags & WdfDriverInitNonPnpDriver) &&
            DriverObject->DriverExtension != nullptr) {
            DriverObject->DriverExtension->AddDevice = add_device;
        }
    }
    if (Driver != nullptr)
        *Driver = driver->handle_as<WDFDRIVER>();
    return STATUS_SUCCESS;
}

WDFDRIVER WdfGetDriver(VOID) {
    fx_driver* driver = fx_driver::current();
    return driver == nullptr ? nullptr : driver->handle_as<WDFDRIVER>();
}

PWSTR WdfDriverGetRegistryPath(WDFDRIVER Driver) {
    auto* driver = fx_get<fx_driver>(Driver, fx_type::driver, "WdfDriverGetRegistryPath");
    return reinterpret_cast<PWSTR>(const_cast<char16_t*>(driver->registry_path.c_str()));
}

PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver) {
    return fx_get<fx_driver>(Driver, fx_type::driver, "WdfDriverWdmGetDriverObject")->wdm;
}

WDFDRIVER WdfWdmDriverGetWdfDriverHandle(PDRIVER_OBJECT DriverObject) {
    fx_driver* driver = fx_driver::from_wdm(DriverObject);
    return driver == nullptr ? nullptr : driver->handle_as<WDFDRIVER>();
}

NTSTATUS WdfDriverRetrieveVersionString(WDFDRIVER Driver, WDFSTRING String) {
    fx_get<fx_driver>(Driver, fx_type::driver, "WdfDriverRetrieveVersionString");
    if (String == nullptr)
        violation("WdfDriverRetrieveVersionString: NULL string handle");
    if (scheduler::get().current().irql > PASSIVE_LEVEL)
        return STATUS_INVALID_DEVICE_REQUEST;
    auto* string = fx_get<fx_string>(String, fx_type::string, "WdfDriverRetrieveVersionString");
    // The framework's own wording; the platform's verifier is always on.
    return string->assign(u"Kernel Mode Driver Framework (verifier on) version 1.15.0");
}

VOID WdfVerifierDbgBreakPoint(VOID) {
    verifier_break("WdfVerifierDbgBreakPoint called");
}

VOID WdfVerifierKeBugCheck(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1,
                           ULONG_PTR BugCheckParameter2, ULONG_PTR BugCheckParameter3,
                           ULONG_PTR BugCheckParameter4) {
    KeBugCheckEx(BugCheckCode, BugCheckParameter1, BugCheckParameter2, BugCheckParameter3,
                 BugCheckParameter4);
}

BOOLEAN WdfDriverIsVersionAvailable(WDFDRIVER Driver,
                                    PWDF_DRIVER_VERSION_AVAILABLE_PARAMS VersionAvailableParams) {
    fx_get<fx_driver>(Driver, fx_type::driver, "WdfDriverIsVersionAvailable");
    if (VersionAvailableParams == nullptr ||
        VersionAvailableParams->Size != sizeof(WDF_DRIVER_VERSION_AVAILABLE_PARAMS)) {
        return FALSE;
    }
    // This framework is version 1.15.
    if (VersionAvailableParams->MajorVersion != 1)
        return FALSE;
    return VersionAvailableParams->MinorVersion <= 15 ? TRUE : FALSE;
}

}  // extern "C"
