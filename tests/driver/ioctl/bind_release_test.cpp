// Binding a session that holds a client id, through the modem emulator on port 0: the bind
// gives the held id back to the modem (on the port it was granted on, for the service it was
// granted for), its routing record goes, and clean-up then has nothing left to release. A bind
// that holds nothing (never granted, refused, or forgotten by a port loss) sends nothing.
#include <gtest/gtest.h>
#include <windows.h>

#include <vrax/vrax_ioctl.h>

#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

#include "ioctl_fixture.h"
#include "kernel/pool.h"
#include "machine/machine.h"
#include "modem/modem.h"
#include "protocol/routing_table.h"
#include "smd/far_end.h"
#include "smd/install.h"
#include "vrax_device.h"
#include "vrax_pool.h"

namespace {

using namespace ioctl_test;
using kind = modem::misbehaviour::kind;
namespace far_end = smd::far_end;

// The (service type, client id) values of the releases the modem received, in order.
std::vector<bytes> releases_seen(const modem::emulator& m) {
    std::vector<bytes> out;
    for (const auto& r : m.requests()) {
        if (r.msg && r.msg->service_type == modem::control_service &&
            r.msg->message_id == modem::msg_release) {
            const modem::tlv* which = modem::find_tlv(*r.msg, 0x01);
            out.push_back(which != nullptr ? which->value : bytes{});
        }
    }
    return out;
}

// Control requests the modem received, of any message id.
std::size_t control_requests_seen(const modem::emulator& m) {
    std::size_t n = 0;
    for (const auto& r : m.requests()) {
        n += r.msg && r.msg->service_type == modem::control_service ? 1 : 0;
    }
    return n;
}

// The client ids port 0's routing table records for `key` and `service`.
std::vector<std::uint8_t> routed_ids(ULONG key, std::uint8_t service) {
    std::vector<std::uint8_t> ids;
    WDFWAITLOCK lock = RoutingTable[0].RoutingLock;
    WdfWaitLockAcquire(lock, nullptr);
    for (PVRAX_CLIENT_RECORD r = RoutingTable[0].Clients[service]; r != nullptr; r = r->Next) {
        if (r->SessionKey != key) {
            continue;
        }
        for (UCHAR id : r->ClientIds) {
            if (id != VRAX_CLIENT_SLOT_FREE) {
                ids.push_back(id);
            }
        }
    }
    WdfWaitLockRelease(lock);
    return ids;
}

class BindWithAnIdHeld : public ::testing::Test {
  protected:
    void SetUp() override {
        far_end::reset();
        machine_ = std::make_unique<sim::machine>();
        modem_ = std::make_unique<modem::emulator>();
        modem_->start(0);
        ASSERT_EQ(smd::install(), STATUS_SUCCESS);
        ASSERT_EQ(machine_->boot(), STATUS_SUCCESS);
        ASSERT_TRUE(port_ready());
    }
    bool port_ready() {
        if (!modem_->wait_for_request(modem::control_service, modem::msg_service_table, 5000)) {
            return false;
        }
        return wait_until([] {
            return VraxInterfaceEnabled(GetVraxDeviceContext(::ControlDevice)) &&
                   ServiceVersionTable[0][0].Words[0] != 0;
        });
    }
    void TearDown() override {
        if (!machine_) {
            return;
        }
        if (HasFailure()) {
            std::cerr << "modem transcript:\n" << modem_->transcript();
        }
        for (HANDLE h : handles_) {
            CloseHandle(h);
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
    HANDLE open() {
        HANDLE h = open_vrax();
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        if (h != INVALID_HANDLE_VALUE) {
            handles_.push_back(h);
        }
        return h;
    }
    // Closes `h` and returns how long the close took, in virtual milliseconds.
    std::int64_t close(HANDLE h) {
        std::erase(handles_, h);
        const std::int64_t t0 = now_ms();
        EXPECT_TRUE(CloseHandle(h));
        return now_ms() - t0;
    }
    outcome bind(HANDLE h, std::uint32_t service, std::optional<std::uint32_t> port = 0,
                 std::size_t out = 8) {
        const bytes in = port ? cat({u32(service), u32(*port)}) : u32(service);
        return control(h, IOCTL_VRAX_BIND_SERVICE, in, out);
    }
    std::optional<std::uint8_t> get_id(HANDLE h, std::uint32_t service) {
        outcome r = control(h, IOCTL_VRAX_GET_CLIENT_ID, u32(service), 1);
        if (r.error != 0 || r.returned != 1) {
            return std::nullopt;
        }
        return r.out[0];
    }
    // Lets an answer the modem sends at once reach the driver.
    void settle() { settle_ms(50); }
    bool traced(const char* text) { return machine_->trace()->contains(text); }

    std::unique_ptr<sim::machine> machine_;
    std::unique_ptr<modem::emulator> modem_;
    std::vector<HANDLE> handles_;
};

// Granted id 1 of service 1, then bound to service 2: the bind answers as always (the version
// words of service 2, at once), the modem gets id 1 of service 1 back and the routing record
// goes. The close then releases nothing and does not wait; no release of id 0 is ever sent.
TEST_F(BindWithAnIdHeld, ABindToAnotherServiceReleasesTheGrantedIdAndTheCloseHasNothingLeft) {
    HANDLE h = open();
    ASSERT_EQ(bind(h, 1).error, 0u);
    ASSERT_EQ(get_id(h, 1), std::optional<std::uint8_t>{1});
    PCLIENT_CONTEXT session = session_of(h);
    ASSERT_NE(session, nullptr);
    const ULONG key = session->SessionKey;
    ASSERT_EQ(routed_ids(key, 1), std::vector<std::uint8_t>{1});
    const std::size_t bodies = platform::kernel::pool::allocations_made(VRAX_TAG_RELEASE);

    const std::int64_t t0 = now_ms();
    outcome r = bind(h, 2);
    EXPECT_EQ(now_ms() - t0, 0);
    EXPECT_EQ(r.error, 0u);
    ASSERT_EQ(r.returned, 8u);
    const auto& words = ServiceVersionTable[0][2].Words;
    EXPECT_EQ(
        r.out,
        (bytes{static_cast<std::uint8_t>(words[0]), 0, static_cast<std::uint8_t>(words[1]), 0,
               static_cast<std::uint8_t>(words[2]), 0, static_cast<std::uint8_t>(words[3]), 0}));
    settle();
    EXPECT_EQ(releases_seen(*modem_), std::vector<bytes>{(bytes{1, 1})});
    EXPECT_TRUE(modem_->granted(1).empty());
    EXPECT_TRUE(routed_ids(key, 1).empty());
    EXPECT_EQ(platform::kernel::pool::allocations_made(VRAX_TAG_RELEASE), bodies + 1);
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_RELEASE).count, 0u);

