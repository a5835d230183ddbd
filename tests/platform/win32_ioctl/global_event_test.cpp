// A named event the driver creates in \BaseNamedObjects reaches a program of any session as
// Global\X: the program's wait ends when the driver sets it.
#include <gtest/gtest.h>
#include <windows.h>

#include "core/scheduler.h"
#include "kernel/strings.h"
#include "win32/process.h"

namespace io = platform::io;
namespace win32 = platform::win32;
using platform::scheduler;
using platform::ticks_per_ms;

namespace {

TEST(GlobalEvents, AProgramWaitingOnGlobalNameWakesWhenTheDriverSetsTheEvent) {
    platform::kernel::owned_unicode_string name(u"\\BaseNamedObjects\\DriverSignal");
    HANDLE kh = nullptr;
    PKEVENT kev = IoCreateNotificationEvent(name.get(), &kh);
    ASSERT_NE(kev, nullptr);
    KeClearEvent(kev);  // created signalled

    auto& s = scheduler::get();
    auto setter = s.start_thread("driver", [kev] {
        LARGE_INTEGER d;
        d.QuadPart = -100 * 10'000;  // 100 ms
        KeDelayExecutionThread(KernelMode, FALSE, &d);
        KeSetEvent(kev, IO_NO_INCREMENT, FALSE);
    });
    platform::ticks waited = 0;
    DWORD result = 0;
    auto p = win32::process::create(io::token_kind::user, "client");  // session 1
    p->run([&] {
        // The bare name is the session's own namespace: not the driver's event.
        EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, L"DriverSignal"), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        HANDLE h = OpenEventW(SYNCHRONIZE, FALSE, L"Global\\DriverSignal");
        ASSERT_NE(h, nullptr);
        platform::ticks start = scheduler::get().now();
        result = WaitForSingleObject(h, 5000);
        waited = scheduler::get().now() - start;
        CloseHandle(h);
    });
    p->wait();
    setter->join();
    EXPECT_EQ(result, static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(waited, 100 * ticks_per_ms);
    ZwClose(kh);
}

}  // namespace
