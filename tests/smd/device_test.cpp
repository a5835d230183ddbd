// The SMD device as VRAX meets it: its interface going away and back with the channels left
// as they are, a surprise removal with a handle open, a new device arriving, and a program
// running as LocalSystem using a channel through the Win32 subset.
#include <windows.h>

#include "pnp/pnp_manager.h"
#include "smd_client.h"
#include "win32/process.h"

namespace smd_test {
namespace {

using SmdDevice = smd_fixture;
using bytes = std::vector<std::uint8_t>;
namespace pnp = platform::pnp;

TEST_F(SmdDevice, TheInterfaceIsDisabledAndEnabledWithTheChannelLeftAsItIs) {
    ASSERT_EQ(smd::interface_links().size(), 1u);
    const std::u16string link = smd::interface_links().front();
    channel ch;
    ASSERT_EQ(ch.open(0), STATUS_SUCCESS);
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);

    ASSERT_EQ(far_end::set_interface_enabled(false), STATUS_SUCCESS);
    EXPECT_TRUE(smd::interface_links().empty());
    EXPECT_NE(channel(link).open_status(), STATUS_SUCCESS);  // no new handles by the link
    ASSERT_EQ(far_end::queue_read(0, {1}), STATUS_SUCCESS);  // the open one still works
    auto r = ch.start_read();
    ASSERT_TRUE(r->wait());
    EXPECT_EQ(r->bytes(), (bytes{1}));
    EXPECT_EQ(ch.write({2})->status, STATUS_SUCCESS);

    ASSERT_EQ(far_end::set_interface_enabled(true), STATUS_SUCCESS);
    EXPECT_EQ(smd::interface_links(), std::vector<std::u16string>{link});
    EXPECT_EQ(channel(link).open_status(), STATUS_SUCCESS);
}

TEST_F(SmdDevice, SurpriseRemovalWithAnOpenHandleThenANewDeviceArrives) {
    pnp::device_node* first = smd::current_device();
    channel old;
    ASSERT_EQ(old.open(0), STATUS_SUCCESS);
    auto waiting = old.start_read();
    EXPECT_FALSE(waiting->wait(10));

    ASSERT_EQ(far_end::surprise_remove(), STATUS_SUCCESS);
    EXPECT_EQ(pnp::state(first), pnp::device_state::surprise_removed);
    ASSERT_TRUE(waiting->wait());
    EXPECT_EQ(waiting->status, STATUS_CANCELLED);  // the removal purged the queues
    EXPECT_FALSE(NT_SUCCESS(old.read_pending()->status));
    EXPECT_EQ(far_end::queue_read(0, {1}), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(smd::interface_links().empty());

    // A new device: a new interface, and VRAX's port 0 can be opened on it while the old
    // handle is still open.
    ASSERT_EQ(far_end::add_device(), STATUS_SUCCESS);
    ASSERT_EQ(smd::interface_links().size(), 1u);
    channel fresh;
    ASSERT_EQ(fresh.open(0), STATUS_SUCCESS);
    ASSERT_EQ(far_end::queue_read(0, {2}), STATUS_SUCCESS);
    auto r = fresh.start_read();
    ASSERT_TRUE(r->wait());
    EXPECT_EQ(r->bytes(), (bytes{2}));

    // The old device goes once its last handle is closed.
    old.close_handle();
    auto& s = platform::scheduler::get();
    for (int i = 0; i < 100 && pnp::state(first) != pnp::device_state::removed; ++i) {
        const platform::ticks later = s.now() + 10 * platform::ticks_per_ms;
        std::unique_lock lk(s.lock());
        s.block(
            lk, [] { return false; }, later, "test: the PnP manager's handle poll");
    }
    EXPECT_EQ(pnp::state(first), pnp::device_state::removed);
}

TEST_F(SmdDevice, ALocalSystemProgramUsesAChannelThroughWin32) {
    std::u16string link = smd::interface_links().front();
    ASSERT_TRUE(link.starts_with(u"\\??\\"));
    std::u16string path = u"\\\\?\\" + link.substr(4);
    ASSERT_EQ(far_end::open_channel(9), STATUS_SUCCESS);

    auto program =
        platform::win32::process::create(platform::io::token_kind::local_system, "direct");
    DWORD pending = 0, read = 0, written = 0;
    BOOL opened = FALSE, got_pending = FALSE, got_read = FALSE, wrote = FALSE;
    bytes buffer(64, 0);
    program->run([&] {
        HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()),
                               GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return;
        SMD_OPEN_REQUEST r = open_request(9);
        DWORD ignored = 0;
        opened = DeviceIoControl(h, IOCTL_SMD_OPEN, &r, sizeof r, nullptr, 0, &ignored, nullptr);
        EXPECT_EQ(far_end::queue_read(9, {1, 2, 3}), STATUS_SUCCESS);
        got_pending =
            DeviceIoControl(h, IOCTL_SMD_READ_PENDING, nullptr, 0, nullptr, 0, &pending, nullptr);
        got_read = ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr);
        const std::uint8_t frame[] = {0x01, 0x02};
        wrote = WriteFile(h, frame, sizeof frame, &written, nullptr);
        CloseHandle(h);
    });
    program->wait();
    EXPECT_TRUE(opened);
    EXPECT_TRUE(got_pending);
    EXPECT_EQ(pending, 3u);
    EXPECT_TRUE(got_read);
    EXPECT_EQ(read, 3u);
    EXPECT_EQ(bytes(buffer.begin(), buffer.begin() + 3), (bytes{1, 2, 3}));
    EXPECT_TRUE(wrote);
    EXPECT_EQ(written, 2u);
    EXPECT_EQ(far_end::next_frame(9, far_end::deadline_in_ms(0)), (bytes{0x01, 0x02}));
}

}  // namespace
}  // namespace smd_test
