// A framework driver under test: a WDM "bus" driver owns the physical device object, the
// framework driver under test is created with WdfDriverCreate and gets its device through
// AddDevice, and the test sends PnP and power IRPs to the top of the stack directly. The
// driver's callbacks append to `events()`, so tests compare the order callbacks ran in.
#pragma once

#include <gtest/gtest.h>
#include <wdf.h>

#include <mutex>
#include <string>
#include <vector>

#include "core/faults.h"
#include "core/scheduler.h"
#include "io/device_objects.h"
#include "io/irp.h"
#include "kernel/strings.h"

namespace wdf_test {

// Everything the callbacks record, in order.
inline std::vector<std::string>& events() {
    static std::vector<std::string> e;
    return e;
}
inline std::mutex& events_lock() {
    static std::mutex m;
    return m;
}
inline void record(std::string what) {
    std::lock_guard lk(events_lock());
    events().push_back(std::move(what));
}
inline std::vector<std::string> take_events() {
    std::lock_guard lk(events_lock());
    std::vector<std::string> out;
    out.swap(events());
    return out;
}

inline const char* power_name(WDF_POWER_DEVICE_STATE s) {
    switch (s) {
        case WdfPowerDeviceD0:
            return "D0";
        case WdfPowerDeviceD1:
            return "D1";
        case WdfPowerDeviceD2:
            return "D2";
        case WdfPowerDeviceD3:
            return "D3";
        case WdfPowerDeviceD3Final:
            return "D3Final";
        default:
            return "?";
    }
}

// Status the next D0 entry / prepare-hardware returns (tests set them to make start fail).
inline NTSTATUS& d0_entry_result() {
    static NTSTATUS s = STATUS_SUCCESS;
    return s;
}
inline NTSTATUS& prepare_result() {
    static NTSTATUS s = STATUS_SUCCESS;
    return s;
}

inline NTSTATUS EvtD0Entry(WDFDEVICE, WDF_POWER_DEVICE_STATE previous) {
    record(std::string("D0Entry(") + power_name(previous) + ")");
    return d0_entry_result();
}
inline NTSTATUS EvtD0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE target) {
    record(std::string("D0Exit(") + power_name(target) + ")");
    return STATUS_SUCCESS;
}
inline NTSTATUS EvtPrepareHardware(WDFDEVICE, WDFCMRESLIST, WDFCMRESLIST) {
    record("PrepareHardware");
    return prepare_result();
}
inline NTSTATUS EvtReleaseHardware(WDFDEVICE, WDFCMRESLIST) {
    record("ReleaseHardware");
    return STATUS_SUCCESS;
}
inline NTSTATUS EvtSelfManagedIoInit(WDFDEVICE) {
    record("SelfManagedIoInit");
    return STATUS_SUCCESS;
}
inline NTSTATUS EvtSelfManagedIoSuspend(WDFDEVICE) {
    record("SelfManagedIoSuspend");
    return STATUS_SUCCESS;
}
inline NTSTATUS EvtSelfManagedIoRestart(WDFDEVICE) {
    record("SelfManagedIoRestart");
    return STATUS_SUCCESS;
}
inline VOID EvtSelfManagedIoFlush(WDFDEVICE) {
    record("SelfManagedIoFlush");
}
inline VOID EvtSelfManagedIoCleanup(WDFDEVICE) {
    record("SelfManagedIoCleanup");
}
inline VOID EvtSurpriseRemoval(WDFDEVICE) {
    record("SurpriseRemoval");
}
inline NTSTATUS EvtQueryRemove(WDFDEVICE) {
    record("QueryRemove");
    return STATUS_SUCCESS;
}
inline NTSTATUS EvtQueryStop(WDFDEVICE) {
    record("QueryStop");
    return STATUS_SUCCESS;
}
inline VOID EvtDeviceCleanup(WDFOBJECT) {
    record("DeviceCleanup");
}
inline VOID EvtDriverCleanup(WDFOBJECT) {
    record("DriverCleanup");
}
inline VOID EvtDriverUnload(WDFDRIVER) {
    record("DriverUnload");
}

struct DEVICE_CONTEXT {
    ULONG Value;
    UCHAR Bytes[64];
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, GetDeviceContext)

// How the test's device-add callback builds the device; tests adjust it before add_device().
struct device_setup {
    bool set_callbacks = true;
    std::u16string name = u"\\Device\\WdfCoreTest";
    std::u16string sddl;  // none by default
    bool fail_after_create = false;
    NTSTATUS sddl_status = STATUS_SUCCESS;  // what WdfDeviceInitAssignSDDLString returned
    WDFDEVICE device = nullptr;
};
inline device_setup& setup() {
    static device_setup s;
    return s;
}

