// The port-open routine on a machine with the simulated SMD driver, the test in the modem's
// place: once the channel opens the driver asks port 0's control service for its service
// table, and the routine waits for the answer (which marks the port ready), the ports'
// stop, or 5 seconds. The signals to sessions are recorders (signal_doubles.cpp); the one
// for the service table marks the port ready as delivery does.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "core/faults.h"
#include "core/scheduler.h"
#include "framedecode/frame_decoder.h"
#include "machine/machine.h"
#include "signal_doubles.h"
#include "smd/far_end.h"
#include "smd/install.h"
#include "vrax_device.h"

namespace {

namespace far_end = smd::far_end;
using bytes = std::vector<std::uint8_t>;
using platform::scheduler;

void settle_ms(std::int64_t ms) {
    auto& s = scheduler::get();
    const platform::ticks later = s.now() + ms * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    s.block(
        lk, [] { return false; }, later, "test: settling");
}

bool wait_until(const std::function<bool()>& done, std::int64_t ms = 20000) {
    for (std::int64_t t = 0; t < ms && !done(); t += 10) {
        settle_ms(10);
    }
    return done();
}

std::int64_t now_ms() {
    return scheduler::get().now() / platform::ticks_per_ms;
}

// A frame of the control service to client id 0 carrying a service-table answer to `id`:
// the result TLV, then TLV 0x01 with `list` (a count and its 5-byte entries).
bytes service_table_answer(std::uint8_t id, const bytes& list) {
    bytes tlvs{
        0x02, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, static_cast<std::uint8_t>(list.size()),
        0x00};
    tlvs.insert(tlvs.end(), list.begin(), list.end());
    bytes f{
        0x01, 0, 0, 0x00, 0x00, 0x00, 0x01, id, 0x21, 0x00, static_cast<std::uint8_t>(tlvs.size()),
        0x00};
    f.insert(f.end(), tlvs.begin(), tlvs.end());
    f[1] = static_cast<std::uint8_t>(f.size() - 1);
    return f;
}

bool port_ready() {
    return KeReadStateEvent(&PortReadyEvent) != 0;
}

class PortOpen : public ::testing::Test {
  protected:
    // Boots with port 0 open at the far end (the driver's notice taken), or closed, so that a
    // test can arm faults before the port opens.
    void boot(bool far_open = true) {
        far_end::reset();
        signal_doubles::reset();
        machine_ = std::make_unique<sim::machine>();
        if (far_open) {
            ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
        }
        ASSERT_EQ(smd::install(), STATUS_SUCCESS);
        ASSERT_EQ(machine_->boot(), STATUS_SUCCESS);
        if (far_open) {
            auto notice = far_end::next_frame(0, far_end::deadline_in_ms(5000));
            ASSERT_TRUE(notice.has_value());
            EXPECT_EQ((*notice)[8], 0x27) << framedecode::decode_frame(*notice);
        }
    }
    // The service-table request the port-open routine sends once the channel is open, and
    // when it was taken.
    bytes take_request() {
        auto request = far_end::next_frame(0, far_end::deadline_in_ms(5000));
        EXPECT_TRUE(request.has_value());
        sent_at_ms_ = now_ms();
        return request.value_or(bytes{});
    }
    bool traced(const char* text) { return machine_->trace()->contains(text); }
    std::int64_t traced_at_ms(const char* text) {
        for (const auto& r : machine_->trace()->records()) {
            if (r.text.find(text) != std::string::npos) {
                return r.time / platform::ticks_per_ms;
            }
        }
        return -1;
    }
    void TearDown() override {
        platform::faults::clear();
        if (machine_) {
            if (!removed_ && !NT_SUCCESS(machine_->remove_device())) {
                EXPECT_EQ(machine_->surprise_remove(), STATUS_SUCCESS);
            }
            far_end::reset();
            EXPECT_EQ(smd::uninstall(), STATUS_SUCCESS);
            EXPECT_TRUE(machine_->shutdown().empty()) << "the work item and its request left "
                                                         "nothing behind";
            machine_.reset();
        }
    }
    std::unique_ptr<sim::machine> machine_;
    std::int64_t sent_at_ms_ = 0;
    bool removed_ = false;
};

TEST_F(PortOpen, TheServiceTableAnswerMakesThePortReadyAndTheRoutineTakesTheSignal) {
    boot();
    const bytes request = take_request();
    EXPECT_EQ(request, (bytes{0x01, 11, 0, 0, 0, 0, 0x00, 2, 0x21, 0x00, 0x00, 0x00}))
        << framedecode::decode_frame(request);

    // Two services; nothing else.
    const bytes answer =
        service_table_answer(2, {2, 0x01, 0x01, 0x00, 0x02, 0x00, 0x05, 0x03, 0x00, 0x04, 0x00});
    ASSERT_EQ(far_end::queue_read(0, answer), STATUS_SUCCESS) << framedecode::decode_frame(answer);
    ASSERT_TRUE(wait_until([] { return signal_doubles::tables_stored() == 1; }));
    const signal_doubles::stored_table table = signal_doubles::last_table();
    EXPECT_EQ(table.port, 0u);
    EXPECT_EQ(table.key, 0u) << "the driver's own session key";
    EXPECT_EQ(table.record[0], 2);
    EXPECT_EQ(table.record[4], 0x01);
    EXPECT_EQ(table.record[10], 0x05);

    // The routine wakes on the ready signal and consumes it, well before its time limit.
    ASSERT_TRUE(wait_until([] { return !port_ready(); }, 100));
    settle_ms(6000);
    EXPECT_FALSE(traced("port 0 open: transaction 2 ended"));
    EXPECT_FALSE(port_ready());
}

TEST_F(PortOpen, WithoutAnAnswerTheRoutineEndsAfterFiveSeconds) {
    boot();
    const bytes request = take_request();
    ASSERT_EQ(request.size(), 12u);
    ASSERT_TRUE(wait_until([&] { return traced("port 0 open: transaction 2 ended"); }, 7000));
    const std::int64_t ended = traced_at_ms("port 0 open: transaction 2 ended");
    EXPECT_GE(ended - sent_at_ms_, 4990);
    EXPECT_LE(ended - sent_at_ms_, 5010);
    EXPECT_EQ(signal_doubles::tables_stored(), 0u);

    // A late answer still fills the table and marks the port ready; nobody takes the signal.
    const bytes late = service_table_answer(2, {1, 0x01, 0x01, 0x00, 0x02, 0x00});
    ASSERT_EQ(far_end::queue_read(0, late), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return signal_doubles::tables_stored() == 1; }));
    settle_ms(100);
    EXPECT_TRUE(port_ready());
}

