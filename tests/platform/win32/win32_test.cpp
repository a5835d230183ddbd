// The Win32 subset as a client program sees it: opening the device under each account,
// errors as GetLastError reports them, synchronous and overlapped I/O, cancellation, closing,
// process and thread exit, events and waits.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "../io/test_device.h"
#include "core/scheduler.h"
#include "kernel/named_events.h"
#include "win32/process.h"

namespace io = platform::io;
namespace win32 = platform::win32;
using io_test::test_device;

namespace {

constexpr DWORD control_code =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);

HANDLE open_device(DWORD flags = 0) {
    return CreateFileW(L"\\\\.\\IoTest", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       flags, nullptr);
}

// Runs `body` as the main thread of a new process of `kind` and waits for the process to exit.
void run_as(io::token_kind kind, std::function<void()> body) {
    auto p = win32::process::create(kind, "client");
    p->run(std::move(body));
    p->wait();
}

void sleep_virtual_ms(LONGLONG ms) {
    LARGE_INTEGER d;
    d.QuadPart = -ms * 10'000;
    KeDelayExecutionThread(KernelMode, FALSE, &d);
}

}  // namespace

TEST(OpenDevice, DeviceDescriptorRefusesAnOrdinaryUser) {
    test_device t;
    struct outcome {
        bool opened;
        DWORD error;
    };
    auto attempt = [](io::token_kind kind) {
        outcome o{};
        run_as(kind, [&o] {
            HANDLE h = open_device();
            o.opened = h != INVALID_HANDLE_VALUE;
            o.error = GetLastError();
            if (o.opened) {
                CloseHandle(h);
            }
        });
        return o;
    };
    for (auto kind : {io::token_kind::local_system, io::token_kind::administrator,
                      io::token_kind::user_mode_driver}) {
        outcome o = attempt(kind);
        EXPECT_TRUE(o.opened) << io::to_string(kind);
        EXPECT_EQ(o.error, static_cast<DWORD>(ERROR_SUCCESS));
    }
    outcome user = attempt(io::token_kind::user);
    EXPECT_FALSE(user.opened);
    EXPECT_EQ(user.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // The refused open never reached the driver: three creates, three clean-ups, three closes.
    auto seen = t.majors_seen();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), IRP_MJ_CREATE), 3);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), IRP_MJ_CLEANUP), 3);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), IRP_MJ_CLOSE), 3);
}