inline NTSTATUS EvtDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    record("DeviceAdd");
    auto& s = setup();
    if (s.set_callbacks) {
        WDF_PNPPOWER_EVENT_CALLBACKS cb;
        WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&cb);
        cb.EvtDeviceD0Entry = EvtD0Entry;
        cb.EvtDeviceD0Exit = EvtD0Exit;
        cb.EvtDevicePrepareHardware = EvtPrepareHardware;
        cb.EvtDeviceReleaseHardware = EvtReleaseHardware;
        cb.EvtDeviceSelfManagedIoInit = EvtSelfManagedIoInit;
        cb.EvtDeviceSelfManagedIoSuspend = EvtSelfManagedIoSuspend;
        cb.EvtDeviceSelfManagedIoRestart = EvtSelfManagedIoRestart;
        cb.EvtDeviceSelfManagedIoFlush = EvtSelfManagedIoFlush;
        cb.EvtDeviceSelfManagedIoCleanup = EvtSelfManagedIoCleanup;
        cb.EvtDeviceSurpriseRemoval = EvtSurpriseRemoval;
        cb.EvtDeviceQueryRemove = EvtQueryRemove;
        cb.EvtDeviceQueryStop = EvtQueryStop;
        WdfDeviceInitSetPnpPowerEventCallbacks(init, &cb);
    }
    WdfDeviceInitSetIoType(init, WdfDeviceIoBuffered);
    platform::kernel::owned_unicode_string name(s.name);
    if (!s.name.empty()) {
        NTSTATUS st = WdfDeviceInitAssignName(init, name.get());
        if (!NT_SUCCESS(st))
            return st;
    }
    if (!s.sddl.empty()) {
        platform::kernel::owned_unicode_string sddl(s.sddl);
        s.sddl_status = WdfDeviceInitAssignSDDLString(init, sddl.get());
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
    attributes.EvtCleanupCallback = EvtDeviceCleanup;
    WDFDEVICE device;
    NTSTATUS st = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(st))
        return st;
    s.device = device;
    if (s.fail_after_create)
        return STATUS_INSUFFICIENT_RESOURCES;
    return STATUS_SUCCESS;
}

// The physical device's driver: completes everything it gets with the IRP's status (or
// success), as a bus driver does for requests it does not handle.
inline NTSTATUS bus_dispatch(PDEVICE_OBJECT, PIRP irp) {
    NTSTATUS status = irp->status == STATUS_PENDING ? STATUS_SUCCESS : irp->status;
    platform::io::complete_irp(irp, status, irp->information);
    return status;
}

class framework_test : public ::testing::Test {
  protected:
    void SetUp() override {
        take_events();
        setup() = device_setup{};
        d0_entry_result() = STATUS_SUCCESS;
        prepare_result() = STATUS_SUCCESS;
        bus = platform::io::create_driver_object(u"wdfcorebus", nullptr);
        for (auto& slot : bus->MajorFunction)
            slot = bus_dispatch;
        platform::io::device_params p;
        p.driver = bus;
        p.name = u"\\Device\\WdfCorePdo";
        ASSERT_EQ(platform::io::create_device_object(p, &pdo), STATUS_SUCCESS);
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        drv = platform::io::create_driver_object(u"wdfcoretest", nullptr);
        ASSERT_NE(drv, nullptr);
    }

    void TearDown() override {
        if (fdo() != nullptr)
            remove();
        if (driver != nullptr && drv->DriverUnload != nullptr)
            drv->DriverUnload(drv);
        platform::io::delete_driver_object(drv);
        platform::io::delete_device_object(pdo);
        platform::io::delete_driver_object(bus);
    }

    NTSTATUS create_driver(bool with_cleanup = true) {
        WDF_DRIVER_CONFIG config;
        WDF_DRIVER_CONFIG_INIT(&config, EvtDeviceAdd);
        config.EvtDriverUnload = EvtDriverUnload;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        if (with_cleanup)
            attributes.EvtCleanupCallback = EvtDriverCleanup;
        platform::kernel::owned_unicode_string path(
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\wdfcoretest");
        return WdfDriverCreate(drv, path.get(), &attributes, &config, &driver);
    }

    // Creates the driver and its device, as the PnP manager's AddDevice would.
    void create_device() {
        ASSERT_EQ(create_driver(), STATUS_SUCCESS);
        ASSERT_EQ(add_device(), STATUS_SUCCESS);
    }
    NTSTATUS add_device() { return drv->DriverExtension->AddDevice(drv, pdo); }
    WDFDEVICE device() const { return setup().device; }
    PDEVICE_OBJECT fdo() const { return pdo->AttachedDevice; }

    NTSTATUS pnp(UCHAR minor) {
        _IRP irp;
        irp.major = IRP_MJ_PNP;
        irp.minor = minor;
        irp.status = STATUS_NOT_SUPPORTED;
        platform::io::call_driver(IoGetAttachedDevice(pdo), &irp);
        EXPECT_TRUE(irp.completed);
        return irp.status;
    }
    NTSTATUS set_device_power(DEVICE_POWER_STATE state, POWER_ACTION action = PowerActionSleep) {
        _IRP irp;
        irp.major = IRP_MJ_POWER;
        irp.minor = IRP_MN_SET_POWER;
        irp.power_type = DevicePowerState;
        irp.device_state = state;
        irp.power_action = action;
        platform::io::call_driver(IoGetAttachedDevice(pdo), &irp);
        EXPECT_TRUE(irp.completed);
        return irp.status;
    }
    void remove() { pnp(IRP_MN_REMOVE_DEVICE); }

    PDRIVER_OBJECT bus = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDRIVER_OBJECT drv = nullptr;
    WDFDRIVER driver = nullptr;
};

}  // namespace wdf_test
