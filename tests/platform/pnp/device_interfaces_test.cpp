// Device interfaces: registration and state, the symbolic link to the PDO, arrival and
// removal notifications (existing interfaces included), unregistration waiting for a
// running callback, and the checks at driver unload.
#include <gtest/gtest.h>

#include "core/scheduler.h"
#include "kernel/object_manager.h"
#include "kernel/strings.h"
#include "pnp/pnp_manager.h"
#include "test_driver.h"

namespace pnp = platform::pnp;

namespace {

constexpr GUID smd_class = {
    0x7714fa50, 0xaa27, 0x4a14, {0x9e, 0xe8, 0xd7, 0x0f, 0x98, 0x2b, 0x25, 0x11}};
constexpr GUID other_class = {0x1234, 0x5678, 0x9abc, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID arrival = {
    0xcb3a4004L, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};

// What a notification callback saw.
struct listener {
    std::vector<std::string> events;  // "arrival <link>" / "removal <link>"
    std::vector<std::string> threads;
    // A gate the callback waits at, when closed (guarded by the scheduler lock).
    bool gated = false;
    bool inside = false;
    PVOID unregister_self = nullptr;
};

NTSTATUS on_change(PVOID structure, PVOID context) {
    auto* l = static_cast<listener*>(context);
    auto* n = static_cast<DEVICE_INTERFACE_CHANGE_NOTIFICATION*>(structure);
    EXPECT_EQ(n->Size, sizeof(DEVICE_INTERFACE_CHANGE_NOTIFICATION));
    auto& s = platform::scheduler::get();
    l->events.push_back(std::string(n->Event == arrival ? "arrival " : "removal ") +
                        platform::kernel::to_utf8(n->SymbolicLinkName));
    l->threads.push_back(s.current().name);
    if (l->unregister_self != nullptr) {
        EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(l->unregister_self), STATUS_SUCCESS);
    }
    std::unique_lock lk(s.lock());
    l->inside = true;
    s.wake();
    s.block(
        lk, [l] { return !l->gated; }, platform::no_deadline, "the test's gate");
    l->inside = false;
    return STATUS_SUCCESS;
}

class DeviceInterfaces : public ::testing::Test {
  protected:
    void SetUp() override {
        pnp_test::reset();
        drv = pnp_test::load(u"iftest");
        node = pnp::add_device(drv, {u"ROOT\\IFTEST", {}});
        ASSERT_EQ(pnp::start_device(node), STATUS_SUCCESS);
        pdo = pnp::physical_device(node);
    }

    std::u16string register_interface(const GUID& cls, const char16_t* reference = nullptr) {
        UNICODE_STRING link{};
        platform::kernel::owned_unicode_string ref(reference != nullptr ? reference : u"");
        EXPECT_EQ(
            IoRegisterDeviceInterface(pdo, &cls, reference != nullptr ? ref.get() : nullptr, &link),
            STATUS_SUCCESS);
        std::u16string out = platform::kernel::to_u16(&link);
        ExFreePool(link.Buffer);
        return out;
    }

    NTSTATUS set_state(const std::u16string& link, bool enable) {
        platform::kernel::owned_unicode_string s(link);
        return IoSetDeviceInterfaceState(s, enable ? TRUE : FALSE);
    }

    PVOID subscribe(listener& l, const GUID& cls, ULONG flags) {
        PVOID entry = nullptr;
        EXPECT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, flags,
                                                 const_cast<GUID*>(&cls), pnp::driver_object(drv),
                                                 on_change, &l, &entry),
                  STATUS_SUCCESS);
        return entry;
    }

    pnp::driver* drv = nullptr;
    pnp::device_node* node = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
};

