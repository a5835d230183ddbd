// A driver that writes into a request's buffer after completing it: the I/O manager has
// filled and quarantined the freed system buffer, and the write is reported, naming the
// request and its kind, when the buffer leaves the quarantine or at the final check.
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "../io/test_device.h"
#include "io/irp.h"
#include "kernel/kernel.h"

using io_test::test_device;

namespace {

constexpr DWORD late_control =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);

HANDLE open_test_device() {
    return CreateFileW(L"\\\\.\\IoTest", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

// The fragment: completes the read with one byte, then "finishes" filling the buffer it
// still holds a pointer to.
NTSTATUS complete_then_write(PIRP irp) {
    std::uint8_t* buffer = irp->system_buffer.data();
    buffer[0] = 'a';
    platform::io::complete_irp(irp, STATUS_SUCCESS, 1);
    buffer[1] = 'b';  // the request is no longer the driver's
    return STATUS_SUCCESS;
}

// The last byte of a buffer several pages long, past whole blocks of fill.
NTSTATUS complete_then_write_last(PIRP irp) {
    std::vector<std::uint8_t>& buffer = irp->system_buffer;
    std::uint8_t* last = buffer.data() + buffer.size() - 1;
    platform::io::complete_irp(irp, STATUS_SUCCESS, 0);
    *last = 'z';
    return STATUS_SUCCESS;
}

// One read of `size` bytes served by `h`, the handle closed, then the final check.
void read_then_final_check(test_device::handler h, std::size_t size) {
    test_device t;
    t.on(IRP_MJ_READ, std::move(h));
    HANDLE file = open_test_device();
    std::vector<char> buf(size);
    DWORD n = 0;
    ReadFile(file, buf.data(), static_cast<DWORD>(buf.size()), &n, nullptr);
    CloseHandle(file);
    platform::kernel::final_check();
}

TEST(Win32BufferDeathTest, WriteAfterCompletionIsReportedAtTheFinalCheck) {
    EXPECT_DEATH(read_then_final_check(complete_then_write, 4),
                 "0x000000C4.*system buffer of a completed request \\(IRP 0x[0-9a-f]+, read\\) at "
                 "offset 1");
    EXPECT_DEATH(read_then_final_check(complete_then_write_last, 3 * 4096 + 10),
                 "0x000000C4.*system buffer of a completed request \\(IRP 0x[0-9a-f]+, read\\) at "
                 "offset 12297 after completing it");
}

TEST(Win32BufferDeathTest, WriteAfterCompletionIsReportedWhenTheBufferIsRecycled) {
    EXPECT_DEATH(
        {
            test_device t;
            t.on(IRP_MJ_DEVICE_CONTROL, complete_then_write);
            HANDLE h = open_test_device();
            std::vector<char> small(8);
            std::vector<char> large(8u << 20);
            DWORD n = 0;
            DeviceIoControl(h, late_control, nullptr, 0, small.data(), 8, &n, nullptr);
            // Enough freed buffer to push the first one out of the quarantine.
            t.on(IRP_MJ_DEVICE_CONTROL, [](PIRP irp) {
                platform::io::complete_irp(irp, STATUS_SUCCESS, 0);
                return STATUS_SUCCESS;
            });
            DeviceIoControl(h, late_control, nullptr, 0, large.data(),
                            static_cast<DWORD>(large.size()), &n, nullptr);
        },
        "0x000000C4.*request \\(IRP 0x[0-9a-f]+, device control 0x00222404\\) at offset 1 after "
        "completing it");
}

TEST(Win32Buffer, ACleanDriverPassesTheFinalCheck) {
    test_device t;
    t.on(IRP_MJ_READ, [](PIRP irp) {
        irp->system_buffer[0] = 'x';
        platform::io::complete_irp(irp, STATUS_SUCCESS, 1);
        return STATUS_SUCCESS;
    });
    HANDLE h = open_test_device();
    char buf[2] = {};
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(buf[0], 'x');
    CloseHandle(h);
    platform::kernel::final_check_options opts;
    opts.check_objects = false;
    opts.check_pool = false;
    platform::kernel::final_check(opts);
}

}  // namespace
