// PnP, power and self-managed I/O callbacks, and a query-interface callback, that return with
// something the driver had to restore: the verifier names the callback in its bug check.
#include <gtest/gtest.h>

#include <wdf.h>

#include "../wdf/wdf_fixture.h"

namespace {

using wdf_test::framework_test;

WDFWAITLOCK wait_lock = nullptr;
WDFSPINLOCK spin_lock = nullptr;

enum class fault {
    none,
    prepare_keeps_wait_lock,
    d0_entry_keeps_spin_lock,
    init_at_dispatch,
    d0_exit_keeps_wait_lock,
    flush_at_dispatch,
    surprise_keeps_spin_lock,
    cleanup_keeps_wait_lock,
    query_interface_at_dispatch
};
fault injected = fault::none;

void misbehave(fault here) {
    if (injected != here)
        return;
    switch (here) {
        case fault::prepare_keeps_wait_lock:
        case fault::d0_exit_keeps_wait_lock:
        case fault::cleanup_keeps_wait_lock:
            WdfWaitLockAcquire(wait_lock, nullptr);
            break;
        case fault::d0_entry_keeps_spin_lock:
        case fault::surprise_keeps_spin_lock:
            WdfSpinLockAcquire(spin_lock);
            break;
        default: {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            break;
        }
    }
}

NTSTATUS Prepare(WDFDEVICE, WDFCMRESLIST, WDFCMRESLIST) {
    misbehave(fault::prepare_keeps_wait_lock);
    return STATUS_SUCCESS;
}
NTSTATUS D0Entry(WDFDEVICE, WDF_POWER_DEVICE_STATE) {
    misbehave(fault::d0_entry_keeps_spin_lock);
    return STATUS_SUCCESS;
}
NTSTATUS D0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE) {
    misbehave(fault::d0_exit_keeps_wait_lock);
    return STATUS_SUCCESS;
}
NTSTATUS SelfManagedInit(WDFDEVICE) {
    misbehave(fault::init_at_dispatch);
    return STATUS_SUCCESS;
}
VOID SelfManagedFlush(WDFDEVICE) {
    misbehave(fault::flush_at_dispatch);
}
VOID SelfManagedCleanup(WDFDEVICE) {
    misbehave(fault::cleanup_keeps_wait_lock);
}
VOID SurpriseRemoval(WDFDEVICE) {
    misbehave(fault::surprise_keeps_spin_lock);
}
NTSTATUS ProcessQueryInterface(WDFDEVICE, LPGUID, PINTERFACE, PVOID) {
    misbehave(fault::query_interface_at_dispatch);
    return STATUS_SUCCESS;
}

constexpr GUID test_interface = {0x5e1f0a11, 0x2b3c, 0x4d5e, {1, 2, 3, 4, 5, 6, 7, 8}};

NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_PNPPOWER_EVENT_CALLBACKS cb;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&cb);
    cb.EvtDevicePrepareHardware = Prepare;
    cb.EvtDeviceD0Entry = D0Entry;
    cb.EvtDeviceD0Exit = D0Exit;
    cb.EvtDeviceSelfManagedIoInit = SelfManagedInit;
    cb.EvtDeviceSelfManagedIoFlush = SelfManagedFlush;
    cb.EvtDeviceSelfManagedIoCleanup = SelfManagedCleanup;
    cb.EvtDeviceSurpriseRemoval = SurpriseRemoval;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &cb);
    WDFDEVICE device;
    NTSTATUS st = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(st))
        return st;
    WDF_QUERY_INTERFACE_CONFIG qc;
    WDF_QUERY_INTERFACE_CONFIG_INIT(&qc, nullptr, &test_interface, ProcessQueryInterface);
    qc.ImportInterface = TRUE;
    return WdfDeviceAddQueryInterface(device, &qc);
}

