// I/O completion ports as a program uses them: packets of overlapped requests on an
// associated file (including those that completed at once, excluding those that failed at
// once or asked for no packet), posted packets, time-outs, the order waiting threads are
// served in, and a port closed under a waiter.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

#include "../io/test_device.h"
#include "core/scheduler.h"
#include "win32/process.h"

namespace win32 = platform::win32;
using io_test::test_device;

namespace {

HANDLE open_overlapped() {
    return CreateFileW(L"\\\\.\\IoTest", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

struct packet {
    BOOL ok = FALSE;
    DWORD error = 0;
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED ov = nullptr;
};

packet next_packet(HANDLE port, DWORD ms) {
    packet p;
    p.ok = GetQueuedCompletionStatus(port, &p.bytes, &p.key, &p.ov, ms);
    p.error = p.ok ? 0 : GetLastError();
    return p;
}

}  // namespace

TEST(CompletionPort, PendedRequestsPostTheirPacketsInCompletionOrder) {
    test_device t;
    t.on(IRP_MJ_READ, [&](PIRP irp) { return t.park(irp); });
    HANDLE h = open_overlapped();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    HANDLE port = CreateIoCompletionPort(h, nullptr, 42, 0);
    ASSERT_NE(port, nullptr);
    OVERLAPPED a{}, b{};
    char buf_a[8], buf_b[8];
    ASSERT_FALSE(ReadFile(h, buf_a, sizeof buf_a, nullptr, &a));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    ASSERT_FALSE(ReadFile(h, buf_b, sizeof buf_b, nullptr, &b));
    EXPECT_EQ(next_packet(port, 0).error, DWORD(WAIT_TIMEOUT));  // nothing completed yet

    ASSERT_TRUE(t.complete_parked(STATUS_SUCCESS, 3, {'x', 'y', 'z'}));
    ASSERT_TRUE(t.complete_parked(STATUS_SUCCESS, 1, {'q'}));
    packet first = next_packet(port, INFINITE);
    packet second = next_packet(port, INFINITE);
    EXPECT_TRUE(first.ok);
    EXPECT_EQ(first.ov, &a);
    EXPECT_EQ(first.bytes, 3u);
    EXPECT_EQ(first.key, 42u);
    EXPECT_EQ(std::string(buf_a, 3), "xyz");
    EXPECT_TRUE(second.ok);
    EXPECT_EQ(second.ov, &b);
    EXPECT_EQ(second.bytes, 1u);
    CloseHandle(h);
    CloseHandle(port);
}

TEST(CompletionPort, AnImmediateSuccessPostsAPacketButAnImmediateFailureDoesNot) {
    test_device t;
    t.on(IRP_MJ_WRITE, [](PIRP irp) {
        platform::io::complete_irp(irp, STATUS_SUCCESS, 4);
        return STATUS_SUCCESS;
    });
    t.on(IRP_MJ_READ, [](PIRP irp) {
        platform::io::complete_irp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return STATUS_INVALID_DEVICE_REQUEST;
    });
    HANDLE h = open_overlapped();
    HANDLE port = CreateIoCompletionPort(h, nullptr, 7, 0);
    ASSERT_NE(port, nullptr);
    OVERLAPPED w{}, r{};
    char buf[4] = {};
    // The write completed inside WriteFile: TRUE, and its packet still arrives.
    EXPECT_TRUE(WriteFile(h, buf, sizeof buf, nullptr, &w));
    packet p = next_packet(port, 0);
    EXPECT_TRUE(p.ok);
    EXPECT_EQ(p.ov, &w);
    EXPECT_EQ(p.bytes, 4u);
    // The read failed inside ReadFile: the program learns it there, and nothing is queued.
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, nullptr, &r));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(next_packet(port, 0).error, DWORD(WAIT_TIMEOUT));
    CloseHandle(h);
    CloseHandle(port);
}

TEST(CompletionPort, APendedRequestThatFailsPostsAFailedPacket) {
    test_device t;
    t.on(IRP_MJ_READ, [&](PIRP irp) { return t.park(irp); });
    HANDLE h = open_overlapped();
    HANDLE port = CreateIoCompletionPort(h, nullptr, 1, 0);
    OVERLAPPED ov{};
    char buf[4];
    ASSERT_FALSE(ReadFile(h, buf, sizeof buf, nullptr, &ov));
    ASSERT_TRUE(CancelIoEx(h, &ov));
    packet p = next_packet(port, INFINITE);
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.error, DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(p.ov, &ov);  // FALSE with the OVERLAPPED set: the request failed
    CloseHandle(h);
    CloseHandle(port);
}

