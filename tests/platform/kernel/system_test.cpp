// The machine-level answers: version, routine look-up, status mapping, debug output and the
// final check.
#include <gtest/gtest.h>
#include <wdm.h>

#include "kernel/kernel.h"
#include "kernel/named_events.h"
#include "kernel/system_config.h"
#include "kernel/strings.h"
#include <wdfstatus.h>

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

// Every status the platform, the framework or the driver can complete a request with, and the
// Win32 error a program then reads from GetLastError, as the published mapping gives it.
TEST(SystemStatus, EveryStatusMapsToThePublishedWin32Error) {
    struct {
        NTSTATUS status;
        ULONG error;
    } const expected[] = {
        {STATUS_SUCCESS, 0},
        {STATUS_TIMEOUT, 1460},  // ERROR_TIMEOUT, not WAIT_TIMEOUT
        {STATUS_PENDING, 997},
        {STATUS_MORE_ENTRIES, 234},
        {STATUS_NOT_ALL_ASSIGNED, 1300},
        {STATUS_OBJECT_NAME_EXISTS, 183},
        {STATUS_BUFFER_OVERFLOW, 234},
        {STATUS_NO_MORE_FILES, 18},
        {STATUS_DEVICE_BUSY, 170},
        {STATUS_NO_MORE_ENTRIES, 259},
        {STATUS_UNSUCCESSFUL, 31},
        {STATUS_NOT_IMPLEMENTED, 1},
        {STATUS_INVALID_INFO_CLASS, 87},
        {STATUS_INFO_LENGTH_MISMATCH, 24},
        {STATUS_ACCESS_VIOLATION, 998},
        {STATUS_INVALID_HANDLE, 6},
        {STATUS_INVALID_PARAMETER, 87},
        {STATUS_NO_SUCH_DEVICE, 2},
        {STATUS_NO_SUCH_FILE, 2},
        {STATUS_INVALID_DEVICE_REQUEST, 1},
        {STATUS_END_OF_FILE, 38},
        {STATUS_MORE_PROCESSING_REQUIRED, 234},
        {STATUS_NO_MEMORY, 8},
        {STATUS_ACCESS_DENIED, 5},
        {STATUS_BUFFER_TOO_SMALL, 122},
        {STATUS_OBJECT_TYPE_MISMATCH, 6},
        {STATUS_INVALID_PARAMETER_MIX, 87},
        {STATUS_OBJECT_NAME_INVALID, 123},
        {STATUS_OBJECT_NAME_NOT_FOUND, 2},
        {STATUS_OBJECT_NAME_COLLISION, 183},
        {STATUS_PORT_DISCONNECTED, 6},
        {STATUS_OBJECT_PATH_INVALID, 161},
        {STATUS_OBJECT_PATH_NOT_FOUND, 3},
        {STATUS_OBJECT_PATH_SYNTAX_BAD, 161},
        {STATUS_DATA_ERROR, 23},
        {STATUS_SHARING_VIOLATION, 32},
        {STATUS_THREAD_IS_TERMINATING, 5},
        {STATUS_DELETE_PENDING, 5},
        {STATUS_INVALID_OWNER, 1307},
        {STATUS_PRIVILEGE_NOT_HELD, 1314},
        {STATUS_INVALID_ACL, 1336},
        {STATUS_INVALID_SID, 1337},
        {STATUS_INVALID_SECURITY_DESCR, 1338},
        {STATUS_PROCEDURE_NOT_FOUND, 127},
        {STATUS_RESOURCE_DATA_NOT_FOUND, 1812},
        {STATUS_INTEGER_OVERFLOW, 534},
        {STATUS_INSUFFICIENT_RESOURCES, 1450},
        {STATUS_DEVICE_DATA_ERROR, 23},
        {STATUS_DEVICE_NOT_READY, 21},
        {STATUS_IO_TIMEOUT, 121},
        {STATUS_NOT_SUPPORTED, 50},
        {STATUS_DEVICE_DOES_NOT_EXIST, 55},
        {STATUS_REQUEST_NOT_ACCEPTED, 71},
        {STATUS_INTERNAL_ERROR, 1359},
        {STATUS_INVALID_USER_BUFFER, 1784},
        {STATUS_INVALID_PARAMETER_1, 87},
        {STATUS_INVALID_PARAMETER_2, 87},
        {STATUS_INVALID_PARAMETER_3, 87},
        {STATUS_INVALID_PARAMETER_4, 87},
        {STATUS_NAME_TOO_LONG, 206},
        {STATUS_IMAGE_ALREADY_LOADED, 1056},
        {STATUS_CANCELLED, 995},
        {STATUS_FILE_CLOSED, 6},
        {STATUS_INVALID_LEVEL, 124},
        {STATUS_DEVICE_CONFIGURATION_ERROR, 87},
        {STATUS_DRIVER_INTERNAL_ERROR, 1117},
        {STATUS_INVALID_DEVICE_STATE, 22},  // ERROR_BAD_COMMAND
        {STATUS_IO_DEVICE_ERROR, 1117},
        {STATUS_INVALID_BUFFER_SIZE, 1784},
        {STATUS_CONNECTION_RESET, 64},
        {STATUS_NOT_FOUND, 1168},
        {STATUS_RETRY, 1237},
        {STATUS_WMI_GUID_NOT_FOUND, 4200},
        {STATUS_DEVICE_REMOVED, 1617},
        {STATUS_NOINTERFACE, 632},
        {STATUS_WMI_NOT_SUPPORTED, 50},
        {STATUS_WMI_ALREADY_DISABLED, 4212},
        {STATUS_WMI_ALREADY_ENABLED, 4206},
        // No published mapping: ERROR_MR_MID_NOT_FOUND.
        {STATUS_WAIT_1, 317},
        {STATUS_WAIT_63, 317},
        {STATUS_ABANDONED, 317},
        {STATUS_USER_APC, 317},
        {STATUS_ALERTED, 317},
        {STATUS_REPARSE, 317},
        {STATUS_UNEXPECTED_IO_ERROR, 317},
        {STATUS_POWER_STATE_INVALID, 317},
        {STATUS_INVALID_DEVICE_OBJECT_PARAMETER, 317},
        // The framework's facility has no Win32 errors: STATUS_WDF_BUSY and STATUS_WDF_PAUSED
        // are mapped to STATUS_DEVICE_BUSY before a request completes, the others never
        // reach a program.
        {STATUS_WDF_QUEUED, 317},
        {STATUS_WDF_BUSY, 317},
        {STATUS_WDF_PAUSED, 317},
        {STATUS_WDF_NO_CALLBACK, 317},
        {STATUS_WDF_INCOMPATIBLE_EXECUTION_LEVEL, 317},
    };
    for (const auto& e : expected) {
        EXPECT_EQ(RtlNtStatusToDosError(e.status), e.error) << std::hex << e.status;
    }
    EXPECT_EQ(STATUS_WMI_ALREADY_ENABLED, static_cast<NTSTATUS>(0xC0000303));
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
