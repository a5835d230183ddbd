// Device and service registry keys as a driver reads and writes them through key handles.
#include <gtest/gtest.h>

#include <cstring>

#include "kernel/strings.h"
#include "pnp/pnp_manager.h"
#include "test_driver.h"

namespace pnp = platform::pnp;
using platform::kernel::owned_unicode_string;

namespace {

class DeviceRegistry : public ::testing::Test {
  protected:
    void SetUp() override {
        pnp_test::reset();
        drv = pnp::register_driver(
            {u"regtest", pnp_test::DriverEntry, {{u"Level", pnp::reg_dword(3)}}});
        ASSERT_EQ(pnp::load_driver(drv), STATUS_SUCCESS);
        node = pnp::add_device(drv, {u"ROOT\\REGTEST",
                                     {{u"SupportNewHWID", pnp::reg_sz(u"true")},
                                      {u"Blob", pnp::reg_binary({1, 2, 3})}}});
        ASSERT_EQ(pnp::state(node), pnp::device_state::added);
    }
    void TearDown() override { EXPECT_EQ(pnp::unload_driver(drv), STATUS_SUCCESS); }

    HANDLE open_device_key(ACCESS_MASK access) {
        HANDLE h = nullptr;
        EXPECT_EQ(
            IoOpenDeviceRegistryKey(pnp::physical_device(node), PLUGPLAY_REGKEY_DEVICE, access, &h),
            STATUS_SUCCESS);
        return h;
    }

