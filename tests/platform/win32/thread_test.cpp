// Threads and the end of a process as a program sees them: CreateThread's handle and exit
// code, the thread's requests cancelled before its handle is signalled, ExitProcess and
// TerminateProcess unwinding the other threads, and console control events.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

#include "../io/test_device.h"
#include "core/pause_points.h"
#include "core/scheduler.h"
#include "io/irp.h"
#include "win32/console.h"
#include "win32/process.h"

namespace win32 = platform::win32;
using io_test::test_device;

namespace {

struct thread_args {
    std::atomic<DWORD> seen_id{0};
    DWORD sleep_ms = 0;
    DWORD result = 0;
};

DWORD WINAPI sleeper(LPVOID p) {
    auto* a = static_cast<thread_args*>(p);
    a->seen_id = GetCurrentThreadId();
    Sleep(a->sleep_ms);
    return a->result;
}

// Runs `body` as the main thread of a new process and waits for the process to end.
std::shared_ptr<win32::process> run_program(std::function<void()> body) {
    auto p = win32::process::create(platform::io::token_kind::administrator, "program");
    p->run(std::move(body));
    p->wait();
    return p;
}

// A thread blocked for good in GetQueuedCompletionStatus on a port nobody posts to.
DWORD WINAPI wait_forever(LPVOID port) {
    DWORD bytes;
    ULONG_PTR key;
    LPOVERLAPPED ov;
    GetQueuedCompletionStatus(static_cast<HANDLE>(port), &bytes, &key, &ov, INFINITE);
    ADD_FAILURE() << "the wait of a thread of an ended process returned";
    return 0;
}

std::atomic<int> handler_calls{0};
std::atomic<DWORD> handler_event{~0u};
BOOL WINAPI consuming_handler(DWORD event) {
    ++handler_calls;
    handler_event = event;
    return TRUE;
}
BOOL WINAPI passing_handler(DWORD) {
    ++handler_calls;
    return FALSE;
}

}  // namespace

TEST(CreateThread, HandleIsSignalledAtTheEndAndGivesTheRoutinesResult) {
    run_program([] {
        thread_args args;
        args.sleep_ms = 100;
        args.result = 1234;
        DWORD id = 0;
        HANDLE th = CreateThread(nullptr, 0, sleeper, &args, 0, &id);
        ASSERT_NE(th, nullptr);
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(th, &code));
        EXPECT_EQ(code, DWORD(STILL_ACTIVE));
        EXPECT_EQ(WaitForSingleObject(th, 50), DWORD(WAIT_TIMEOUT));
        EXPECT_EQ(WaitForSingleObject(th, INFINITE), DWORD(WAIT_OBJECT_0));
        EXPECT_EQ(args.seen_id.load(), id);
        EXPECT_NE(id, GetCurrentThreadId());
        EXPECT_TRUE(GetExitCodeThread(th, &code));
        EXPECT_EQ(code, 1234u);
        EXPECT_TRUE(CloseHandle(th));
        EXPECT_EQ(WaitForSingleObject(th, 0), WAIT_FAILED);
    });
}

TEST(CreateThread, RefusesAMissingRoutineAndUnknownFlags) {
    run_program([] {
        EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        thread_args args;
        EXPECT_EQ(CreateThread(nullptr, 0, sleeper, &args, 0x80000000u, nullptr), nullptr);
        DWORD code;
        EXPECT_FALSE(GetExitCodeThread(GetCurrentProcess(), &code));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    });
}