TEST(CompletionPort, LowBitOfTheEventKeepsTheRequestOffThePort) {
    test_device t;
    t.on(IRP_MJ_READ, [&](PIRP irp) { return t.park(irp); });
    HANDLE h = open_overlapped();
    HANDLE port = CreateIoCompletionPort(h, nullptr, 1, 0);
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<std::uintptr_t>(ev) | 1);
    char buf[4];
    ASSERT_FALSE(ReadFile(h, buf, sizeof buf, nullptr, &ov));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    ASSERT_TRUE(t.complete_parked(STATUS_SUCCESS, 2));
    EXPECT_EQ(WaitForSingleObject(ev, 0), DWORD(WAIT_OBJECT_0));  // the event, without the bit
    EXPECT_EQ(next_packet(port, 0).error, DWORD(WAIT_TIMEOUT));
    CloseHandle(ev);
    CloseHandle(h);
    CloseHandle(port);
}

TEST(CompletionPort, TimeOutWaitsInVirtualTimeAndReturnsNoOverlapped) {
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    ASSERT_NE(port, nullptr);
    const auto before = platform::now_ms();
    packet p;
    p.ov = reinterpret_cast<LPOVERLAPPED>(0x1234);
    p.ok = GetQueuedCompletionStatus(port, &p.bytes, &p.key, &p.ov, 250);
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(GetLastError(), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(p.ov, nullptr);
    EXPECT_EQ(platform::now_ms() - before, 250);
    CloseHandle(port);
}

TEST(CompletionPort, PostedPacketsGoToTheThreadThatWaitedLast) {
    auto p = win32::process::create(platform::io::token_kind::user, "pool");
    std::atomic<int> first_key{0}, second_key{0};
    p->run([&] {
        HANDLE q = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
        auto waiter = [q](std::atomic<int>& out) {
            DWORD bytes;
            ULONG_PTR key;
            LPOVERLAPPED ov;
            if (GetQueuedCompletionStatus(q, &bytes, &key, &ov, INFINITE)) {
                out = static_cast<int>(key);
            }
        };
        auto a = win32::current_process().start_thread("a", [&] { waiter(first_key); });
        Sleep(10);  // a waits first
        auto b = win32::current_process().start_thread("b", [&] { waiter(second_key); });
        Sleep(10);
        PostQueuedCompletionStatus(q, 0, 1, nullptr);
        Sleep(10);
        EXPECT_EQ(second_key.load(), 1);  // last in, first out
        EXPECT_EQ(first_key.load(), 0);
        PostQueuedCompletionStatus(q, 0, 2, nullptr);
        a->join();
        b->join();
        EXPECT_EQ(first_key.load(), 2);
        CloseHandle(q);
    });
    p->wait();
}

TEST(CompletionPort, ClosingThePortReleasesAWaiterWithAbandonedWait) {
    auto p = win32::process::create(platform::io::token_kind::user, "closer");
    DWORD error = 0;
    LPOVERLAPPED seen = reinterpret_cast<LPOVERLAPPED>(1);
    p->run([&] {
        HANDLE q = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
        auto w = win32::current_process().start_thread("waiter", [&] {
            DWORD bytes;
            ULONG_PTR key;
            if (!GetQueuedCompletionStatus(q, &bytes, &key, &seen, INFINITE)) {
                error = GetLastError();
            }
        });
        Sleep(5);
        CloseHandle(q);
        w->join();
    });
    p->wait();
    EXPECT_EQ(error, DWORD(ERROR_ABANDONED_WAIT_0));
    EXPECT_EQ(seen, nullptr);
}

TEST(CompletionPort, OnlyAnOverlappedFileNotYetAssociatedCanBeAssociated) {
    test_device t;
    HANDLE sync = CreateFileW(L"\\\\.\\IoTest", GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(sync, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateIoCompletionPort(sync, nullptr, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    HANDLE h = CreateFileW(L"\\\\.\\IoTest", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    HANDLE port = CreateIoCompletionPort(h, nullptr, 1, 0);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(CreateIoCompletionPort(h, port, 2, 0), nullptr);  // a file has one port
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateIoCompletionPort(INVALID_HANDLE_VALUE, port, 0, 0), nullptr);
    EXPECT_EQ(CreateIoCompletionPort(h, sync, 2, 0), nullptr);  // not a port
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    CloseHandle(sync);
    CloseHandle(h);
    CloseHandle(port);
}

TEST(CompletionPort, AFileKeepsItsPortAliveAfterThePortHandleIsClosed) {
    test_device t;
    t.on(IRP_MJ_READ, [&](PIRP irp) { return t.park(irp); });
    HANDLE h = open_overlapped();
    HANDLE port = CreateIoCompletionPort(h, nullptr, 1, 0);
    OVERLAPPED ov{};
    char buf[2];
    ASSERT_FALSE(ReadFile(h, buf, sizeof buf, nullptr, &ov));
    ASSERT_TRUE(CloseHandle(port));
    // The completion still finds the port (its packet is dropped: no one can read it).
    ASSERT_TRUE(t.complete_parked(STATUS_SUCCESS, 2));
    EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
    EXPECT_TRUE(CloseHandle(h));
}
