// The IRP sequences the PnP manager sends for each operation, its refusal and failure paths,
// driver loading and unloading, and query-interface routing.
#include <gtest/gtest.h>

#include "io/io_manager.h"
#include "kernel/kernel.h"
#include "kernel/object_manager.h"
#include "pnp/pnp_manager.h"
#include "test_driver.h"

namespace pnp = platform::pnp;
using pnp::device_state;
using strings = std::vector<std::string>;

namespace {

class PnpManager : public ::testing::Test {
  protected:
    void SetUp() override { pnp_test::reset(); }
    strings& irps() { return pnp_test::log().irps; }
};

TEST_F(PnpManager, DriverEntryRunsOnThePnpThreadWithTheServiceKey) {
    auto* drv = pnp_test::load(u"pnptest");
    ASSERT_TRUE(pnp::loaded(drv));
    EXPECT_EQ(pnp_test::log().registry_path,
              u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pnptest");
    EXPECT_EQ(pnp_test::log().threads, strings{"pnp"});
    EXPECT_EQ(pnp::load_driver(drv), STATUS_IMAGE_ALREADY_LOADED);
    EXPECT_EQ(pnp_test::log().entry_calls, 1);

    EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);
    EXPECT_EQ(pnp_test::log().unload_calls, 1);
    EXPECT_FALSE(pnp::loaded(drv));
    EXPECT_EQ(platform::ob::lookup(u"\\Driver\\pnptest").status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(PnpManager, FailingDriverEntryDeletesTheDriverWithoutUnload) {
    pnp_test::config().driver_entry = STATUS_INSUFFICIENT_RESOURCES;
    auto* drv = pnp::register_driver({u"pnpfail", pnp_test::DriverEntry, {}});
    EXPECT_EQ(pnp::load_driver(drv), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(pnp::loaded(drv));
    EXPECT_EQ(pnp_test::log().unload_calls, 0);
    EXPECT_EQ(platform::ob::lookup(u"\\Driver\\pnpfail").status, STATUS_OBJECT_NAME_NOT_FOUND);
    // The module can be loaded again once the cause is gone.
    pnp_test::config().driver_entry = STATUS_SUCCESS;
    EXPECT_EQ(pnp::load_driver(drv), STATUS_SUCCESS);
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);
}

TEST_F(PnpManager, LifecycleSendsTheDocumentedSequence) {
    auto* drv = pnp_test::load();
    auto* node = pnp::add_device(drv, {u"ROOT\\PNPTEST", {}});
    ASSERT_EQ(pnp::state(node), device_state::added);
    EXPECT_EQ(pnp::instance_id(node), u"ROOT\\PNPTEST\\0000");
    PDEVICE_OBJECT pdo = pnp::physical_device(node);
    ASSERT_NE(pdo, nullptr);
    EXPECT_EQ(pnp_test::log().last_pdo, pdo);
    EXPECT_EQ(pnp::function_device(node), pnp_test::log().last_fdo);
    EXPECT_NE(pdo->Flags & DO_BUS_ENUMERATED_DEVICE, 0u);

    EXPECT_EQ(pnp::start_device(node), STATUS_SUCCESS);
    EXPECT_EQ(pnp::state(node), device_state::started);
    EXPECT_EQ(pnp::sleep_device(node), STATUS_SUCCESS);
    EXPECT_EQ(pnp::state(node), device_state::sleeping);
    EXPECT_EQ(pnp::resume_device(node), STATUS_SUCCESS);
    EXPECT_EQ(pnp::sleep_device(node, PowerSystemHibernate, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(pnp::resume_device(node), STATUS_SUCCESS);
    EXPECT_EQ(pnp::remove_device(node), STATUS_SUCCESS);
    EXPECT_EQ(pnp::state(node), device_state::removed);
    EXPECT_EQ(pnp::physical_device(node), nullptr);
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);

    EXPECT_EQ(
        irps(),
        (strings{"start", "power system S3 sleep", "power device D3 sleep", "power system S0 none",
                 "power device D0 none", "power system S4 hibernate", "power device D3 hibernate",
                 "power system S0 none", "power device D0 none", "query-remove", "remove"}));
    for (const auto& t : pnp_test::log().threads) {
        EXPECT_EQ(t, "pnp");
    }
}

TEST_F(PnpManager, OperationsOutOfStateAreRefusedWithoutIrps) {
    auto* drv = pnp_test::load();
    auto* node = pnp::add_device(drv, {u"ROOT\\PNPTEST", {}});
    EXPECT_EQ(pnp::sleep_device(node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp::resume_device(node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp::query_stop(node), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(pnp::start_device(node), STATUS_SUCCESS);
    EXPECT_EQ(pnp::start_device(node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp::resume_device(node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp::sleep_device(node, PowerSystemWorking, PowerDeviceD3), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(irps(), strings{"start"});
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);  // removes the device first
    EXPECT_EQ(irps(), (strings{"start", "query-remove", "remove"}));
    EXPECT_EQ(pnp::state(node), device_state::removed);
}

TEST_F(PnpManager, QueryStopRefusedSendsCancelAndKeepsTheDeviceStarted) {
    auto* drv = pnp_test::load();
    auto* node = pnp::add_device(drv, {u"ROOT\\PNPTEST", {}});
    ASSERT_EQ(pnp::start_device(node), STATUS_SUCCESS);

    pnp_test::config().query_stop = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(pnp::query_stop(node), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pnp::state(node), device_state::started);
    EXPECT_EQ(irps(), (strings{"start", "query-stop", "cancel-stop"}));

    // Accepted: stopped, then started again (resource rebalance); or left stopped.
    pnp_test::config().query_stop = STATUS_SUCCESS;
    irps().clear();
    EXPECT_EQ(pnp::query_stop(node), STATUS_SUCCESS);
    EXPECT_EQ(pnp::state(node), device_state::started);
    EXPECT_EQ(pnp::query_stop(node, false), STATUS_SUCCESS);
    EXPECT_EQ(pnp::state(node), device_state::stopped);
    EXPECT_EQ(pnp::start_device(node), STATUS_SUCCESS);
    EXPECT_EQ(irps(), (strings{"query-stop", "stop", "start", "query-stop", "stop", "start"}));
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);
}

TEST_F(PnpManager, QueryRemoveRefusedOrCalledOffSendsCancel) {
    auto* drv = pnp_test::load();
    auto* node = pnp::add_device(drv, {u"ROOT\\PNPTEST", {}});
    ASSERT_EQ(pnp::start_device(node), STATUS_SUCCESS);

    pnp_test::config().query_remove = STATUS_DEVICE_BUSY;
    EXPECT_EQ(pnp::remove_device(node), STATUS_DEVICE_BUSY);
    EXPECT_EQ(pnp::state(node), device_state::started);
    // A veto keeps the driver loaded, too.
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(pnp::loaded(drv));
    EXPECT_EQ(pnp_test::log().unload_calls, 0);

    pnp_test::config().query_remove = STATUS_SUCCESS;
    EXPECT_EQ(pnp::query_remove(node), STATUS_SUCCESS);  // accepted, then called off
    EXPECT_EQ(pnp::state(node), device_state::started);
    EXPECT_EQ(irps(), (strings{"start", "query-remove", "cancel-remove", "query-remove",
                               "cancel-remove", "query-remove", "cancel-remove"}));
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);
}

TEST_F(PnpManager, FailedStartTearsTheStackDown) {
    auto* drv = pnp_test::load();
    auto* node = pnp::add_device(drv, {u"ROOT\\PNPTEST", {}});
    pnp_test::config().start = STATUS_DEVICE_CONFIGURATION_ERROR;
    EXPECT_EQ(pnp::start_device(node), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(pnp::state(node), device_state::failed);
    EXPECT_EQ(pnp::last_status(node), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(pnp::physical_device(node), nullptr);
    EXPECT_EQ(irps(), (strings{"start", "remove"}));
    EXPECT_EQ(pnp::driver_object(drv)->DeviceObject, nullptr);
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);
}

TEST_F(PnpManager, ADriverThatKeepsItsDeviceAfterRemovalIsCaught) {
    auto* drv = pnp_test::load();
    auto* node = pnp::add_device(drv, {u"ROOT\\PNPTEST", {}});
    ASSERT_EQ(pnp::start_device(node), STATUS_SUCCESS);
    pnp_test::config().keep_device_on_remove = true;
    EXPECT_DEATH(pnp::remove_device(node), "0xC4|still attached to the PDO");
}

TEST_F(PnpManager, FailedAddDeviceLeavesAFailedNodeAndNoIrps) {
    auto* drv = pnp_test::load();
    pnp_test::config().add_device = STATUS_NO_MEMORY;
    auto* node = pnp::add_device(drv, {u"ROOT\\PNPTEST", {}});
    EXPECT_EQ(pnp::state(node), device_state::failed);
    EXPECT_EQ(pnp::last_status(node), STATUS_NO_MEMORY);
    EXPECT_EQ(pnp::physical_device(node), nullptr);
    EXPECT_EQ(pnp::start_device(node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(irps().empty());
    // The instance number is free again for the next device.
    pnp_test::config().add_device = STATUS_SUCCESS;
    auto* again = pnp::add_device(drv, {u"ROOT\\PNPTEST", {}});
    EXPECT_EQ(pnp::instance_id(again), u"ROOT\\PNPTEST\\0000");
    auto* second = pnp::add_device(drv, {u"ROOT\\PNPTEST", {}});
    EXPECT_EQ(pnp::instance_id(second), u"ROOT\\PNPTEST\\0001");
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);
}

TEST_F(PnpManager, SurpriseRemovalWaitsForTheLastHandle) {
    auto* drv = pnp_test::load();
    auto* node = pnp::add_device(drv, {u"ROOT\\PNPTEST", {}});
    ASSERT_EQ(pnp::start_device(node), STATUS_SUCCESS);
    // Open the stack through a device interface, as a client would.
    constexpr GUID cls = {0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(pnp::physical_device(node), &cls, nullptr, &link),
              STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    auto opened = platform::io::open_file(platform::kernel::view(&link), {});
    ASSERT_EQ(opened.status, STATUS_SUCCESS);

    EXPECT_EQ(pnp::surprise_remove(node), STATUS_SUCCESS);
    EXPECT_EQ(pnp::state(node), device_state::surprise_removed);
    EXPECT_TRUE(pnp::enabled_interfaces(cls).empty());  // disabled by the PnP manager
    EXPECT_FALSE(
        pnp_test::wait_until([&] { return pnp::state(node) == device_state::removed; }, 100));
    platform::io::close_file(std::move(opened.file));
    EXPECT_TRUE(pnp_test::wait_until([&] { return pnp::state(node) == device_state::removed; }));
    EXPECT_EQ(irps(), (strings{"start", "surprise-removal", "remove"}));
    ExFreePool(link.Buffer);
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);
}

TEST_F(PnpManager, SurpriseRemovalAtOnceAndOfAnUnstartedDevice) {
    auto* drv = pnp_test::load();
    auto* a = pnp::add_device(drv, {u"ROOT\\PNPTEST", {}});
    auto* b = pnp::add_device(drv, {u"ROOT\\PNPTEST", {}});
    ASSERT_EQ(pnp::start_device(a), STATUS_SUCCESS);
    EXPECT_EQ(pnp::surprise_remove(a, pnp::removal_after_surprise::at_once), STATUS_SUCCESS);
    EXPECT_EQ(pnp::state(a), device_state::removed);
    EXPECT_EQ(pnp::surprise_remove(b), STATUS_SUCCESS);  // never started: removed outright
    EXPECT_EQ(pnp::state(b), device_state::removed);
    EXPECT_EQ(irps(), (strings{"start", "surprise-removal", "remove", "remove"}));
    EXPECT_EQ(pnp::surprise_remove(a), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);
}

TEST_F(PnpManager, ShutdownPowersWorkingDevicesDownWithoutRemoving) {
    auto* drv = pnp_test::load();
    auto* on = pnp::add_device(drv, {u"ROOT\\PNPTEST", {}});
    auto* off = pnp::add_device(drv, {u"ROOT\\PNPTEST", {}});
    ASSERT_EQ(pnp::start_device(on), STATUS_SUCCESS);
    EXPECT_EQ(pnp::shutdown_system(), STATUS_SUCCESS);
    EXPECT_EQ(irps(),
              (strings{"start", "power system S5 shutdown-off", "power device D3 shutdown-off"}));
    EXPECT_NE(pnp::physical_device(on), nullptr);
    EXPECT_EQ(pnp::state(off), device_state::added);
    // Tearing down after the shutdown removes the devices without powering them up.
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);
    EXPECT_EQ(irps(),
              (strings{"start", "power system S5 shutdown-off", "power device D3 shutdown-off",
                       "query-remove", "remove", "query-remove", "remove"}));
}

TEST_F(PnpManager, QueryInterfaceIsRoutedThroughTheStack) {
    auto* drv = pnp_test::load();
    auto* node = pnp::add_device(drv, {u"ROOT\\PNPTEST", {}});
    ASSERT_EQ(pnp::start_device(node), STATUS_SUCCESS);

    pnp_test::answered_interface_layout answer{};
    EXPECT_EQ(
        pnp::query_interface(node, pnp_test::answered_interface, sizeof answer, 3, &answer.header),
        STATUS_SUCCESS);
    EXPECT_EQ(answer.magic, pnp_test::answered_magic);
    EXPECT_EQ(answer.header.Version, 3);
    EXPECT_EQ(answer.header.Context, pnp::function_device(node));

    // Nobody answers: the bus completes it with the status it started with.
    constexpr GUID other = {0xdead, 0xbeef, 0x1, {1, 2, 3, 4, 5, 6, 7, 8}};
    pnp_test::answered_interface_layout none{};
    EXPECT_EQ(pnp::query_interface(node, other, sizeof none, 1, &none.header),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(none.magic, 0u);
    // A buffer too small for the interface is not answered either.
    EXPECT_EQ(pnp::query_interface(node, pnp_test::answered_interface, sizeof(INTERFACE), 1,
                                   &none.header),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irps(), (strings{"start", "query-interface", "query-interface", "query-interface"}));
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);
}

TEST_F(PnpManager, FinalCheckReportsWhatIsLeft) {
    auto* drv = pnp_test::load();
    auto* node = pnp::add_device(drv, {u"ROOT\\PNPTEST", {}});
    ASSERT_EQ(pnp::start_device(node), STATUS_SUCCESS);
    auto report = pnp::final_check_report();
    ASSERT_EQ(report.size(), 2u);
    EXPECT_NE(report[0].find("ROOT\\PNPTEST\\0000"), std::string::npos);
    EXPECT_NE(report[1].find("pnptest still loaded"), std::string::npos);
    EXPECT_DEATH(pnp::final_check(), "0xC4|PnP final check");
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);
    EXPECT_TRUE(pnp::final_check_report().empty());
    pnp::final_check();
}

TEST_F(PnpManager, DriverWithoutUnloadRoutineStaysLoaded) {
    pnp_test::config().set_unload = false;
    auto* drv = pnp_test::load();
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(pnp::loaded(drv));
}

}  // namespace

// After its drivers are unloaded and the manager is reset, the kernel holds nothing the
// PnP manager created: no PDO, no bus driver, no key handles (both removal paths).
TEST_F(PnpManager, ResetLeavesNothingBehindInTheKernel) {
    for (bool surprise : {false, true}) {
        auto* drv = pnp_test::load();
        auto* node = pnp::add_device(drv, {u"ROOT\\PNPTEST", {}});
        ASSERT_EQ(pnp::start_device(node), STATUS_SUCCESS);
        if (surprise) {
            ASSERT_EQ(pnp::surprise_remove(node, pnp::removal_after_surprise::at_once),
                      STATUS_SUCCESS);
        } else {
            ASSERT_EQ(pnp::remove_device(node), STATUS_SUCCESS);
        }
        ASSERT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);
        EXPECT_TRUE(pnp::final_check_report().empty());
        pnp::reset();
        std::string left;
        for (const auto& line : platform::kernel::outstanding()) {
            left += line + "\n";
        }
        EXPECT_EQ(left, "") << (surprise ? "after surprise removal" : "after removal");
        pnp_test::reset();
    }
}