    pnp::driver* drv = nullptr;
    pnp::device_node* node = nullptr;
};

TEST_F(DeviceRegistry, PartialInformationReportsTypeDataAndSizes) {
    HANDLE h = open_device_key(KEY_READ);
    owned_unicode_string name(u"supportnewhwid");  // names are not case-sensitive
    alignas(8) std::uint8_t buf[64];
    ULONG result = 0;
    ASSERT_EQ(ZwQueryValueKey(h, name, KeyValuePartialInformation, buf, sizeof buf, &result),
              STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buf);
    EXPECT_EQ(info->Type, ULONG(REG_SZ));
    EXPECT_EQ(info->DataLength, 10u);  // "true" and its terminator
    EXPECT_EQ(result, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + 10);
    EXPECT_EQ(std::memcmp(info->Data, u"true", 10), 0);

    // Not even the fixed part fits: nothing written, the size needed reported.
    std::memset(buf, 0xEE, sizeof buf);
    result = 0;
    EXPECT_EQ(ZwQueryValueKey(h, name, KeyValuePartialInformation, buf, 8, &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + 10);
    EXPECT_EQ(buf[0], 0xEE);
    // The fixed part fits but the data does not: header written, overflow reported.
    EXPECT_EQ(ZwQueryValueKey(h, name, KeyValuePartialInformation, buf, 14, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(info->DataLength, 10u);
    EXPECT_EQ(info->Type, ULONG(REG_SZ));
    EXPECT_EQ(buf[12], 0xEE);

    owned_unicode_string missing(u"NoSuchValue");
    EXPECT_EQ(ZwQueryValueKey(h, missing, KeyValuePartialInformation, buf, sizeof buf, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryValueKey(h, name, KeyValuePartialInformation, buf, sizeof buf, &result),
              STATUS_INVALID_HANDLE);
}

TEST_F(DeviceRegistry, FullAndBasicInformationCarryTheStoredName) {
    HANDLE h = open_device_key(KEY_READ);
    owned_unicode_string name(u"blob");
    alignas(8) std::uint8_t buf[128];
    ULONG result = 0;
    ASSERT_EQ(ZwQueryValueKey(h, name, KeyValueFullInformation, buf, sizeof buf, &result),
              STATUS_SUCCESS);
    auto* full = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buf);
    EXPECT_EQ(full->Type, ULONG(REG_BINARY));
    EXPECT_EQ(full->DataLength, 3u);
    EXPECT_EQ(full->NameLength, 8u);
    EXPECT_EQ(std::memcmp(full->Name, u"Blob", 8), 0);
    ASSERT_LE(full->DataOffset + 3, result);
    EXPECT_EQ(buf[full->DataOffset + 2], 3);

    ASSERT_EQ(ZwQueryValueKey(h, name, KeyValueBasicInformation, buf, sizeof buf, &result),
              STATUS_SUCCESS);
    auto* basic = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buf);
    EXPECT_EQ(basic->NameLength, 8u);
    EXPECT_EQ(result, offsetof(KEY_VALUE_BASIC_INFORMATION, Name) + 8);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST_F(DeviceRegistry, WritesNeedSetAccessAndAreSeenByThePlatform) {
    HANDLE ro = open_device_key(KEY_READ);
    owned_unicode_string name(u"Counter");
    ULONG value = 7;
    EXPECT_EQ(ZwSetValueKey(ro, name, 0, REG_DWORD, &value, sizeof value), STATUS_ACCESS_DENIED);
    HANDLE rw = open_device_key(KEY_READ | KEY_WRITE);
    EXPECT_EQ(ZwSetValueKey(rw, name, 0, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
    EXPECT_EQ(pnp::hardware_value(node, u"COUNTER"), pnp::reg_dword(7));
    // And what the platform sets, the driver reads.
    pnp::set_hardware_value(node, u"Counter", pnp::reg_dword(9));
    alignas(8) std::uint8_t buf[32];
    ULONG result = 0;
    ASSERT_EQ(ZwQueryValueKey(ro, name, KeyValuePartialInformation, buf, sizeof buf, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buf)->Data[0], 9);
    EXPECT_EQ(ZwDeleteValueKey(rw, name), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(rw, name), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwClose(ro), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(rw), STATUS_SUCCESS);
}

TEST_F(DeviceRegistry, OnlyAPdoHasDeviceKeys) {
    HANDLE h = nullptr;
    EXPECT_EQ(
        IoOpenDeviceRegistryKey(pnp_test::log().last_fdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &h),
        STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pnp::physical_device(node), 0x40, KEY_READ, &h),
              STATUS_INVALID_PARAMETER);
    // The driver's software key is a separate key of its own.
    ASSERT_EQ(IoOpenDeviceRegistryKey(pnp::physical_device(node), PLUGPLAY_REGKEY_DRIVER,
                                      KEY_ALL_ACCESS, &h),
              STATUS_SUCCESS);
    owned_unicode_string name(u"SupportNewHWID");
    alignas(8) std::uint8_t buf[32];
    ULONG result = 0;
    EXPECT_EQ(ZwQueryValueKey(h, name, KeyValuePartialInformation, buf, sizeof buf, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST_F(DeviceRegistry, ServiceKeyOpensByPathAndRelativeToAHandle) {
    owned_unicode_string path(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\regtest");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, path.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    HANDLE service = nullptr;
    ASSERT_EQ(ZwOpenKey(&service, KEY_READ, &oa), STATUS_SUCCESS);

    owned_unicode_string sub(u"Parameters");
    InitializeObjectAttributes(&oa, sub.get(), OBJ_KERNEL_HANDLE, service, nullptr);
    HANDLE params = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(
        ZwCreateKey(&params, KEY_READ, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition),
        STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    owned_unicode_string level(u"Level");
    alignas(8) std::uint8_t buf[32];
    ULONG result = 0;
    ASSERT_EQ(ZwQueryValueKey(params, level, KeyValuePartialInformation, buf, sizeof buf, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buf)->Data[0], 3);

    owned_unicode_string fresh(u"Fresh");
    InitializeObjectAttributes(&oa, fresh.get(), OBJ_KERNEL_HANDLE, service, nullptr);
    HANDLE h = nullptr;
    EXPECT_EQ(ZwOpenKey(&h, KEY_READ, &oa), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(ZwCreateKey(&h, KEY_READ, &oa, 0, nullptr, 0, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);

    owned_unicode_string orphan(u"\\Registry\\Machine\\Nowhere\\Key");
    InitializeObjectAttributes(&oa, orphan.get(), OBJ_KERNEL_HANDLE, nullptr, nullptr);
    EXPECT_EQ(ZwCreateKey(&h, KEY_READ, &oa, 0, nullptr, 0, nullptr), STATUS_OBJECT_NAME_NOT_FOUND);
    owned_unicode_string outside(u"\\Device\\Key");
    InitializeObjectAttributes(&oa, outside.get(), OBJ_KERNEL_HANDLE, nullptr, nullptr);
    EXPECT_EQ(ZwOpenKey(&h, KEY_READ, &oa), STATUS_OBJECT_PATH_SYNTAX_BAD);

    EXPECT_EQ(ZwClose(params), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(service), STATUS_SUCCESS);
}

TEST_F(DeviceRegistry, DevicePropertiesComeFromTheNode) {
    PDEVICE_OBJECT pdo = pnp::physical_device(node);
    ULONG needed = 0;
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 0, nullptr, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, pnp::reg_multi_sz({u"ROOT\\REGTEST"}).data.size());
    std::vector<std::uint8_t> buf(needed);
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, needed, buf.data(), &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(buf, pnp::reg_multi_sz({u"ROOT\\REGTEST"}).data);
    char16_t name[64] = {};
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyEnumeratorName, sizeof name, name, &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"ROOT");
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyUINumber, sizeof name, name, &needed),
              STATUS_INVALID_PARAMETER_2);
    EXPECT_EQ(IoGetDeviceProperty(pnp_test::log().last_fdo, DevicePropertyHardwareID, sizeof name,
                                  name, &needed),
              STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