TEST_F(PortOpen, TheStopOfThePortsEndsTheWaitAtOnce) {
    boot();
    const bytes request = take_request();
    ASSERT_EQ(request.size(), 12u);
    settle_ms(100);
    const std::int64_t stop = now_ms();
    ASSERT_EQ(machine_->surprise_remove(), STATUS_SUCCESS);
    removed_ = true;
    ASSERT_TRUE(wait_until([&] { return traced("port 0 open: ports stopping"); }, 7000));
    EXPECT_LT(traced_at_ms("port 0 open: ports stopping") - stop, 1000);
    EXPECT_FALSE(traced("port 0 open: transaction 2 ended"));
    EXPECT_FALSE(port_ready());
}

TEST_F(PortOpen, ARequestThatCannotBeSentIsNotWaitedFor) {
    boot(/*far_open=*/false);
    // The port-open notice goes out (to a far end that drops it) before the channel opens.
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 1; }));
    settle_ms(100);
    // The first write the driver makes once the channel is open is the routine's request.
    platform::faults::fail_nth("WdfIoTargetFormatRequestForWrite", 1,
                               STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return traced("port 0 open: service table not requested"); }));
    EXPECT_FALSE(far_end::next_frame(0, far_end::deadline_in_ms(6000)).has_value());
    EXPECT_FALSE(traced("port 0 open: transaction"));
    platform::faults::clear();
}

}  // namespace
