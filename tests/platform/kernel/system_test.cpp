// The machine-level answers: version, routine look-up, status mapping, debug output and the
// final check.
#include <gtest/gtest.h>
#include <wdm.h>

#include "kernel/kernel.h"
#include "kernel/named_events.h"
#include "kernel/system_config.h"
#include "kernel/strings.h"

namespace k = platform::kernel;

namespace {

TEST(SystemVersion, TheConfiguredVersionIsWhatDriversSee) {
    RTL_OSVERSIONINFOW v{};
    v.dwOSVersionInfoSize = sizeof v;
    ASSERT_EQ(RtlGetVersion(&v), STATUS_SUCCESS);
    EXPECT_EQ(v.dwMajorVersion, 10u);
    EXPECT_EQ(v.dwMinorVersion, 0u);
    EXPECT_EQ(v.dwBuildNumber, 19045u);
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(0x0A000008));   // Windows 10 2004 and later
    EXPECT_FALSE(RtlIsNtDdiVersionAvailable(0x0A00000C));  // Windows 11 22H2

    k::set_os_version(6, 3, 9600);
    RTL_OSVERSIONINFOEXW ex{};
    ex.dwOSVersionInfoSize = sizeof ex;
    ASSERT_EQ(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&ex)), STATUS_SUCCESS);
    EXPECT_EQ(ex.dwMajorVersion, 6u);
    EXPECT_EQ(ex.dwBuildNumber, 9600u);
    ULONG major = 0, minor = 0, build = 0;
    PsGetVersion(&major, &minor, &build, nullptr);
    EXPECT_EQ(major, 6u);
    EXPECT_EQ(minor, 3u);
    EXPECT_EQ(build, 9600u);
    EXPECT_FALSE(RtlIsNtDdiVersionAvailable(0x0A000000));
    k::set_os_version(10, 0, 19045);

    v.dwOSVersionInfoSize = 12;
    EXPECT_EQ(RtlGetVersion(&v), STATUS_INVALID_PARAMETER);
}

PVOID look_up(const char16_t* name) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, name);
    return MmGetSystemRoutineAddress(&s);
}

TEST(SystemRoutines, LookUpReturnsTheRealRoutineUnlessATestHidesIt) {
    EXPECT_EQ(look_up(u"EtwRegisterClassicProvider"),
              reinterpret_cast<PVOID>(&EtwRegisterClassicProvider));
    EXPECT_EQ(look_up(u"RtlGetVersion"), reinterpret_cast<PVOID>(&RtlGetVersion));
    EXPECT_EQ(look_up(u"NoSuchRoutine"), nullptr);
    EXPECT_EQ(look_up(u"rtlgetversion"), nullptr);  // export names are case-sensitive

    k::hide_routine(u"EtwRegisterClassicProvider");
    EXPECT_EQ(look_up(u"EtwRegisterClassicProvider"), nullptr);
    EXPECT_NE(look_up(u"EtwUnregister"), nullptr);
    k::restore_routines();
    EXPECT_NE(look_up(u"EtwRegisterClassicProvider"), nullptr);

    int marker = 0;
    k::register_routine(u"IoTestRoutine", &marker);
    EXPECT_EQ(look_up(u"IoTestRoutine"), &marker);
}

TEST(SystemStatus, StatusesMapToTheWin32ErrorsProgramsSee) {
    struct {
        NTSTATUS status;
        ULONG error;
    } const expected[] = {
        {STATUS_SUCCESS, 0},
        {STATUS_PENDING, 997},
        {STATUS_ACCESS_DENIED, 5},
        {STATUS_INVALID_DEVICE_REQUEST, 1},
        {STATUS_UNSUCCESSFUL, 31},
        {STATUS_IO_TIMEOUT, 121},
        {STATUS_BUFFER_TOO_SMALL, 122},
        {STATUS_NOINTERFACE, 632},
        {STATUS_CANCELLED, 995},
        {STATUS_INSUFFICIENT_RESOURCES, 1450},
        {STATUS_INVALID_PARAMETER, 87},
        {STATUS_OBJECT_NAME_NOT_FOUND, 2},
        {STATUS_OBJECT_PATH_NOT_FOUND, 3},
        {STATUS_NO_SUCH_DEVICE, 2},
        {STATUS_INVALID_DEVICE_STATE, 5023},
        {STATUS_NOT_SUPPORTED, 50},
        {STATUS_DEVICE_NOT_READY, 21},
        {STATUS_OBJECT_NAME_COLLISION, 183},
        {STATUS_INVALID_HANDLE, 6},
        {STATUS_BUFFER_OVERFLOW, 234},
        {STATUS_TIMEOUT, 258},
        {STATUS_NO_MORE_ENTRIES, 259},
    };
    for (const auto& e : expected) {
        EXPECT_EQ(RtlNtStatusToDosError(e.status), e.error) << std::hex << e.status;
    }
    EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(0xC0070057)),
              87u);  // wrapped Win32 error
    EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(0xC0FF1234)), 317u);  // no mapping
}

TEST(SystemDebug, DebugPrintIsFormattedAndKept) {
    k::clear_debug_output();
    DbgPrint("port %u opened\n", 3u);
    DbgPrintEx(77, 0, "status 0x%08X\n", 0xC0000001u);
    auto lines = k::debug_output();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "port 3 opened\n");
    EXPECT_EQ(lines[1], "status 0xC0000001\n");
    EXPECT_DEATH(KeBugCheckEx(0xE2, 1, 2, 3, 4), "0x000000E2");
    volatile int two = 2;
    EXPECT_DEATH(ASSERT(two == 3), "0x000000C4.*two == 3");
}

TEST(SystemFinalCheck, ReportsHandlesAndObjectsStillOpen) {
    k::final_check_options opts;
    opts.check_pool = false;
    EXPECT_TRUE(k::outstanding(opts).empty());
    k::final_check(opts);

    k::owned_unicode_string name(u"\\BaseNamedObjects\\VraxFinalCheck");
    HANDLE h = nullptr;
    ASSERT_NE(IoCreateNotificationEvent(name.get(), &h), nullptr);
    auto left = k::outstanding(opts);
    ASSERT_EQ(left.size(), 2u);  // the handle, and the event it keeps alive
    EXPECT_NE(left[0].find("kernel handle"), std::string::npos);
    EXPECT_NE(left[1].find("event \\BaseNamedObjects\\VraxFinalCheck"), std::string::npos);
    EXPECT_DEATH(k::final_check(opts), "0x000000C4.*VraxFinalCheck");
    ZwClose(h);
    EXPECT_TRUE(k::outstanding(opts).empty());
}

}  // namespace
