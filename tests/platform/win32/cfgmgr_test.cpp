// The configuration manager's interface lists as a program finds its device with them:
// sizes, paths in their Win32 form that open the device, the filter by device instance,
// present versus all interfaces after a removal, and the failures.
#include <gtest/gtest.h>
#include <windows.h>

#include <cfgmgr32.h>

#include <string>
#include <vector>

#include "../pnp/test_driver.h"
#include "kernel/strings.h"
#include "pnp/pnp_manager.h"

namespace pnp = platform::pnp;

namespace {

GUID echo_class = {0xcdc35b6e, 0x0be4, 0x4936, {0xbf, 0x5f, 0x55, 0x37, 0x38, 0x0a, 0x7c, 0x1a}};
GUID unused_class = {0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};

// The strings of a list, which ends with an empty one.
std::vector<std::u16string> split(const std::u16string& list) {
    std::vector<std::u16string> out;
    std::size_t at = 0;
    while (at < list.size() && list[at] != 0) {
        std::size_t end = list.find(u'\0', at);
        out.push_back(list.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

std::vector<std::u16string> interfaces(const GUID& cls, const char16_t* device, ULONG flags) {
    ULONG len = 0;
    auto* id = const_cast<DEVINSTID_W>(device);
    EXPECT_EQ(CM_Get_Device_Interface_List_SizeW(&len, const_cast<GUID*>(&cls), id, flags),
              DWORD(CR_SUCCESS));
    std::u16string buf(len, u'x');
    EXPECT_EQ(CM_Get_Device_Interface_ListW(const_cast<GUID*>(&cls), id, buf.data(), len, flags),
              DWORD(CR_SUCCESS));
    EXPECT_EQ(buf.back(), 0);
    return split(buf);
}

class InterfaceList : public ::testing::Test {
  protected:
    void SetUp() override {
        pnp_test::reset();
        pnp_test::config().enable_interface_at_start = &echo_class;
        drv = pnp_test::load(u"cfgtest");
        first = pnp::add_device(drv, {u"ROOT\\CFGTEST", {}});
        ASSERT_EQ(pnp::start_device(first), STATUS_SUCCESS);
        second = pnp::add_device(drv, {u"ROOT\\CFGTEST", {}});
        ASSERT_EQ(pnp::start_device(second), STATUS_SUCCESS);
    }

    // "\\?\ROOT#CFGTEST#0000#{...}" for the node's interface.
    static std::u16string win32_path(pnp::device_node* node) {
        std::u16string id = pnp::instance_id(node);
        for (auto& c : id) {
            c = c == u'\\' ? u'#' : c;
        }
        for (const auto& link : pnp::enabled_interfaces(echo_class)) {
            if (platform::kernel::starts_with_insensitive(link, u"\\??\\" + id + u"#")) {
                return u"\\\\?\\" + link.substr(4);
            }
        }
        return {};
    }

    pnp::driver* drv = nullptr;
    pnp::device_node* first = nullptr;
    pnp::device_node* second = nullptr;
};

}  // namespace

TEST_F(InterfaceList, ListsEveryPresentInterfaceInAFormCreateFileOpens) {
    auto list = interfaces(echo_class, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], win32_path(first));
    EXPECT_EQ(list[1], win32_path(second));
    EXPECT_TRUE(list[0].starts_with(u"\\\\?\\ROOT#CFGTEST#"));
    HANDLE h = CreateFileW(list[0].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(h);
}

TEST_F(InterfaceList, ADeviceInstanceNarrowsTheListToItsInterfaces) {
    std::u16string id = pnp::instance_id(second);
    auto list = interfaces(echo_class, id.c_str(), CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0], win32_path(second));
    // An empty id means every device.
    EXPECT_EQ(interfaces(echo_class, u"", CM_GET_DEVICE_INTERFACE_LIST_PRESENT).size(), 2u);
}

TEST_F(InterfaceList, ARemovedDeviceLeavesThePresentListButNotTheRegisteredOne) {
    std::u16string kept = win32_path(second);
    std::u16string gone = win32_path(first);
    ASSERT_EQ(pnp::remove_device(first), STATUS_SUCCESS);
    auto present = interfaces(echo_class, nullptr, CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
    ASSERT_EQ(present.size(), 1u);
    EXPECT_EQ(present[0], kept);
    auto all = interfaces(echo_class, nullptr, CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0], gone);
}

TEST_F(InterfaceList, AnEmptyListIsOneTerminator) {
    ULONG len = 99;
    ASSERT_EQ(CM_Get_Device_Interface_List_SizeW(&len, &unused_class, nullptr,
                                                 CM_GET_DEVICE_INTERFACE_LIST_PRESENT),
              DWORD(CR_SUCCESS));
    EXPECT_EQ(len, 1u);
    WCHAR one = u'x';
    EXPECT_EQ(CM_Get_Device_Interface_ListW(&unused_class, nullptr, &one, 1,
                                            CM_GET_DEVICE_INTERFACE_LIST_PRESENT),
              DWORD(CR_SUCCESS));
    EXPECT_EQ(one, 0);
}

TEST_F(InterfaceList, FailuresAreReportedAsTheConfigurationManagerReportsThem) {
    ULONG len = 0;
    ASSERT_EQ(CM_Get_Device_Interface_List_SizeW(&len, &echo_class, nullptr, 0), DWORD(CR_SUCCESS));
    std::u16string buf(len, u'x');
    EXPECT_EQ(CM_Get_Device_Interface_ListW(&echo_class, nullptr, buf.data(), len - 1, 0),
              DWORD(CR_BUFFER_SMALL));
    EXPECT_EQ(CM_Get_Device_Interface_ListW(&echo_class, nullptr, buf.data(), len, 0x2),
              DWORD(CR_INVALID_FLAG));
    EXPECT_EQ(CM_Get_Device_Interface_ListW(&echo_class, nullptr, nullptr, len, 0),
              DWORD(CR_INVALID_POINTER));
    EXPECT_EQ(CM_Get_Device_Interface_ListW(&echo_class, nullptr, buf.data(), 0, 0),
              DWORD(CR_INVALID_POINTER));
    EXPECT_EQ(CM_Get_Device_Interface_List_SizeW(nullptr, &echo_class, nullptr, 0),
              DWORD(CR_INVALID_POINTER));
    EXPECT_EQ(CM_Get_Device_Interface_List_SizeW(&len, nullptr, nullptr, 0),
              DWORD(CR_INVALID_POINTER));
    WCHAR bad_id[] = u"ROOT#CFGTEST#0000";
    EXPECT_EQ(CM_Get_Device_Interface_List_SizeW(&len, &echo_class, bad_id, 0),
              DWORD(CR_INVALID_DEVICE_ID));
}

TEST_F(InterfaceList, NarrowFormsGiveTheSamePaths) {
    ULONG len = 0;
    char id[] = "ROOT\\CFGTEST\\0001";
    ASSERT_EQ(CM_Get_Device_Interface_List_SizeA(&len, &echo_class, id, 0), DWORD(CR_SUCCESS));
    std::string buf(len, 'x');
    ASSERT_EQ(CM_Get_Device_Interface_ListA(&echo_class, id, buf.data(), len, 0),
              DWORD(CR_SUCCESS));
    std::string first_path(buf.c_str());
    EXPECT_EQ(platform::kernel::to_utf8(win32_path(second)), first_path);
    EXPECT_EQ(buf.size(), first_path.size() + 2);
}
