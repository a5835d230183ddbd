// What the stress run needs from the modem emulator for a long run: a watcher that sees each
// frame each way (the frame handed to the far end announced before it goes, then its status)
// and each close and open; no log kept; and a bounded history of requests.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

#include "core/scheduler.h"
#include "machine/machine.h"
#include "modem/modem.h"
#include "smd/far_end.h"
#include "smd/install.h"

namespace {

using platform::scheduler;
namespace far_end = smd::far_end;
using kind = modem::watch_event::kind;

void settle_ms(std::int64_t ms) {
    auto& s = scheduler::get();
    const platform::ticks later = s.now() + ms * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    s.block(
        lk, [] { return false; }, later, "test: settling");
}

struct seen {
    kind what;
    modem::bytes frame;
    NTSTATUS status;
};

TEST(ModemWatch, EveryFrameAndChannelEventIsSeenWithoutALog) {
    far_end::reset();
    sim::machine_options mo;
    mo.trace_level = 0;
    auto machine = std::make_unique<sim::machine>(mo);
    modem::config c;
    c.keep_log = false;
    c.request_history = 2;
    auto mdm = std::make_unique<modem::emulator>(c);
    std::mutex lock;
    std::vector<seen> events;
    mdm->watch([&](const modem::watch_event& e) {
        std::lock_guard g(lock);
        events.push_back({e.what, e.frame != nullptr ? *e.frame : modem::bytes{}, e.status});
    });
    mdm->start(0);
    ASSERT_EQ(smd::install(), STATUS_SUCCESS);
    ASSERT_EQ(machine->boot(), STATUS_SUCCESS);
    ASSERT_TRUE(mdm->wait_for_request(modem::control_service, modem::msg_port_open, 5000));
    ASSERT_TRUE(mdm->wait_for_request(modem::control_service, modem::msg_service_table, 5000));
    settle_ms(50);

    // The modem's own open of the channel, the notice and the table request received, the
    // table answer announced and then sent; a close with its status.
    ASSERT_EQ(mdm->close_channel(), STATUS_SUCCESS);
    settle_ms(50);
    std::vector<seen> got;
    {
        std::lock_guard g(lock);
        got = events;
    }
    ASSERT_GE(got.size(), 6u);
    EXPECT_EQ(got[0].what, kind::opened);
    EXPECT_EQ(got[1].what, kind::received);
    EXPECT_EQ(got[2].what, kind::received);
    EXPECT_EQ(got[3].what, kind::sending);
    EXPECT_EQ(got[4].what, kind::sent);
    EXPECT_EQ(got[4].status, STATUS_SUCCESS);
    EXPECT_EQ(got[3].frame, got[4].frame);
    ASSERT_GE(got[4].frame.size(), 9u);
    EXPECT_EQ(got[4].frame[8], modem::msg_service_table) << "the answer's message id";
    EXPECT_EQ(got.back().what, kind::closed);
    EXPECT_EQ(got.back().status, STATUS_SUCCESS);

    // A frame for the driver: announced, then sent with the far end's answer.
    const NTSTATUS answer = mdm->indicate(1, 1, 0x40);
    {
        std::lock_guard g(lock);
        ASSERT_GE(events.size(), 2u);
        EXPECT_EQ(events[events.size() - 2].what, kind::sending);
        EXPECT_EQ(events.back().what, kind::sent);
        EXPECT_EQ(events.back().status, answer);
    }
    EXPECT_TRUE(mdm->log().empty());
    EXPECT_GE(mdm->sent_count(), 2u) << "frames to the driver are still counted";

    // The request history keeps the newest ones only.
    for (int i = 0; i < 10; ++i)
        mdm->feed(modem::encode(
            modem::message{0, 0, 0, 0, static_cast<std::uint16_t>(i), 0x26, {{0x01, {1}}}, {}}));
    const auto kept = mdm->requests();
    EXPECT_LE(kept.size(), 5u);
    ASSERT_FALSE(kept.empty());
    ASSERT_TRUE(kept.back().msg);
    EXPECT_EQ(kept.back().msg->transaction_id, 9);

    mdm->stop();
    if (!NT_SUCCESS(machine->remove_device()))
        machine->surprise_remove();
    far_end::reset();
    if (smd::installed()) {
        EXPECT_EQ(smd::uninstall(), STATUS_SUCCESS);
    }
    EXPECT_TRUE(machine->shutdown().empty());
}

}  // namespace
