// Driver code that runs on the program's thread inside a Win32 call (here a dispatch routine)
// and returns holding a lock or above PASSIVE_LEVEL: reported when the call returns to the
// program, naming the call.
#include <gtest/gtest.h>
#include <wdf.h>
#include <windows.h>

#include "../io/test_device.h"
#include "io/irp.h"

using io_test::test_device;

namespace {

constexpr DWORD raise_control =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS);

HANDLE open_test_device(DWORD flags = 0) {
    return CreateFileW(L"\\\\.\\IoTest", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       flags, nullptr);
}

WDFSPINLOCK spin_lock() {
    static WDFSPINLOCK lock = [] {
        WDFSPINLOCK l = nullptr;
        EXPECT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &l), STATUS_SUCCESS);
        return l;
    }();
    return lock;
}

TEST(Win32ReturnDeathTest, ALockTakenOnTheProgramsThreadIsReportedWhenReadFileReturns) {
    EXPECT_DEATH(
        {
            test_device t;
            t.on(IRP_MJ_READ, [](PIRP irp) {
                WdfSpinLockAcquire(spin_lock());  // never released
                platform::io::complete_irp(irp, STATUS_SUCCESS, 0);
                return STATUS_SUCCESS;
            });
            HANDLE h = open_test_device(FILE_FLAG_OVERLAPPED);
            OVERLAPPED ov{};
            char buf[1];
            ReadFile(h, buf, 1, nullptr, &ov);
        },
        "0x000000C4.*ReadFile returned to the program with 1 lock\\(s\\) still held");
}

TEST(Win32ReturnDeathTest, ARaisedIrqlIsReportedWhenDeviceIoControlReturns) {
    EXPECT_DEATH(
        {
            test_device t;
            t.on(IRP_MJ_DEVICE_CONTROL, [](PIRP irp) {
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);  // never lowered
                platform::io::complete_irp(irp, STATUS_SUCCESS, 0);
                return STATUS_SUCCESS;
            });
            HANDLE h = open_test_device();
            DWORD n = 0;
            DeviceIoControl(h, raise_control, nullptr, 0, nullptr, 0, &n, nullptr);
        },
        "0x0000000A.*DeviceIoControl returned to the program at IRQL 2");
}

TEST(Win32ReturnDeathTest, ACleanupThatKeepsItsLockIsReportedWhenCloseHandleReturns) {
    EXPECT_DEATH(
        {
            test_device t;
            t.on(IRP_MJ_CLEANUP, [](PIRP irp) {
                WdfSpinLockAcquire(spin_lock());
                platform::io::complete_irp(irp, STATUS_SUCCESS, 0);
                return STATUS_SUCCESS;
            });
            CloseHandle(open_test_device());
        },
        "CloseHandle returned to the program with 1 lock\\(s\\) still held");
}

}  // namespace
