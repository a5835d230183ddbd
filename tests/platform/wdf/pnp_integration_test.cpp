// A framework driver loaded and driven by the PnP manager: hardware-key registry reads,
// device interfaces enabled at start and disabled at removal, query-interface from another
// driver, and the power callbacks for sleep, resume and removal.
#include <gtest/gtest.h>
#include <wdf.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/faults.h"
#include "pnp/pnp_manager.h"
#include "kernel/strings.h"

namespace pnp = platform::pnp;

namespace {

std::vector<std::string> log_;
WDFDEVICE device_ = nullptr;
bool interface_at_add_ = false;
bool non_stoppable_ = false;

constexpr GUID kClass = {0x1b2e45f0, 0x7d11, 0x4c2a, {9, 8, 7, 6, 5, 4, 3, 2}};
constexpr GUID kLateClass = {0x1b2e45f1, 0x7d11, 0x4c2a, {9, 8, 7, 6, 5, 4, 3, 2}};
constexpr GUID kQi = {0x1b2e45f2, 0x7d11, 0x4c2a, {9, 8, 7, 6, 5, 4, 3, 2}};

struct QI {
    INTERFACE Header;
    PVOID Routine;
};
int routine_;

const char* name(WDF_POWER_DEVICE_STATE s) {
    return s == WdfPowerDeviceD3Final ? "D3Final" : s == WdfPowerDeviceD3 ? "D3" : "other";
}

NTSTATUS D0Entry(WDFDEVICE, WDF_POWER_DEVICE_STATE previous) {
    log_.push_back(std::string("D0Entry(") + name(previous) + ")");
    return STATUS_SUCCESS;
}
NTSTATUS D0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE target) {
    log_.push_back(std::string("D0Exit(") + name(target) + ")");
    return STATUS_SUCCESS;
}
VOID Cleanup(WDFOBJECT) {
    log_.push_back("DeviceCleanup");
}

NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_PNPPOWER_EVENT_CALLBACKS cb;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&cb);
    cb.EvtDeviceD0Entry = D0Entry;
    cb.EvtDeviceD0Exit = D0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &cb);
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.EvtCleanupCallback = Cleanup;
    NTSTATUS st = WdfDeviceCreate(&init, &a, &device_);
    if (!NT_SUCCESS(st))
        return st;
    if (non_stoppable_)
        WdfDeviceSetStaticStopRemove(device_, FALSE);
    if (interface_at_add_) {
        st = WdfDeviceCreateDeviceInterface(device_, &kClass, nullptr);
        if (!NT_SUCCESS(st))
            return st;
    }
    static QI qi;
    std::memset(&qi, 0, sizeof qi);
    qi.Header.Size = sizeof qi;
    qi.Routine = &routine_;
    WDF_QUERY_INTERFACE_CONFIG config;
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, &qi.Header, &kQi, nullptr);
    return WdfDeviceAddQueryInterface(device_, &config);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    return WdfDriverCreate(driver, path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

class FrameworkUnderPnp : public ::testing::Test {
  protected:
    void SetUp() override {
        log_.clear();
        device_ = nullptr;
        interface_at_add_ = false;
        non_stoppable_ = false;
        pnp::reset();
    }
    void TearDown() override {
        if (drv != nullptr) {
            EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS);
        }
        pnp::reset();
    }
    pnp::device_node* load_and_add(pnp::registry_values hardware_key = {},
                                   pnp::registry_values parameters = {}) {
        drv = pnp::register_driver({u"wdfcorepnp", DriverEntry, std::move(parameters)});
        EXPECT_EQ(pnp::load_driver(drv), STATUS_SUCCESS);
        return pnp::add_device(drv, {u"ROOT\\WDFCORE", std::move(hardware_key)});
    }
    pnp::driver* drv = nullptr;
};