    EXPECT_EQ(close(h), 0);
    settle();
    EXPECT_EQ(releases_seen(*modem_), std::vector<bytes>{(bytes{1, 1})});
    EXPECT_FALSE(traced("does not hold id"));
}

// The same service again: the old id goes back before the new request, so the modem grants
// the same id anew; that one is what clean-up releases, confirmed at once.
TEST_F(BindWithAnIdHeld, ABindToTheSameServiceReleasesTheOldIdAndTheNewOneGoesAtClose) {
    HANDLE h = open();
    ASSERT_EQ(bind(h, 1, std::nullopt).error, 0u);
    ASSERT_EQ(get_id(h, 1), std::optional<std::uint8_t>{1});
    const ULONG key = session_of(h)->SessionKey;
    ASSERT_EQ(bind(h, 1, std::nullopt).error, 0u);
    ASSERT_EQ(get_id(h, 1), std::optional<std::uint8_t>{1});
    EXPECT_EQ(releases_seen(*modem_), std::vector<bytes>{(bytes{1, 1})});
    EXPECT_EQ(modem_->granted(1), std::vector<std::uint8_t>{1});
    EXPECT_EQ(routed_ids(key, 1), std::vector<std::uint8_t>{1});

    EXPECT_EQ(close(h), 0);
    settle();
    EXPECT_EQ(releases_seen(*modem_), (std::vector<bytes>{{1, 1}, {1, 1}}));
    EXPECT_TRUE(modem_->granted(1).empty());
    EXPECT_TRUE(routed_ids(key, 1).empty());
    EXPECT_FALSE(traced("does not hold id"));
}

// The release goes on the port the id was granted on, also when the bind names another port
// (one with no channel here), and also when the bind itself fails for want of an output
// buffer: the session has given the id up either way.
TEST_F(BindWithAnIdHeld, TheReleaseGoesOnTheOldPortWhateverTheBindNamesOrReturns) {
    HANDLE a = open();
    ASSERT_EQ(bind(a, 3).error, 0u);
    ASSERT_EQ(get_id(a, 3), std::optional<std::uint8_t>{1});
    EXPECT_EQ(bind(a, 1, 5).error, 0u);
    settle();
    EXPECT_EQ(releases_seen(*modem_), std::vector<bytes>{(bytes{3, 1})});
    EXPECT_TRUE(modem_->granted(3).empty());
    EXPECT_EQ(session_of(a)->PortIndex, 5u);

    HANDLE b = open();
    ASSERT_EQ(bind(b, 2).error, 0u);
    ASSERT_EQ(get_id(b, 2), std::optional<std::uint8_t>{1});
    EXPECT_EQ(bind(b, 2, 0, 0).error, static_cast<DWORD>(ERROR_GEN_FAILURE));
    settle();
    EXPECT_EQ(releases_seen(*modem_), (std::vector<bytes>{{3, 1}, {2, 1}}));
    EXPECT_TRUE(modem_->granted(2).empty());

    EXPECT_EQ(close(a), 0);
    EXPECT_EQ(close(b), 0);
    settle();
    EXPECT_EQ(releases_seen(*modem_).size(), 2u);
}

// A release the modem never confirms does not hold the bind up: it is answered at once.
TEST_F(BindWithAnIdHeld, AnUnconfirmedReleaseDoesNotDelayTheBind) {
    modem_->misbehave(modem::misbehaviour::on(kind::never_answer, modem::msg_release));
    HANDLE h = open();
    ASSERT_EQ(bind(h, 1).error, 0u);
    ASSERT_EQ(get_id(h, 1), std::optional<std::uint8_t>{1});
    const std::int64_t t0 = now_ms();
    EXPECT_EQ(bind(h, 2).error, 0u);
    EXPECT_EQ(now_ms() - t0, 0);
    settle();
    EXPECT_EQ(releases_seen(*modem_), std::vector<bytes>{(bytes{1, 1})});
    EXPECT_EQ(close(h), 0);
}

// Nothing held, nothing sent: rebinding a session that never got an id, one whose request was
// refused, and one whose id the modem forgot with the port's loss.
TEST_F(BindWithAnIdHeld, ABindThatHoldsNoIdSendsNothing) {
    HANDLE never = open();
    ASSERT_EQ(bind(never, 1).error, 0u);
    const std::size_t before = control_requests_seen(*modem_);
    EXPECT_EQ(bind(never, 2).error, 0u);
    EXPECT_EQ(bind(never, 1, std::nullopt).error, 0u);
    settle();
    EXPECT_EQ(control_requests_seen(*modem_), before);

    HANDLE refused = open();
    ASSERT_EQ(bind(refused, 1).error, 0u);
    modem_->misbehave(modem::misbehaviour::on(kind::error_result, modem::msg_client_id));
    EXPECT_EQ(get_id(refused, 1), std::nullopt);
    EXPECT_EQ(session_of(refused)->ClientId, VRAX_CLIENT_ID_REFUSED);
    const std::size_t after_refusal = control_requests_seen(*modem_);
    EXPECT_EQ(bind(refused, 2).error, 0u);
    settle();
    EXPECT_EQ(control_requests_seen(*modem_), after_refusal);
    // Its clean-up, too, has no id to give back: the bind left it with id 0, never granted.
    EXPECT_EQ(close(refused), 0);
    settle();
    EXPECT_EQ(control_requests_seen(*modem_), after_refusal);

    HANDLE lost = open();
    ASSERT_EQ(bind(lost, 1).error, 0u);
    ASSERT_EQ(get_id(lost, 1), std::optional<std::uint8_t>{1});
    ASSERT_EQ(modem_->close_channel(), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 2; }));
    ASSERT_EQ(modem_->open_channel(), STATUS_SUCCESS);
    ASSERT_TRUE(port_ready());
    settle();
    const std::size_t after_loss = control_requests_seen(*modem_);
    EXPECT_EQ(bind(lost, 2).error, 0u);
    settle();
    EXPECT_EQ(control_requests_seen(*modem_), after_loss);

    EXPECT_EQ(close(never), 0);
    EXPECT_EQ(close(lost), 0);
    settle();
    EXPECT_TRUE(releases_seen(*modem_).empty());
}

}  // namespace