TEST(OpenDevice, NamesAndFailuresAsAProgramSeesThem) {
    test_device t;
    EXPECT_EQ(
        CreateFileW(u"\\\\.\\NoSuchDevice", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CreateFileW(L"\\\\.\\IoTest", GENERIC_READ, 0, nullptr, 42, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    t.device->Flags |= DO_DEVICE_INITIALIZING;
    EXPECT_EQ(open_device(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    t.device->Flags &= ~DO_DEVICE_INITIALIZING;
    HANDLE h = CreateFileW(u"\\\\?\\IoTest", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(DeviceIoControl, DriverStatusesReachTheProgramAsWin32Errors) {
    test_device t;
    t.on(IRP_MJ_DEVICE_CONTROL, [](PIRP irp) {
        NTSTATUS st;
        std::memcpy(&st, irp->system_buffer.data(), sizeof st);
        irp->system_buffer[0] = 0xAB;
        io::complete_irp(irp, st, NT_ERROR(st) ? 0 : 1);
        return st;
    });
    HANDLE h = open_device();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    struct {
        NTSTATUS status;
        DWORD error;
    } cases[] = {
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_NOINTERFACE, ERROR_NOINTERFACE},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
    };
    for (auto c : cases) {
        NTSTATUS in = c.status;
        DWORD returned = 77;
        SetLastError(0);
        EXPECT_FALSE(
            DeviceIoControl(h, control_code, &in, sizeof in, nullptr, 0, &returned, nullptr));
        EXPECT_EQ(GetLastError(), c.error) << std::hex << c.status;
        EXPECT_EQ(returned, 0u);
    }
    // A warning fails the call too, but the bytes it transferred are reported and copied.
    NTSTATUS in = STATUS_BUFFER_OVERFLOW;
    std::uint8_t out[4] = {};
    DWORD returned = 0;
    EXPECT_FALSE(
        DeviceIoControl(h, control_code, &in, sizeof in, out, sizeof out, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(returned, 1u);
    EXPECT_EQ(out[0], 0xAB);
    in = STATUS_SUCCESS;
    EXPECT_TRUE(
        DeviceIoControl(h, control_code, &in, sizeof in, out, sizeof out, &returned, nullptr));
    EXPECT_EQ(returned, 1u);
    // A buffer the program does not have is refused before anything is sent.
    EXPECT_FALSE(DeviceIoControl(h, control_code, nullptr, 8, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    CloseHandle(h);
}

TEST(Overlapped, PendingReadCompletesThroughTheEventAndGetOverlappedResult) {
    test_device t;
    t.on(IRP_MJ_READ, [&](PIRP irp) { return t.park(irp); });
    HANDLE h = open_device(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    HANDLE ev = CreateEventW(nullptr, TRUE, TRUE, nullptr);  // signalled: the read must reset it
    OVERLAPPED ov{};
    ov.hEvent = ev;
    char buf[8] = {};
    DWORD n = 99;
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
    EXPECT_EQ(WaitForSingleObject(ev, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    ASSERT_TRUE(t.complete_parked(STATUS_SUCCESS, 3, {'a', 'b', 'c', 'd'}));
    EXPECT_EQ(WaitForSingleObject(ev, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(std::string(buf), "abc");
    CloseHandle(ev);
    CloseHandle(h);
}

TEST(Overlapped, GetOverlappedResultWaitsForALaterCompletion) {
    test_device t;
    t.on(IRP_MJ_WRITE, [&](PIRP irp) { return t.park(irp); });
    HANDLE h = open_device(FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov{};
    const char data[] = "hello";
    EXPECT_FALSE(WriteFile(h, data, 5, nullptr, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    auto completer = platform::scheduler::get().start_thread("completer", [&] {
        sleep_virtual_ms(250);
        t.complete_parked(STATUS_SUCCESS, 5);
    });
    auto before = platform::now_ms();
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(n, 5u);
    EXPECT_GE(platform::now_ms() - before, 250);
    completer->join();
    CloseHandle(h);
}

TEST(Cancel, CancelIoExReachesTheCancelRoutineOfTheNamedRequestOrAll) {
    test_device t;
    t.on(IRP_MJ_READ, [&](PIRP irp) { return t.park(irp); });
    HANDLE h = open_device(FILE_FLAG_OVERLAPPED);
    OVERLAPPED a{}, b{};
    char buf[4];
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, nullptr, &a));
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, nullptr, &b));
    ASSERT_EQ(t.parked_count(), 2u);

    EXPECT_TRUE(CancelIoEx(h, &a));
    EXPECT_EQ(t.cancel_routine_calls, 1);
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(h, &a, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(HasOverlappedIoCompleted(&b));

    EXPECT_TRUE(CancelIoEx(h, nullptr));
    EXPECT_EQ(t.cancel_routine_calls, 2);
    EXPECT_FALSE(GetOverlappedResult(h, &b, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    EXPECT_FALSE(CancelIoEx(h, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_TRUE(CancelIo(h));  // nothing of this thread's left; still succeeds
    CloseHandle(h);
}

TEST(Cancel, CancelIoExFromAnotherThreadEndsASynchronousRead) {
    test_device t;
    t.on(IRP_MJ_READ, [&](PIRP irp) { return t.park(irp); });
    HANDLE h = open_device();
    auto canceller = platform::scheduler::get().start_thread("canceller", [&] {
        t.wait_parked(1);
        CancelIoEx(h, nullptr);
    });
    char buf[4];
    DWORD n = 5;
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(n, 0u);
    canceller->join();
    CloseHandle(h);
}

TEST(Synchronous, OneRequestAtATimeOnASynchronousHandle) {
    test_device t;
    t.on(IRP_MJ_READ, [&](PIRP irp) { return t.park(irp); });
    HANDLE h = open_device();
    char a[1], b[1];
    DWORD na = 0, nb = 0;
    auto& s = platform::scheduler::get();
    auto first = s.start_thread("first", [&] { EXPECT_TRUE(ReadFile(h, a, 1, &na, nullptr)); });
    t.wait_parked(1);
    auto second = s.start_thread("second", [&] { EXPECT_TRUE(ReadFile(h, b, 1, &nb, nullptr)); });
    sleep_virtual_ms(50);
    // The second read waits in the I/O manager until the first has completed.
    EXPECT_EQ(t.parked_count(), 1u);
    ASSERT_TRUE(t.complete_parked(STATUS_SUCCESS, 1, {'1'}));
    first->join();
    t.wait_parked(1);
    ASSERT_TRUE(t.complete_parked(STATUS_SUCCESS, 1, {'2'}));
    second->join();
    EXPECT_EQ(a[0], '1');
    EXPECT_EQ(b[0], '2');
    EXPECT_EQ(na + nb, 2u);
    CloseHandle(h);
}

TEST(Synchronous, CloseHandleWaitsBehindTheReadInProgress) {
    test_device t;
    t.on(IRP_MJ_READ, [&](PIRP irp) { return t.park(irp); });
    HANDLE h = open_device();
    char a[1];
    DWORD na = 0;
    std::atomic<bool> closed{false};
    auto& s = platform::scheduler::get();
    auto reader = s.start_thread("reader", [&] { EXPECT_TRUE(ReadFile(h, a, 1, &na, nullptr)); });
    t.wait_parked(1);
    auto closer = s.start_thread("closer", [&] {
        EXPECT_TRUE(CloseHandle(h));
        closed = true;
    });
    sleep_virtual_ms(50);
    // The clean-up waits for the file object's lock: no clean-up, no cancel, no return.
    EXPECT_FALSE(closed);
    EXPECT_EQ(t.majors_seen(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ}));
    EXPECT_EQ(t.cancel_routine_calls, 0);
    ASSERT_TRUE(t.complete_parked(STATUS_SUCCESS, 1, {'r'}));
    reader->join();
    closer->join();
    EXPECT_TRUE(closed);
    EXPECT_EQ(a[0], 'r');
    // The close itself follows on the I/O manager's worker: the device must outlive it.
    auto close_seen = [&] {
        auto majors = t.majors_seen();
        return std::find(majors.begin(), majors.end(), IRP_MJ_CLOSE) != majors.end();
    };
    for (int i = 0; i < 1000 && !close_seen(); ++i)
        sleep_virtual_ms(1);
    EXPECT_TRUE(close_seen());
    auto seen = t.majors_seen();
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen[2], IRP_MJ_CLEANUP);
}

TEST(Close, CloseHandleSendsCleanupAtOnceWithoutCancellingAndCloseAfterTheRequest) {
    test_device t;
    t.on(IRP_MJ_READ, [&](PIRP irp) { return t.park(irp); });
    HANDLE h = open_device(FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov{};
    char buf[2];
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, nullptr, &ov));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(t.majors_seen(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP}));
    EXPECT_EQ(t.cancel_routine_calls, 0);
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
    ASSERT_TRUE(t.complete_parked(STATUS_SUCCESS, 1, {'z'}));
    EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
    EXPECT_EQ(buf[0], 'z');
    for (int i = 0; i < 100 && t.majors_seen().size() < 4; ++i) {
        sleep_virtual_ms(1);
    }
    EXPECT_EQ(t.majors_seen().back(), IRP_MJ_CLOSE);
}

TEST(Exit, ProcessExitCancelsPendingIoAndClosesItsHandles) {
    test_device t;
    t.on(IRP_MJ_READ, [&](PIRP irp) { return t.park(irp); });
    OVERLAPPED ov{};
    char buf[2];
    run_as(io::token_kind::user_mode_driver, [&] {
        HANDLE h = open_device(FILE_FLAG_OVERLAPPED);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(ReadFile(h, buf, sizeof buf, nullptr, &ov));
        CreateEventW(nullptr, FALSE, FALSE, u"LeftOpenByTheProcess");
        // Returns with the read pending and both handles open.
    });
    EXPECT_EQ(t.cancel_routine_calls, 1);
    EXPECT_EQ(static_cast<NTSTATUS>(ov.Internal), STATUS_CANCELLED);
    EXPECT_EQ(t.majors_seen(),
              (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    // The event's only handle went with the process, and so did its name.
    EXPECT_EQ(platform::kernel::open_event(u"\\BaseNamedObjects\\LeftOpenByTheProcess").status,
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(Exit, ThreadExitCancelsTheRequestsThatThreadIssued) {
    test_device t;
    t.on(IRP_MJ_READ, [&](PIRP irp) { return t.park(irp); });
    run_as(io::token_kind::local_system, [&] {
        HANDLE h = open_device(FILE_FLAG_OVERLAPPED);
        OVERLAPPED mine{}, theirs{};
        char a[2], b[2];
        EXPECT_FALSE(ReadFile(h, a, sizeof a, nullptr, &mine));
        auto worker = win32::current_process().start_thread(
            "worker", [&] { EXPECT_FALSE(ReadFile(h, b, sizeof b, nullptr, &theirs)); });
        worker->join();
        // The worker's read was cancelled when it left; the main thread's is still pending.
        EXPECT_EQ(static_cast<NTSTATUS>(theirs.Internal), STATUS_CANCELLED);
        EXPECT_FALSE(HasOverlappedIoCompleted(&mine));
        EXPECT_EQ(t.parked_count(), 1u);
        CancelIo(h);
        DWORD n;
        EXPECT_FALSE(GetOverlappedResult(h, &mine, &n, TRUE));
        CloseHandle(h);
    });
    EXPECT_EQ(t.cancel_routine_calls, 2);
}

TEST(Events, NamedEventsAreSharedAndWaitsFollowTheirKind) {
    HANDLE first = CreateEventW(nullptr, TRUE, FALSE, L"Shared");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE second = CreateEventW(nullptr, FALSE, TRUE, u"Global\\Shared");  // kind and state kept
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    HANDLE opened = OpenEventW(SYNCHRONIZE, FALSE, L"Shared");
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(WaitForSingleObject(opened, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(SetEvent(second));
    // A notification event stays signalled for every waiter.
    EXPECT_EQ(WaitForSingleObject(first, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(opened, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    // The kernel sees the same object under \BaseNamedObjects.
    auto k = platform::kernel::open_event(u"\\BaseNamedObjects\\Shared");
    ASSERT_TRUE(NT_SUCCESS(k.status));
    EXPECT_EQ(KeReadStateEvent(k.event->event()), 1);
    // A handle opened for waiting only cannot set.
    EXPECT_FALSE(SetEvent(opened));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, L"Missing"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    CloseHandle(first);
    CloseHandle(second);
    CloseHandle(opened);
}

TEST(Events, AutoResetReleasesOneWaitMultipleReportsTheLowestAndTimeoutsAreVirtual) {
    HANDLE autoreset = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(autoreset, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(autoreset, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    HANDLE a = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE b = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE c = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE set[] = {a, b, c};
    EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, set, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(a);
    EXPECT_EQ(WaitForMultipleObjects(3, set, TRUE, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    ResetEvent(a);
    ResetEvent(b);
    ResetEvent(c);
    auto before = platform::now_ms();
    EXPECT_EQ(WaitForMultipleObjects(3, set, FALSE, 5000), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(platform::now_ms() - before, 5000);
    Sleep(20);
    EXPECT_EQ(platform::now_ms() - before, 5020);

    HANDLE not_waitable[] = {a, INVALID_HANDLE_VALUE};
    EXPECT_EQ(WaitForMultipleObjects(2, not_waitable, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForMultipleObjects(0, set, FALSE, 0), WAIT_FAILED);
    for (HANDLE h : {autoreset, a, b, c}) {
        CloseHandle(h);
    }
}

TEST(Events, BareNamesResolveInTheProgramsSessionGlobalInBaseNamedObjects) {
    auto kernel_sees = [](const char16_t* path) {
        return NT_SUCCESS(platform::kernel::open_event(path).status);
    };
    HANDLE service_event = CreateEventW(nullptr, TRUE, FALSE, L"ServiceSide");  // session 0
    ASSERT_NE(service_event, nullptr);
    EXPECT_TRUE(kernel_sees(u"\\BaseNamedObjects\\ServiceSide"));
    run_as(io::token_kind::user, [&] {
        HANDLE mine = CreateEventW(nullptr, TRUE, FALSE, L"ProgramSide");
        ASSERT_NE(mine, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_TRUE(kernel_sees(u"\\Sessions\\1\\BaseNamedObjects\\ProgramSide"));
        EXPECT_FALSE(kernel_sees(u"\\BaseNamedObjects\\ProgramSide"));
        HANDLE local = OpenEventW(SYNCHRONIZE, FALSE, L"Local\\ProgramSide");
        EXPECT_NE(local, nullptr);
        // A bare name does not reach session 0's event; Global\ does not reach this one.
        EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, L"ServiceSide"), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, L"Global\\ProgramSide"), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        CloseHandle(local);
        CloseHandle(mine);
    });
    // A user-mode driver host is a service: its bare names are session 0's.
    run_as(io::token_kind::user_mode_driver, [&] {
        HANDLE h = CreateEventW(nullptr, TRUE, FALSE, L"HostSide");
        EXPECT_TRUE(kernel_sees(u"\\BaseNamedObjects\\HostSide"));
        CloseHandle(h);
    });
    CloseHandle(service_event);
}

TEST(Events, AKernelCreatedEventCanBeWaitedOnButNotModifiedByAnOrdinaryUser) {
    platform::kernel::owned_unicode_string name(u"\\BaseNamedObjects\\DriverSide");
    HANDLE kh = nullptr;
    PKEVENT kev = IoCreateNotificationEvent(name.get(), &kh);
    ASSERT_NE(kev, nullptr);
    KeClearEvent(kev);
    run_as(io::token_kind::user, [&] {
        for (DWORD access : {DWORD{EVENT_MODIFY_STATE}, DWORD{EVENT_ALL_ACCESS},
                             DWORD{GENERIC_WRITE}, DWORD{SYNCHRONIZE | EVENT_MODIFY_STATE}}) {
            SetLastError(0);
            EXPECT_EQ(OpenEventW(access, FALSE, L"Global\\DriverSide"), nullptr) << access;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << access;
        }
        // CreateEventW on the existing name opens it for all access: refused too.
        EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, L"Global\\DriverSide"), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        HANDLE wait_only = OpenEventW(SYNCHRONIZE | EVENT_QUERY_STATE | READ_CONTROL, FALSE,
                                      L"Global\\DriverSide");
        ASSERT_NE(wait_only, nullptr);
        EXPECT_EQ(WaitForSingleObject(wait_only, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_FALSE(SetEvent(wait_only));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        CloseHandle(wait_only);
    });
    // Administrators (and services) may modify it.
    run_as(io::token_kind::administrator, [&] {
        HANDLE h = OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, L"Global\\DriverSide");
        ASSERT_NE(h, nullptr);
        EXPECT_TRUE(SetEvent(h));
        CloseHandle(h);
    });
    EXPECT_EQ(KeReadStateEvent(kev), 1);
    ZwClose(kh);
}

TEST(Events, AProgramsEventIsItsAccountsAndLocalSystems) {
    run_as(io::token_kind::local_system, [&] {
        HANDLE h = CreateEventW(nullptr, TRUE, FALSE, L"Global\\ServiceOwned");
        ASSERT_NE(h, nullptr);
        run_as(io::token_kind::user, [] {
            EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, L"Global\\ServiceOwned"), nullptr);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        });
        HANDLE again = OpenEventW(EVENT_ALL_ACCESS, FALSE, L"Global\\ServiceOwned");
        EXPECT_NE(again, nullptr);
        CloseHandle(again);
        CloseHandle(h);
    });
}