TEST_F(DeviceInterfaces, RegistrationNamesTheInstanceAndStateFollowsTheDocumentedStatuses) {
    std::u16string link = register_interface(smd_class);
    EXPECT_EQ(link, u"\\??\\ROOT#IFTEST#0000#{7714fa50-aa27-4a14-9ee8-d70f982b2511}");
    EXPECT_EQ(register_interface(smd_class), link);  // registering again gives the same name
    EXPECT_EQ(register_interface(smd_class, u"port0"), link + u"\\port0");

    EXPECT_EQ(set_state(link, false), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(set_state(link, true), STATUS_SUCCESS);
    EXPECT_EQ(set_state(link, true), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(pnp::enabled_interfaces(smd_class), std::vector<std::u16string>{link});
    // While enabled the link leads to the PDO.
    auto found = platform::ob::lookup(link);
    ASSERT_EQ(found.status, STATUS_SUCCESS);
    EXPECT_EQ(found.obj->body(), pdo);
    EXPECT_EQ(set_state(link, false), STATUS_SUCCESS);
    EXPECT_EQ(platform::ob::lookup(link).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(set_state(u"\\??\\NOT#REGISTERED", true), STATUS_OBJECT_NAME_NOT_FOUND);

    UNICODE_STRING out{};
    EXPECT_EQ(IoRegisterDeviceInterface(pnp_test::log().last_fdo, &smd_class, nullptr, &out),
              STATUS_INVALID_DEVICE_REQUEST);  // only a PDO has interfaces
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);
}

TEST_F(DeviceInterfaces, ArrivalsIncludeExistingInterfacesAndRemovalFollowsTheDevice) {
    std::u16string link = register_interface(smd_class);
    std::u16string unrelated = register_interface(other_class);
    ASSERT_EQ(set_state(link, true), STATUS_SUCCESS);
    ASSERT_EQ(set_state(unrelated, true), STATUS_SUCCESS);

    listener with_existing, new_only;
    PVOID a =
        subscribe(with_existing, smd_class, PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES);
    PVOID b = subscribe(new_only, smd_class, 0);
    pnp::flush_notifications();
    const std::string l = platform::kernel::to_utf8(link);
    EXPECT_EQ(with_existing.events, std::vector<std::string>{"arrival " + l});
    EXPECT_TRUE(new_only.events.empty());

    ASSERT_EQ(set_state(link, false), STATUS_SUCCESS);
    ASSERT_EQ(set_state(link, true), STATUS_SUCCESS);
    // Removing the device disables what is still enabled.
    ASSERT_EQ(pnp::remove_device(node), STATUS_SUCCESS);
    pnp::flush_notifications();
    EXPECT_TRUE(pnp::enabled_interfaces(smd_class).empty());
    EXPECT_EQ(new_only.events,
              (std::vector<std::string>{"removal " + l, "arrival " + l, "removal " + l}));
    EXPECT_EQ(with_existing.events.size(), 4u);
    for (const auto& t : with_existing.threads) {
        EXPECT_EQ(t, "pnp-notify");
    }
    EXPECT_EQ(set_state(link, true), STATUS_INVALID_DEVICE_REQUEST);  // the device is gone

    EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(a), STATUS_SUCCESS);
    EXPECT_EQ(IoUnregisterPlugPlayNotification(b), STATUS_SUCCESS);
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);
}

TEST_F(DeviceInterfaces, UnregisterExWaitsForARunningCallback) {
    std::u16string link = register_interface(smd_class);
    listener l;
    PVOID entry = subscribe(l, smd_class, 0);
    auto& s = platform::scheduler::get();
    {
        std::lock_guard g(s.lock());
        l.gated = true;
    }
    ASSERT_EQ(set_state(link, true), STATUS_SUCCESS);
    ASSERT_TRUE(pnp_test::wait_until([&] {
        std::lock_guard g(s.lock());
        return l.inside;
    }));
    bool returned = false;
    auto t = s.start_thread("unregistering", [&] {
        EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(entry), STATUS_SUCCESS);
        std::lock_guard g(s.lock());
        returned = true;
        s.wake();
    });
    // The unregistration cannot finish while the callback runs, however long it takes.
    EXPECT_FALSE(pnp_test::wait_until(
        [&] {
            std::lock_guard g(s.lock());
            return returned;
        },
        50));
    // Events after the unregistration started are not delivered.
    ASSERT_EQ(set_state(link, false), STATUS_SUCCESS);
    {
        std::lock_guard g(s.lock());
        l.gated = false;
        s.wake();
    }
    t->join();
    EXPECT_TRUE(returned);
    pnp::flush_notifications();
    EXPECT_EQ(l.events.size(), 1u);
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);
}