TEST(CreateThread, TheThreadsRequestsAreBackBeforeItsHandleIsSignalled) {
    test_device t;
    t.on(IRP_MJ_READ, [&](PIRP irp) { return t.park(irp); });
    run_program([&] {
        HANDLE h = CreateFileW(L"\\\\.\\IoTest", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        static OVERLAPPED ov;
        static char buf[4];
        ov = {};
        struct ctx {
            HANDLE file;
        } c{h};
        HANDLE th = CreateThread(
            nullptr, 0,
            [](LPVOID p) -> DWORD {
                ReadFile(static_cast<ctx*>(p)->file, buf, sizeof buf, nullptr, &ov);
                return 0;
            },
            &c, 0, nullptr);
        ASSERT_EQ(WaitForSingleObject(th, INFINITE), DWORD(WAIT_OBJECT_0));
        // The read the thread left pending was cancelled and has completed by now.
        EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
        EXPECT_EQ(static_cast<NTSTATUS>(ov.Internal), STATUS_CANCELLED);
        EXPECT_EQ(t.cancel_routine_calls.load(), 1);
        CloseHandle(th);
        CloseHandle(h);
    });
}

// A request of the exiting thread that another thread is completing counts as still out
// until the program has been told its outcome: the thread's handle is not signalled in
// between, so a program that waits on it never finds the OVERLAPPED still pending.
TEST(CreateThread, TheThreadsHandleWaitsForACompletionInProgress) {
    test_device t;
    std::atomic<PIRP> parked{nullptr};
    t.on(IRP_MJ_READ, [&](PIRP irp) {
        parked = irp;  // no cancel routine: the cancel at the thread's exit leaves it be
        return STATUS_PENDING;
    });
    run_program([&] {
        HANDLE h = CreateFileW(L"\\\\.\\IoTest", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        static OVERLAPPED ov;
        static char buf[4];
        ov = {};
        HANDLE th = CreateThread(
            nullptr, 0,
            [](LPVOID file) -> DWORD {
                ReadFile(static_cast<HANDLE>(file), buf, sizeof buf, nullptr, &ov);
                return 0;
            },
            h, 0, nullptr);
        ASSERT_NE(th, nullptr);
        EXPECT_EQ(WaitForSingleObject(th, 100), DWORD(WAIT_TIMEOUT)) << "the read is still out";
        ASSERT_NE(parked.load(), nullptr);

        platform::pause_points::hold completing("io-completion", parked.load());
        auto completer = platform::scheduler::get().start_thread(
            "completer", [&] { platform::io::complete_irp(parked.load(), STATUS_SUCCESS, 2); });
        ASSERT_TRUE(completing.wait_arrived()) << completing.describe();
        const DWORD during = WaitForSingleObject(th, 100);
        EXPECT_EQ(during, DWORD(WAIT_TIMEOUT))
            << "the thread's handle was signalled with its read still "
            << (HasOverlappedIoCompleted(&ov) ? "reported" : "unreported");
        completing.release();
        completer->join();
        ASSERT_EQ(WaitForSingleObject(th, INFINITE), DWORD(WAIT_OBJECT_0));
        EXPECT_EQ(static_cast<NTSTATUS>(ov.Internal), STATUS_SUCCESS);
        EXPECT_EQ(ov.InternalHigh, 2u);
        CloseHandle(th);
        CloseHandle(h);
    });
}

TEST(ExitProcess, EndsEveryThreadAndClosesTheHandlesWithTheExitCode) {
    test_device t;
    t.on(IRP_MJ_READ, [&](PIRP irp) { return t.park(irp); });
    std::atomic<bool> after_exit{false};
    auto p = run_program([&] {
        HANDLE h = CreateFileW(L"\\\\.\\IoTest", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        HANDLE port = CreateIoCompletionPort(h, nullptr, 0, 0);
        static OVERLAPPED ov;
        static char buf[4];
        ov = {};
        ReadFile(h, buf, sizeof buf, nullptr, &ov);
        HANDLE waiter = CreateThread(nullptr, 0, wait_forever, port, 0, nullptr);
        HANDLE exiter = CreateThread(
            nullptr, 0,
            [](LPVOID) -> DWORD {
                Sleep(20);
                ExitProcess(77);
            },
            nullptr, 0, nullptr);
        (void)waiter;
        (void)exiter;
        wait_forever(port);  // the main thread unwinds too
        after_exit = true;
    });
    EXPECT_FALSE(after_exit.load());
    EXPECT_EQ(p->exit_code(), 77u);
    EXPECT_EQ(p->handles().size(), 0u);
    EXPECT_EQ(t.parked_count(), 0u);  // the pending read was cancelled
    EXPECT_EQ(t.cancel_routine_calls.load(), 1);
}

TEST(ExitProcess, TerminatingTheCurrentProcessDoesNotReturn) {
    std::atomic<bool> returned{false};
    auto p = run_program([&] {
        EXPECT_FALSE(TerminateProcess(reinterpret_cast<HANDLE>(0x44), 1));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeProcess(GetCurrentProcess(), &code));
        EXPECT_EQ(code, DWORD(STILL_ACTIVE));
        TerminateProcess(GetCurrentProcess(), 5);
        returned = true;
    });
    EXPECT_FALSE(returned.load());
    EXPECT_EQ(p->exit_code(), 5u);
}

TEST(ExitProcess, AProcessEndedFromOutsideUnwindsItsWaitingThreads) {
    auto p = win32::process::create(platform::io::token_kind::user, "stuck");
    p->run([] {
        HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
        wait_forever(port);
    });
    Sleep(10);
    EXPECT_TRUE(p->terminate(9));
    EXPECT_FALSE(p->terminate(10));  // the first code stands
    p->wait();
    EXPECT_EQ(p->exit_code(), 9u);
}

// A thread of a terminated process runs no more of its program: one waiting on an event that
// is never set ends, and so does one that polls with timed waits and never sleeps.
TEST(ExitProcess, AProcessEndedFromOutsideEndsThreadsInEventWaits) {
    auto p = win32::process::create(platform::io::token_kind::user, "waiting");
    static std::atomic<int> polls{0};
    std::atomic<bool> after_wait{false};
    p->run([&] {
        HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        CreateThread(
            nullptr, 0,
            [](LPVOID event) -> DWORD {
                for (;;) {
                    ++polls;
                    WaitForSingleObject(static_cast<HANDLE>(event), 10);
                }
            },
            never, 0, nullptr);
        WaitForSingleObject(never, INFINITE);
        after_wait = true;
    });
    Sleep(100);
    EXPECT_GT(polls.load(), 0);
    EXPECT_TRUE(p->terminate(3));
    p->wait();
    p->wait_threads();
    const int seen = polls.load();
    Sleep(100);
    EXPECT_EQ(polls.load(), seen) << "the polling thread ended with its process";
    EXPECT_FALSE(after_wait.load());
    EXPECT_EQ(p->exit_code(), 3u);
}

// A create the driver holds while the process is ended from outside completes after the
// termination closed the process's handles: the handle it made is closed when the thread
// leaves (Windows sweeps the handle table at the exit of the last thread), so the device's
// file gets its clean-up and close instead of staying open for the life of the process object.
TEST(ExitProcess, AHandleMadeWhileTheProcessEndsIsClosedWithItsLastThread) {
    test_device t;
    std::atomic<PIRP> held{nullptr};
    t.on(IRP_MJ_CREATE, [&](PIRP irp) {
        held = irp;  // no cancel routine: the termination cannot take it back
        return STATUS_PENDING;
    });
    std::atomic<bool> opened{false};
    auto p = win32::process::create(platform::io::token_kind::administrator, "opening");
    p->run([&] {
        HANDLE h =
            CreateFileW(L"\\\\.\\IoTest", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        opened = h != INVALID_HANDLE_VALUE;
        WaitForSingleObject(CreateEventW(nullptr, TRUE, FALSE, nullptr), INFINITE);
    });
    for (int i = 0; i < 1000 && held.load() == nullptr; ++i) {
        Sleep(1);
    }
    ASSERT_NE(held.load(), nullptr) << "the create did not reach the device";
    EXPECT_TRUE(p->terminate(4));  // gives up waiting for the held create in the end
    EXPECT_EQ(p->handles().size(), 0u);
    platform::io::complete_irp(held.load(), STATUS_SUCCESS, 0);
    p->wait();
    p->wait_threads();
    EXPECT_TRUE(opened.load());
    EXPECT_EQ(p->handles().size(), 0u) << "the handle the late create made is still open";
    EXPECT_EQ(platform::io::open_file_count(t.device), 0u);
    EXPECT_EQ(t.majors_seen(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}

TEST(ConsoleControl, WithoutAHandlerCtrlCEndsTheProcess) {
    auto p = win32::process::create(platform::io::token_kind::user, "endless");
    p->run([] {
        HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
        wait_forever(port);
    });
    Sleep(10);
    win32::deliver_console_event(*p, CTRL_C_EVENT);
    p->wait();
    EXPECT_EQ(p->exit_code(), static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
}

TEST(ConsoleControl, HandlersRunLastFirstAndOneReturningTrueKeepsTheProcess) {
    handler_calls = 0;
    auto p = win32::process::create(platform::io::token_kind::user, "handled");
    HANDLE done = nullptr;
    p->run([&] {
        ASSERT_TRUE(SetConsoleCtrlHandler(consuming_handler, TRUE));
        ASSERT_TRUE(SetConsoleCtrlHandler(passing_handler, TRUE));
        Sleep(50);  // Ctrl-C arrives meanwhile: passing, then consuming
        EXPECT_EQ(handler_calls.load(), 2);
        EXPECT_EQ(handler_event.load(), DWORD(CTRL_C_EVENT));
        // Ignoring Ctrl-C runs no handler at all; Ctrl-Break still reaches them.
        ASSERT_TRUE(SetConsoleCtrlHandler(nullptr, TRUE));
        Sleep(50);
        EXPECT_EQ(handler_calls.load(), 2);
        Sleep(50);
        EXPECT_EQ(handler_calls.load(), 4);
        EXPECT_EQ(handler_event.load(), DWORD(CTRL_BREAK_EVENT));
        ASSERT_TRUE(SetConsoleCtrlHandler(consuming_handler, FALSE));
        EXPECT_FALSE(SetConsoleCtrlHandler(consuming_handler, FALSE));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        Sleep(1000);  // ended by the Ctrl-Break no handler takes
        ADD_FAILURE() << "the process outlived an unhandled Ctrl-Break";
    });
    (void)done;
    Sleep(25);
    win32::deliver_console_event(*p, CTRL_C_EVENT);
    Sleep(50);
    win32::deliver_console_event(*p, CTRL_C_EVENT);
    Sleep(50);
    win32::deliver_console_event(*p, CTRL_BREAK_EVENT);
    Sleep(100);
    win32::deliver_console_event(*p, CTRL_BREAK_EVENT);
    p->wait();
    EXPECT_EQ(p->exit_code(), static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
}