// Registry reads run on a thread the PnP manager does not own: the test's, at PASSIVE_LEVEL.
TEST_F(FrameworkUnderPnp, HardwareKeyValuesAreReadThroughTheDevice) {
    pnp::registry_value empty_sz;
    empty_sz.type = REG_SZ;  // no bytes at all, not even a terminator
    auto* node = load_and_add({{u"SupportNewHWID", pnp::reg_sz(u"true")},
                               {u"Count", pnp::reg_dword(7)},
                               {u"Empty", empty_sz},
                               {u"Blob", pnp::reg_binary({1, 2, 3})}});
    ASSERT_EQ(pnp::start_device(node), STATUS_SUCCESS);

    WDFKEY key = nullptr;
    ASSERT_EQ(WdfDeviceOpenRegistryKey(device_, PLUGPLAY_REGKEY_DEVICE, KEY_READ,
                                       WDF_NO_OBJECT_ATTRIBUTES, &key),
              STATUS_SUCCESS);
    platform::kernel::owned_unicode_string support(u"SupportNewHWID"), count(u"Count"),
        empty(u"Empty"), blob(u"Blob"), missing(u"Missing");

    ULONG value = 0;
    EXPECT_EQ(WdfRegistryQueryULong(key, count.get(), &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(WdfRegistryQueryULong(key, support.get(), &value), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(WdfRegistryQueryULong(key, missing.get(), &value), STATUS_OBJECT_NAME_NOT_FOUND);

    WDFSTRING s;
    ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &s), STATUS_SUCCESS);
    EXPECT_EQ(WdfRegistryQueryString(key, support.get(), s), STATUS_SUCCESS);
    UNICODE_STRING text{};
    WdfStringGetUnicodeString(s, &text);
    EXPECT_EQ(platform::kernel::view(&text), u"true");
    EXPECT_EQ(WdfRegistryQueryString(key, blob.get(), s), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(WdfRegistryQueryString(key, empty.get(), s), STATUS_RESOURCE_DATA_NOT_FOUND);

    WCHAR small[2];
    UNICODE_STRING small_string{0, sizeof small, small};
    USHORT needed = 0;
    EXPECT_EQ(WdfRegistryQueryUnicodeString(key, support.get(), &needed, &small_string),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(needed, 10);  // "true" and its terminator
    WCHAR big[16];
    UNICODE_STRING big_string{0, sizeof big, big};
    EXPECT_EQ(WdfRegistryQueryUnicodeString(key, support.get(), &needed, &big_string),
              STATUS_SUCCESS);
    EXPECT_EQ(platform::kernel::view(&big_string), u"true");
    // A string value with no bytes reads as an empty string.
    EXPECT_EQ(WdfRegistryQueryUnicodeString(key, empty.get(), &needed, &big_string),
              STATUS_SUCCESS);
    EXPECT_EQ(big_string.Length, 0);

    UCHAR bytes[8] = {};
    ULONG length = 0, type = 0;
    EXPECT_EQ(WdfRegistryQueryValue(key, blob.get(), sizeof bytes, bytes, &length, &type),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(bytes[2], 3);
    EXPECT_EQ(WdfRegistryQueryValue(key, blob.get(), 0, nullptr, &length, &type),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, 3u);
    WdfRegistryClose(key);
    EXPECT_DEATH(WdfRegistryClose(key), "0x0000010D");

    platform::faults::fail_nth("WdfDeviceOpenRegistryKey", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(WdfDeviceOpenRegistryKey(device_, PLUGPLAY_REGKEY_DEVICE, KEY_READ,
                                       WDF_NO_OBJECT_ATTRIBUTES, &key),
              STATUS_INSUFFICIENT_RESOURCES);
    platform::faults::clear();
}

TEST_F(FrameworkUnderPnp, ValuesAreWrittenAndTheParametersKeyIsOpened) {
    auto* node = load_and_add({}, {{u"Mode", pnp::reg_dword(3)}});
    WDFKEY params = nullptr;
    ASSERT_EQ(WdfDriverOpenParametersRegistryKey(WdfDeviceGetDriver(device_), KEY_READ,
                                                 WDF_NO_OBJECT_ATTRIBUTES, &params),
              STATUS_SUCCESS);
    platform::kernel::owned_unicode_string mode(u"Mode"), count(u"Count"), label(u"Label");
    ULONG value = 0;
    EXPECT_EQ(WdfRegistryQueryULong(params, mode.get(), &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 3u);
    WdfRegistryClose(params);

    WDFKEY key = nullptr;
    ASSERT_EQ(WdfDeviceOpenRegistryKey(device_, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS,
                                       WDF_NO_OBJECT_ATTRIBUTES, &key),
              STATUS_SUCCESS);
    EXPECT_EQ(WdfRegistryAssignULong(key, count.get(), 9), STATUS_SUCCESS);
    platform::kernel::owned_unicode_string text(u"modem");
    EXPECT_EQ(WdfRegistryAssignUnicodeString(key, label.get(), text.get()), STATUS_SUCCESS);
    EXPECT_EQ(pnp::hardware_value(node, u"Count"), pnp::reg_dword(9));
    EXPECT_EQ(pnp::hardware_value(node, u"Label"), pnp::reg_sz(u"modem"));
    EXPECT_EQ(WdfRegistryRemoveValue(key, count.get()), STATUS_SUCCESS);
    EXPECT_EQ(pnp::hardware_value(node, u"Count"), std::nullopt);
    // The key goes with its device if the driver never closes it.
}

TEST_F(FrameworkUnderPnp, InterfacesCreatedAtAddAreEnabledAtStartAndDisabledAtRemoval) {
    interface_at_add_ = true;
    auto* node = load_and_add();
    EXPECT_TRUE(pnp::enabled_interfaces(kClass).empty());
    ASSERT_EQ(pnp::start_device(node), STATUS_SUCCESS);
    EXPECT_EQ(pnp::enabled_interfaces(kClass).size(), 1u);

    // One created once the device runs stays disabled until the driver enables it.
    ASSERT_EQ(WdfDeviceCreateDeviceInterface(device_, &kLateClass, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(pnp::enabled_interfaces(kLateClass).empty());
    WdfDeviceSetDeviceInterfaceState(device_, &kLateClass, nullptr, TRUE);
    EXPECT_EQ(pnp::enabled_interfaces(kLateClass).size(), 1u);
    WdfDeviceSetDeviceInterfaceState(device_, &kLateClass, nullptr, FALSE);
    EXPECT_TRUE(pnp::enabled_interfaces(kLateClass).empty());
    WdfDeviceSetDeviceInterfaceState(device_, &kLateClass, nullptr, TRUE);

    ASSERT_EQ(pnp::remove_device(node), STATUS_SUCCESS);
    EXPECT_TRUE(pnp::enabled_interfaces(kClass).empty());
    EXPECT_TRUE(pnp::enabled_interfaces(kLateClass).empty());
}

TEST_F(FrameworkUnderPnp, SleepResumeAndRemovalPassTheirTargetStates) {
    auto* node = load_and_add();
    ASSERT_EQ(pnp::start_device(node), STATUS_SUCCESS);
    ASSERT_EQ(pnp::sleep_device(node), STATUS_SUCCESS);
    ASSERT_EQ(pnp::resume_device(node), STATUS_SUCCESS);
    ASSERT_EQ(pnp::remove_device(node), STATUS_SUCCESS);
    EXPECT_EQ(log_, (std::vector<std::string>{"D0Entry(D3Final)", "D0Exit(D3)", "D0Entry(D3)",
                                              "D0Exit(D3Final)", "DeviceCleanup"}));
    EXPECT_EQ(pnp::function_device(node), nullptr);
}

TEST_F(FrameworkUnderPnp, NonStoppableDeviceStaysAfterAQueryRemove) {
    non_stoppable_ = true;
    auto* node = load_and_add();
    ASSERT_EQ(pnp::start_device(node), STATUS_SUCCESS);
    EXPECT_EQ(pnp::query_remove(node, true), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp::query_stop(node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp::state(node), pnp::device_state::started);
    EXPECT_EQ(log_, std::vector<std::string>{"D0Entry(D3Final)"});
    // Only a surprise removal takes it away.
    EXPECT_EQ(pnp::surprise_remove(node, pnp::removal_after_surprise::at_once), STATUS_SUCCESS);
    EXPECT_EQ(log_.back(), "DeviceCleanup");
}

TEST_F(FrameworkUnderPnp, AnotherDriverGetsTheQueryInterface) {
    auto* node = load_and_add();
    ASSERT_EQ(pnp::start_device(node), STATUS_SUCCESS);
    QI got{};
    ASSERT_EQ(pnp::query_interface(node, kQi, sizeof got, 0, &got.Header), STATUS_SUCCESS);
    EXPECT_EQ(got.Routine, &routine_);
    EXPECT_NE(got.Header.InterfaceReference, nullptr);
    EXPECT_EQ(pnp::query_interface(node, kClass, sizeof got, 0, &got.Header), STATUS_NOT_SUPPORTED);
}

}  // namespace