TEST_F(DeviceInterfaces, ACallbackMayUnregisterItself) {
    std::u16string link = register_interface(smd_class);
    listener l;
    PVOID entry = subscribe(l, smd_class, 0);
    l.unregister_self = entry;
    ASSERT_EQ(set_state(link, true), STATUS_SUCCESS);
    ASSERT_EQ(set_state(link, false), STATUS_SUCCESS);
    pnp::flush_notifications();
    EXPECT_EQ(l.events.size(), 1u);  // the removal came after the entry was gone
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);
}

TEST_F(DeviceInterfaces, ArrivalDuringStartWaitsForTheStartToComplete) {
    listener l;
    PVOID entry = subscribe(l, smd_class, 0);
    auto* second = pnp::add_device(drv, {u"ROOT\\IFTEST", {}});
    pnp_test::config().enable_interface_at_start = &smd_class;
    pnp_test::config().start = STATUS_SUCCESS;
    ASSERT_EQ(pnp::start_device(second), STATUS_SUCCESS);
    pnp::flush_notifications();
    ASSERT_EQ(l.events.size(), 1u);
    EXPECT_EQ(l.events[0], "arrival " + platform::kernel::to_utf8(pnp_test::log().interface_link));

    // A start that fails after enabling an interface never announces it.
    auto* third = pnp::add_device(drv, {u"ROOT\\IFTEST", {}});
    pnp_test::config().start = STATUS_UNSUCCESSFUL;
    pnp_test::config().enable_interface_at_start = &smd_class;
    EXPECT_EQ(pnp::start_device(third), STATUS_UNSUCCESSFUL);
    pnp::flush_notifications();
    EXPECT_EQ(l.events.size(), 1u);
    EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(entry), STATUS_SUCCESS);
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);
}

TEST_F(DeviceInterfaces, GetDeviceInterfacesListsEnabledOnesUnlessAskedForAll) {
    std::u16string a = register_interface(smd_class);
    std::u16string b = register_interface(smd_class, u"x");
    ASSERT_EQ(set_state(b, true), STATUS_SUCCESS);
    PWSTR list = nullptr;
    ASSERT_EQ(IoGetDeviceInterfaces(&smd_class, nullptr, 0, &list), STATUS_SUCCESS);
    EXPECT_EQ(platform::kernel::view(list), b);
    EXPECT_EQ(list[b.size() + 1], 0);
    ExFreePool(list);
    ASSERT_EQ(IoGetDeviceInterfaces(&smd_class, pdo, DEVICE_INTERFACE_INCLUDE_NONACTIVE, &list),
              STATUS_SUCCESS);
    EXPECT_EQ(platform::kernel::view(list), a);
    EXPECT_EQ(platform::kernel::view(list + a.size() + 1), b);
    ExFreePool(list);
    ASSERT_EQ(IoGetDeviceInterfaces(&other_class, nullptr, 0, &list), STATUS_SUCCESS);
    EXPECT_EQ(list[0], 0);
    ExFreePool(list);
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);
}

TEST_F(DeviceInterfaces, UnloadWithANotificationStillRegisteredIsAVerifierError) {
    listener l;
    subscribe(l, smd_class, 0);
    EXPECT_DEATH(pnp::unload_driver(drv), "0xC4|still registered");
}

TEST_F(DeviceInterfaces, UnregisteringTwiceIsAVerifierError) {
    listener l;
    PVOID entry = subscribe(l, smd_class, 0);
    EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(entry), STATUS_SUCCESS);
    EXPECT_DEATH(IoUnregisterPlugPlayNotificationEx(entry), "0xC4|not registered");
    EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);
}

}  // namespace