class removal_pnp_callbacks_death_test : public framework_test {
  protected:
    void SetUp() override {
        framework_test::SetUp();
        injected = fault::none;
        WDF_DRIVER_CONFIG config;
        WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
        platform::kernel::owned_unicode_string path(
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\wdfcoretest");
        ASSERT_EQ(WdfDriverCreate(drv, path.get(), WDF_NO_OBJECT_ATTRIBUTES, &config, &driver),
                  STATUS_SUCCESS);
        ASSERT_EQ(add_device(), STATUS_SUCCESS);
        ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &wait_lock), STATUS_SUCCESS);
        ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &spin_lock), STATUS_SUCCESS);
    }
    void TearDown() override {
        injected = fault::none;
        framework_test::TearDown();
    }
    // Starts the device with `f` armed; the bug check ends the child process.
    void start_with(fault f) {
        injected = f;
        pnp(IRP_MN_START_DEVICE);
    }
    void start_then(fault f, UCHAR minor) {
        ASSERT_EQ(pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
        injected = f;
        pnp(minor);
    }
};

TEST_F(removal_pnp_callbacks_death_test, prepare_hardware_returning_with_a_wait_lock) {
    EXPECT_DEATH(start_with(fault::prepare_keeps_wait_lock),
                 "0x000000C4.*lock still held when EvtDevicePrepareHardware \\(.*\\) returned: .* "
                 "acquired at .*removal_");
}

TEST_F(removal_pnp_callbacks_death_test, d0_entry_returning_with_a_spin_lock) {
    EXPECT_DEATH(start_with(fault::d0_entry_keeps_spin_lock),
                 "0x000000C4.*lock still held when EvtDeviceD0Entry \\(.*\\) returned: .* acquired "
                 "at .*removal_");
}

TEST_F(removal_pnp_callbacks_death_test, self_managed_io_init_returning_at_dispatch_level) {
    EXPECT_DEATH(start_with(fault::init_at_dispatch),
                 "EvtDeviceSelfManagedIoInit \\(.*\\) returned at IRQL 2, called at 0");
}

TEST_F(removal_pnp_callbacks_death_test, d0_exit_returning_with_a_wait_lock) {
    EXPECT_DEATH(start_then(fault::d0_exit_keeps_wait_lock, IRP_MN_REMOVE_DEVICE),
                 "0x000000C4.*lock still held when EvtDeviceD0Exit \\(.*\\) returned: .* acquired "
                 "at .*removal_");
}

TEST_F(removal_pnp_callbacks_death_test, surprise_removal_returning_with_a_spin_lock) {
    EXPECT_DEATH(start_then(fault::surprise_keeps_spin_lock, IRP_MN_SURPRISE_REMOVAL),
                 "0x000000C4.*lock still held when EvtDeviceSurpriseRemoval \\(.*\\) returned: .* "
                 "acquired at .*removal_");
}

TEST_F(removal_pnp_callbacks_death_test, self_managed_io_flush_returning_at_dispatch_level) {
    EXPECT_DEATH(start_then(fault::flush_at_dispatch, IRP_MN_SURPRISE_REMOVAL),
                 "EvtDeviceSelfManagedIoFlush \\(.*\\) returned at IRQL 2, called at 0");
}

TEST_F(removal_pnp_callbacks_death_test, self_managed_io_cleanup_returning_with_a_wait_lock) {
    EXPECT_DEATH(start_then(fault::cleanup_keeps_wait_lock, IRP_MN_REMOVE_DEVICE),
                 "0x000000C4.*lock still held when EvtDeviceSelfManagedIoCleanup \\(.*\\) "
                 "returned: .* acquired at .*removal_");
}

TEST_F(removal_pnp_callbacks_death_test, query_interface_callback_returning_at_dispatch_level) {
    EXPECT_DEATH(
        {
            injected = fault::query_interface_at_dispatch;
            INTERFACE iface{};
            _IRP irp;
            irp.major = IRP_MJ_PNP;
            irp.minor = IRP_MN_QUERY_INTERFACE;
            irp.status = STATUS_NOT_SUPPORTED;
            irp.interface_type = &test_interface;
            irp.interface_size = sizeof iface;
            irp.interface_version = 1;
            irp.interface = &iface;
            platform::io::call_driver(IoGetAttachedDevice(pdo), &irp);
        },
        "EvtDeviceProcessQueryInterfaceRequest \\(.*\\) returned at IRQL 2, called at 0");
}

}  // namespace
