// A work item and a PnP notification callback that return with something the driver had to
// restore: the verifier names the callback (EvtWorkItem, the PnP notification callback).
#include <gtest/gtest.h>

#include <wdf.h>

#include "../wdf/wdf_fixture.h"
#include "core/scheduler.h"
#include "kernel/strings.h"
#include "pnp/pnp_manager.h"

namespace {

using wdf_test::framework_test;

WDFWAITLOCK wait_lock = nullptr;
WDFSPINLOCK spin_lock = nullptr;

VOID ItemKeepingASpinLock(WDFWORKITEM) {
    WdfSpinLockAcquire(spin_lock);
}

VOID ItemAtDispatchLevel(WDFWORKITEM) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

class removal_work_item_death_test : public framework_test {
  protected:
    void SetUp() override {
        framework_test::SetUp();
        create_device();
        ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &spin_lock), STATUS_SUCCESS);
    }
    void run(PFN_WDF_WORKITEM fn) {
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, fn);
        WDF_OBJECT_ATTRIBUTES a;
        WDF_OBJECT_ATTRIBUTES_INIT(&a);
        a.ParentObject = device();
        WDFWORKITEM item = nullptr;
        ASSERT_EQ(WdfWorkItemCreate(&config, &a, &item), STATUS_SUCCESS);
        WdfWorkItemEnqueue(item);
        WdfWorkItemFlush(item);
    }
};

TEST_F(removal_work_item_death_test, returning_with_a_spin_lock) {
    EXPECT_DEATH(run(ItemKeepingASpinLock),
                 "0x000000C4.*lock still held when EvtWorkItem \\(.*\\) returned: .* acquired at "
                 ".*removal_");
}

TEST_F(removal_work_item_death_test, returning_at_dispatch_level) {
    EXPECT_DEATH(run(ItemAtDispatchLevel), "EvtWorkItem \\(.*\\) returned at IRQL 2, called at 0");
}

// ---- PnP notifications ---------------------------------------------------------------------

namespace pnp = platform::pnp;

constexpr GUID watched_class = {0x0badcafe, 0x1234, 0x5678, {8, 7, 6, 5, 4, 3, 2, 1}};

NTSTATUS NotificationKeepingAWaitLock(PVOID, PVOID) {
    WdfWaitLockAcquire(wait_lock, nullptr);
    return STATUS_SUCCESS;
}

NTSTATUS AddNothing(PDRIVER_OBJECT, PDEVICE_OBJECT) {
    return STATUS_SUCCESS;  // the PDO alone serves: nothing attached above it
}

VOID Unload(PDRIVER_OBJECT) {}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = AddNothing;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

TEST(removal_notification_death_test, callback_returning_with_a_wait_lock) {
    EXPECT_DEATH(
        {
            ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &wait_lock), STATUS_SUCCESS);
            pnp::driver* drv = pnp::register_driver({u"removalnotify", Entry, {}});
            ASSERT_EQ(pnp::load_driver(drv), STATUS_SUCCESS);
            pnp::device_node* node = pnp::add_device(drv, {u"ROOT\\REMOVALNOTIFY", {}});
            ASSERT_EQ(pnp::start_device(node), STATUS_SUCCESS);
            UNICODE_STRING link{};
            ASSERT_EQ(IoRegisterDeviceInterface(pnp::physical_device(node), &watched_class, nullptr,
                                                &link),
                      STATUS_SUCCESS);
            ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
            PVOID entry = nullptr;
            IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange,
                                           PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
                                           const_cast<GUID*>(&watched_class),
                                           pnp::driver_object(drv), NotificationKeepingAWaitLock,
                                           nullptr, &entry);
            pnp::flush_notifications();
        },
        "0x000000C4.*lock still held when PnP notification callback \\(.*\\) returned: .* acquired "
        "at .*removal_");
}

}  // namespace
