// Buffered device controls as a program and a driver see them: one system buffer of the
// larger length holds the input, the bytes past the input are not initialised by the I/O
// manager, exactly Information bytes come back, and empty buffers reach the driver as none.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <vector>

#include "../io/test_device.h"

using io_test::test_device;

namespace {

constexpr DWORD buffered_code =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x920, METHOD_BUFFERED, FILE_ANY_ACCESS);

HANDLE open_test_device() {
    return CreateFileW(L"\\\\.\\IoTest", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

// What the driver saw of the last control.
struct seen_t {
    ULONG in = 0, out = 0;
    std::vector<std::uint8_t> buffer;
};

TEST(BufferedControl, OneSystemBufferAndOnlyInformationBytesComeBack) {
    test_device t;
    seen_t seen;
    t.on(IRP_MJ_DEVICE_CONTROL, [&](PIRP irp) {
        seen.in = irp->input_length;
        seen.out = irp->output_length;
        seen.buffer = irp->system_buffer;
        std::memcpy(irp->system_buffer.data(), "ABCDEF", 6);  // overwrites the input
        platform::io::complete_irp(irp, STATUS_SUCCESS, 6);
        return STATUS_SUCCESS;
    });
    HANDLE h = open_test_device();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const std::uint8_t in[4] = {1, 2, 3, 4};
    std::uint8_t out[16];
    std::memset(out, 0x55, sizeof out);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(h, buffered_code, const_cast<std::uint8_t*>(in), sizeof in, out,
                                sizeof out, &returned, nullptr));
    EXPECT_EQ(seen.in, 4u);
    EXPECT_EQ(seen.out, 16u);
    ASSERT_EQ(seen.buffer.size(), 16u);  // max(input, output)
    EXPECT_EQ(std::memcmp(seen.buffer.data(), in, 4), 0);
    // Past the input the buffer is whatever the pool held: not zeroed for the driver.
    std::vector<std::uint8_t> tail(seen.buffer.begin() + 4, seen.buffer.end());
    EXPECT_NE(tail, std::vector<std::uint8_t>(12, 0));
    EXPECT_EQ(returned, 6u);
    EXPECT_EQ(std::memcmp(out, "ABCDEF", 6), 0);
    for (std::size_t i = 6; i < sizeof out; ++i)
        EXPECT_EQ(out[i], 0x55) << "byte " << i << " past Information was written";

    // One program buffer for both directions works the same way.
    std::uint8_t both[8] = {9, 9, 9, 9, 0x55, 0x55, 0x55, 0x55};
    ASSERT_TRUE(DeviceIoControl(h, buffered_code, both, 4, both, sizeof both, &returned, nullptr));
    EXPECT_EQ(std::memcmp(seen.buffer.data(), "\x09\x09\x09\x09", 4), 0);
    EXPECT_EQ(std::memcmp(both, "ABCDEF\x55\x55", 8), 0);
    CloseHandle(h);
}

TEST(BufferedControl, EmptyBuffersReachTheDriverAsNone) {
    test_device t;
    seen_t seen;
    ULONG_PTR report = 0;
    t.on(IRP_MJ_DEVICE_CONTROL, [&](PIRP irp) {
        seen.in = irp->input_length;
        seen.out = irp->output_length;
        seen.buffer = irp->system_buffer;
        platform::io::complete_irp(irp, STATUS_SUCCESS, report);
        return STATUS_SUCCESS;
    });
    HANDLE h = open_test_device();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD returned = 77;
    ASSERT_TRUE(DeviceIoControl(h, buffered_code, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(seen.in, 0u);
    EXPECT_EQ(seen.out, 0u);
    EXPECT_TRUE(seen.buffer.empty());
    EXPECT_EQ(returned, 0u);

    // Without an output buffer a driver may use Information for a count of its own: it is
    // reported to the program and nothing is copied.
    report = 3;
    std::uint8_t in[2] = {7, 7};
    ASSERT_TRUE(DeviceIoControl(h, buffered_code, in, sizeof in, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(seen.in, 2u);

    // A length without a buffer is refused before the driver sees anything.
    std::size_t sent = t.majors_seen().size();
    std::uint8_t out[4];
    EXPECT_FALSE(
        DeviceIoControl(h, buffered_code, nullptr, 0, nullptr, sizeof out, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_EQ(t.majors_seen().size(), sent);
    CloseHandle(h);
}

TEST(BufferedControlDeathTest, InformationBeyondTheOutputBufferIsCaughtEvenWithAWarning) {
    // IopCompleteRequest copies Information bytes for a warning too, so STATUS_BUFFER_OVERFLOW
    // with a count larger than the program's buffer would overrun it.
    EXPECT_DEATH(
        {
            test_device t;
            t.on(IRP_MJ_DEVICE_CONTROL, [](PIRP irp) {
                platform::io::complete_irp(irp, STATUS_BUFFER_OVERFLOW, 32);
                return STATUS_BUFFER_OVERFLOW;
            });
            HANDLE h = open_test_device();
            std::uint8_t out[8];
            DWORD returned = 0;
            DeviceIoControl(h, buffered_code, nullptr, 0, out, sizeof out, &returned, nullptr);
        },
        "0x000000C4.*device control 0x00222480 completed with status 0x80000005 and "
        "Information 32, more than the program's 8-byte output buffer");
}

}  // namespace
