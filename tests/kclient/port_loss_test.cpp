// A kernel client's client id across a port loss, with the modem emulator at the far end and
// a program on \\.\VRAX beside the client. The modem frees every id of the port when the
// channel opens again, so the driver forgets the ids it recorded there, the kernel client's
// as well as the sessions': an id granted anew reaches its new owner, not the old one.
#include <gtest/gtest.h>
#include <windows.h>

#include <vrax/vrax_ioctl.h>
#include <vrax/vrax_names.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/scheduler.h"
#include "kclient/kclient.h"
#include "kernel/pool.h"
#include "machine/machine.h"
#include "modem/modem.h"
#include "smd/far_end.h"
#include "smd/install.h"

#include "vrax_device.h"
#include "vrax_pool.h"

namespace {

namespace far_end = smd::far_end;
using modem::bytes;
using platform::scheduler;

void settle_ms(std::int64_t ms) {
    auto& s = scheduler::get();
    const platform::ticks later = s.now() + ms * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    s.block(
        lk, [] { return false; }, later, "test: settling");
}

bool wait_until(const std::function<bool()>& done, std::int64_t ms = 10000) {
    for (std::int64_t t = 0; t < ms && !done(); t += 2) {
        settle_ms(2);
    }
    return done();
}

bytes u32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

std::size_t client_records() {
    return platform::kernel::pool::outstanding(VRAX_TAG_CLIENT_RECORD).count;
}

class KernelClientPortLoss : public ::testing::Test {
  protected:
    void SetUp() override {
        far_end::reset();
        machine_ = std::make_unique<sim::machine>();
        modem_ = std::make_unique<modem::emulator>();
        modem_->start(0);
        ASSERT_EQ(smd::install(), STATUS_SUCCESS);
        ASSERT_EQ(machine_->boot(), STATUS_SUCCESS);
        wait_ready();
        kclient::clear_received();
        kc_ = &machine_->host().install(kclient::package());
        ASSERT_EQ(kc_->boot(), STATUS_SUCCESS);
        ASSERT_EQ(kclient::connect(machine_->control_device_object()), STATUS_SUCCESS);
        ASSERT_EQ(kclient::register_client(), 0);
    }
    void TearDown() override {
        if (h_ != INVALID_HANDLE_VALUE) {
            CloseHandle(h_);
        }
        if (kc_ != nullptr && kc_->loaded()) {
            kc_->take_down();
        }
        if (!NT_SUCCESS(machine_->remove_device())) {
            EXPECT_EQ(machine_->surprise_remove(), STATUS_SUCCESS);
        }
        modem_->stop();
        far_end::reset();
        if (smd::installed()) {
            EXPECT_EQ(smd::uninstall(), STATUS_SUCCESS);
        }
        EXPECT_TRUE(machine_->shutdown().empty());
    }
    // The channel open and the service table taken (the client queue running).
    void wait_ready() {
        ASSERT_TRUE(
            modem_->wait_for_request(modem::control_service, modem::msg_service_table, 5000));
        ASSERT_TRUE(wait_until([] {
            return VraxInterfaceEnabled(GetVraxDeviceContext(::ControlDevice)) != FALSE &&
                   ServiceVersionTable[0][0].Words[0] != 0;
        }));
    }
    DWORD control(DWORD code, const bytes& in, bytes* out) {
        DWORD n = 0;
        bytes input = in;
        if (!DeviceIoControl(h_, code, input.data(), static_cast<DWORD>(input.size()), out->data(),
                             static_cast<DWORD>(out->size()), &n, nullptr)) {
            return GetLastError();
        }
        out->resize(n);
        return 0;
    }
    // The program's client id of service 1, granted by the modem.
    std::optional<std::uint8_t> session_client_id() {
        bytes out(1);
        if (control(IOCTL_VRAX_GET_CLIENT_ID, u32(1), &out) != 0 || out.size() != 1) {
            return std::nullopt;
        }
        return out[0];
    }
    // The kernel client's client id of service 1, from the modem's answer to its request.
    std::optional<std::uint8_t> kernel_client_id() {
        const std::size_t before = kclient::received().size();
        if (kclient::send_control(
                0, {0x00, 0x00, 0x22, 0x00, 0x04, 0x00, 0x01, 0x01, 0x00, 0x01}) != 0) {
            return std::nullopt;
        }
        if (!wait_until([&] { return kclient::received().size() > before; }, 1000)) {
            return std::nullopt;
        }
        // The control message as the callback got it: its 6-byte header, then the TLVs.
        const auto answer = kclient::received().back().message;
        for (std::size_t at = 6; at + 3 <= answer.size();) {
            const std::size_t length = answer[at + 1] | (answer[at + 2] << 8);
            if (at + 3 + length > answer.size()) {
                break;
            }
            if (answer[at] == 0x01 && length == 2) {
                return answer[at + 4];
            }
            at += 3 + length;
        }
        return std::nullopt;
    }

    std::unique_ptr<sim::machine> machine_;
    std::unique_ptr<modem::emulator> modem_;
    sim::installed_driver* kc_ = nullptr;
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

TEST_F(KernelClientPortLoss, AnIdTheClientHeldBeforeTheLossReachesItsNewOwner) {
    h_ = CreateFileW(VRAX_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h_, INVALID_HANDLE_VALUE);
    bytes versions(8);
    ASSERT_EQ(control(IOCTL_VRAX_BIND_SERVICE, {1, 0, 0, 0, 0, 0, 0, 0}, &versions), 0u);
    // The program first, then the kernel client: the client's record is the newer one, met
    // first by the routing walk.
    ASSERT_EQ(session_client_id(), std::optional<std::uint8_t>{1});
    ASSERT_EQ(kernel_client_id(), std::optional<std::uint8_t>{2});
    EXPECT_EQ(client_records(), 2u);

    // The port is lost and opened again; the notice returns every id to the modem's pool.
    ASSERT_EQ(modem_->close_channel(), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 2; }));
    ASSERT_EQ(modem_->open_channel(), STATUS_SUCCESS);
    wait_ready();
    ASSERT_TRUE(wait_until([&] { return modem_->notices() == 2; }));
    EXPECT_TRUE(modem_->granted(1).empty());
    EXPECT_EQ(client_records(), 0u) << "the ids of the lost port are forgotten";

    // The program asks again and is given 1, then 2: the kernel client's old id.
    ASSERT_EQ(session_client_id(), std::optional<std::uint8_t>{1});
    ASSERT_EQ(session_client_id(), std::optional<std::uint8_t>{2});
    kclient::clear_received();
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::unique_ptr<void, decltype(&CloseHandle)> event(ov.hEvent, &CloseHandle);
    bytes buffer(64);
    ASSERT_FALSE(ReadFile(h_, buffer.data(), 64, nullptr, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(modem_->indicate(1, 2, 0x0031), STATUS_SUCCESS);
    DWORD n = 0;
    ASSERT_TRUE(wait_until([&] { return HasOverlappedIoCompleted(&ov); }, 1000))
        << "the indication for id 2 went elsewhere";
    ASSERT_TRUE(GetOverlappedResult(h_, &ov, &n, TRUE));
    ASSERT_GE(n, 4u);
    EXPECT_EQ(buffer[3], 0x31);
    EXPECT_TRUE(kclient::received().empty()) << "the old owner of id 2 still got its frames";
}

}  // namespace
