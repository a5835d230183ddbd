// The framework device through its Plug and Play and power life: the order of the driver's
// callbacks, the target state handed to D0 exit, refusal of query-stop/remove, surprise
// removal, failing starts and deletion of the device with everything under it.
#include "wdf_fixture.h"

namespace wdf_test {
namespace {

using strings = std::vector<std::string>;
using DevicePnp = framework_test;

TEST_F(DevicePnp, StartSleepResumeAndRemoveRunTheCallbacksInOrder) {
    create_device();
    EXPECT_EQ(take_events(), strings{"DeviceAdd"});

    EXPECT_EQ(pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(take_events(), (strings{"PrepareHardware", "D0Entry(D3Final)", "SelfManagedIoInit"}));

    EXPECT_EQ(set_device_power(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(take_events(), (strings{"SelfManagedIoSuspend", "D0Exit(D3)"}));
    EXPECT_EQ(set_device_power(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(take_events(), (strings{"D0Entry(D3)", "SelfManagedIoRestart"}));

    remove();
    EXPECT_EQ(take_events(),
              (strings{"SelfManagedIoSuspend", "D0Exit(D3Final)", "ReleaseHardware",
                       "SelfManagedIoFlush", "SelfManagedIoCleanup", "DeviceCleanup"}));
    EXPECT_EQ(fdo(), nullptr);
    EXPECT_DEATH(WdfDeviceWdmGetDeviceObject(device()), "0x0000010D");
}

TEST_F(DevicePnp, SleepForShutdownTargetsD3FinalAndOtherStatesKeepTheirName) {
    create_device();
    pnp(IRP_MN_START_DEVICE);
    set_device_power(PowerDeviceD2);
    set_device_power(PowerDeviceD0);
    take_events();
    set_device_power(PowerDeviceD3, PowerActionShutdown);
    EXPECT_EQ(take_events(), (strings{"SelfManagedIoSuspend", "D0Exit(D3Final)"}));
    set_device_power(PowerDeviceD0);
    EXPECT_EQ(take_events(), (strings{"D0Entry(D3Final)", "SelfManagedIoRestart"}));
}

TEST_F(DevicePnp, RemovingASleepingDeviceDoesNotLeaveD0Again) {
    create_device();
    pnp(IRP_MN_START_DEVICE);
    set_device_power(PowerDeviceD2);
    take_events();
    remove();
    EXPECT_EQ(take_events(), (strings{"ReleaseHardware", "SelfManagedIoFlush",
                                      "SelfManagedIoCleanup", "DeviceCleanup"}));
}

TEST_F(DevicePnp, StaticallyNonStoppableDeviceRefusesQueryStopAndQueryRemove) {
    create_device();
    pnp(IRP_MN_START_DEVICE);
    WdfDeviceSetStaticStopRemove(device(), FALSE);
    take_events();
    EXPECT_EQ(pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    // Refused by the framework without asking the driver; the device keeps working.
    EXPECT_TRUE(take_events().empty());
    EXPECT_NE(fdo(), nullptr);
    EXPECT_EQ(set_device_power(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(take_events(), (strings{"SelfManagedIoSuspend", "D0Exit(D3)"}));
    set_device_power(PowerDeviceD0);

    WdfDeviceSetStaticStopRemove(device(), TRUE);
    take_events();
    EXPECT_EQ(pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(take_events(), strings{"QueryRemove"});
    EXPECT_EQ(pnp(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    take_events();
    remove();
    EXPECT_EQ(take_events().back(), "DeviceCleanup");
}

TEST_F(DevicePnp, MoreStoppableThanNonStoppableCallsIsAVerifierError) {
    create_device();
    WdfDeviceSetStaticStopRemove(device(), FALSE);
    WdfDeviceSetStaticStopRemove(device(), TRUE);
    EXPECT_DEATH(WdfDeviceSetStaticStopRemove(device(), TRUE), "0x0000010D");
}

TEST_F(DevicePnp, StopForRebalanceReleasesAndRestartsTheHardware) {
    create_device();
    pnp(IRP_MN_START_DEVICE);
    take_events();
    EXPECT_EQ(pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(take_events(),
              (strings{"QueryStop", "SelfManagedIoSuspend", "D0Exit(D3Final)", "ReleaseHardware"}));
    EXPECT_EQ(pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(take_events(),
              (strings{"PrepareHardware", "D0Entry(D3Final)", "SelfManagedIoRestart"}));
}

TEST_F(DevicePnp, SurpriseRemovalPowersDownAtOnceAndCleansUpAtTheRemove) {
    create_device();
    pnp(IRP_MN_START_DEVICE);
    take_events();
    EXPECT_EQ(pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(take_events(), (strings{"SurpriseRemoval", "SelfManagedIoSuspend", "D0Exit(D3Final)",
                                      "ReleaseHardware", "SelfManagedIoFlush"}));
    EXPECT_NE(fdo(), nullptr);
    remove();
    EXPECT_EQ(take_events(), (strings{"SelfManagedIoCleanup", "DeviceCleanup"}));
    EXPECT_EQ(fdo(), nullptr);
}

TEST_F(DevicePnp, FailingD0EntryFailsTheStartAndReleasesTheHardware) {
    create_device();
    take_events();
    d0_entry_result() = STATUS_DEVICE_DATA_ERROR;
    EXPECT_EQ(pnp(IRP_MN_START_DEVICE), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(take_events(), (strings{"PrepareHardware", "D0Entry(D3Final)", "ReleaseHardware"}));
    remove();
    EXPECT_EQ(take_events(), strings{"DeviceCleanup"});
}

TEST_F(DevicePnp, FailingPrepareHardwareFailsTheStart) {
    create_device();
    take_events();
    prepare_result() = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(pnp(IRP_MN_START_DEVICE), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(take_events(), strings{"PrepareHardware"});
    // Power IRPs do not reach a device that never started.
    EXPECT_EQ(set_device_power(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_TRUE(take_events().empty());
}

TEST_F(DevicePnp, ChildrenAreCleanedUpBeforeTheDeviceAndTheDriverAfterUnload) {
    create_device();
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.ParentObject = device();
    a.EvtCleanupCallback = [](WDFOBJECT) { record("ChildCleanup"); };
    WDFOBJECT child;
    ASSERT_EQ(WdfObjectCreate(&a, &child), STATUS_SUCCESS);
    pnp(IRP_MN_START_DEVICE);
    take_events();
    remove();
    auto e = take_events();
    ASSERT_GE(e.size(), 2u);
    EXPECT_EQ(e[e.size() - 2], "ChildCleanup");
    EXPECT_EQ(e.back(), "DeviceCleanup");
    drv->DriverUnload(drv);
    driver = nullptr;
    EXPECT_EQ(take_events(), (strings{"DriverUnload", "DriverCleanup"}));
}

TEST_F(DevicePnp, UnknownRequestsGoToTheDeviceBelow) {
    create_device();
    EXPECT_EQ(pnp(IRP_MN_QUERY_CAPABILITIES), STATUS_NOT_SUPPORTED);  // the bus keeps the status
    _IRP irp;
    irp.major = IRP_MJ_POWER;
    irp.minor = IRP_MN_QUERY_POWER;
    platform::io::call_driver(fdo(), &irp);
    EXPECT_EQ(irp.status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace wdf_test
