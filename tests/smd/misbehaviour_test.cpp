// Each misbehaviour the far end can be asked for, and the frame hook a modem emulator uses.
#include <string>

#include "core/scheduler.h"
#include "smd_client.h"

namespace smd_test {
namespace {

using Misbehaviour = smd_fixture;
using bytes = std::vector<std::uint8_t>;
using far_end::fault;
using far_end::target;

constexpr NTSTATUS injected = static_cast<NTSTATUS>(0xE0000123u);

TEST_F(Misbehaviour, ControlsFailWithTheChosenStatusAndChangeNothing) {
    channel ch;
    far_end::inject(4, target::open, fault::fail(injected, 1));
    EXPECT_EQ(ch.open(4), injected);
    EXPECT_EQ(last_open_request().status, injected);
    EXPECT_FALSE(event_exists(event_path("READ", 4)));
    EXPECT_EQ(ch.open(4), STATUS_SUCCESS);  // the fault was for one request

    far_end::inject(4, target::read_pending, fault::fail(STATUS_DEVICE_BUSY));
    far_end::inject(4, target::close, fault::fail(STATUS_UNSUCCESSFUL));
    EXPECT_EQ(ch.read_pending()->status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(ch.read_pending()->status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(ch.close(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(event_exists(event_path("READ", 4)));  // still open
    far_end::clear_faults(4);
    EXPECT_EQ(ch.read_pending()->status, STATUS_SUCCESS);
    EXPECT_EQ(ch.close(), STATUS_SUCCESS);
}

TEST_F(Misbehaviour, ControlsThatNeverCompleteEndOnlyWhenTheSenderCancels) {
    channel ch;
    for (target t : {target::open, target::read_pending, target::close})
        far_end::inject(6, t, fault::never(1));
    auto open = ch.start(
        IRP_MJ_DEVICE_CONTROL, IOCTL_SMD_OPEN,
        [] {
            SMD_OPEN_REQUEST r = open_request(6);
            auto* b = reinterpret_cast<const std::uint8_t*>(&r);
            return bytes(b, b + sizeof r);
        }(),
        0);
    EXPECT_FALSE(open->wait(1000));
    EXPECT_EQ(last_open_request().status, STATUS_PENDING);
    EXPECT_EQ(ch.cancel(), 1u);
    ASSERT_TRUE(open->wait(0));
    EXPECT_EQ(open->status, STATUS_CANCELLED);
    EXPECT_FALSE(event_exists(event_path("OPEN", 6)));

    ASSERT_EQ(ch.open(6), STATUS_SUCCESS);
    for (ULONG code : {IOCTL_SMD_READ_PENDING, IOCTL_SMD_CLOSE}) {
        auto held = ch.start(IRP_MJ_DEVICE_CONTROL, code, {}, 0);
        EXPECT_FALSE(held->wait(1000)) << code;
        ch.cancel();
        ASSERT_TRUE(held->wait(0)) << code;
        EXPECT_EQ(held->status, STATUS_CANCELLED) << code;
    }
    // The held close changed nothing: the channel is still bound.
    EXPECT_EQ(ch.read_pending()->status, STATUS_SUCCESS);
}

TEST_F(Misbehaviour, FaultyReadsLeaveTheChunkForTheNextRead) {
    channel ch;
    ASSERT_EQ(ch.open(0), STATUS_SUCCESS);
    ASSERT_EQ(far_end::queue_read(0, {1, 2, 3, 4}), STATUS_SUCCESS);

    far_end::inject(0, target::read, fault::fail(injected, 1));
    auto failed = ch.start_read();
    ASSERT_TRUE(failed->wait());
    EXPECT_EQ(failed->status, injected);
    EXPECT_EQ(ch.read_pending()->information, 4u);

    far_end::inject(0, target::read, fault::never(1));
    auto held = ch.start_read();
    EXPECT_FALSE(held->wait(1000));
    ch.cancel();
    ASSERT_TRUE(held->wait(0));
    EXPECT_EQ(held->status, STATUS_CANCELLED);
    EXPECT_EQ(ch.read_pending()->information, 4u);

    // An odd byte count: the chunk is taken, the read reports three bytes of it.
    far_end::inject(0, target::read, fault::byte_count(3, 1));
    auto odd = ch.start_read();
    ASSERT_TRUE(odd->wait());
    EXPECT_EQ(odd->status, STATUS_SUCCESS);
    EXPECT_EQ(odd->bytes(), (bytes{1, 2, 3}));
    EXPECT_EQ(ch.read_pending()->information, 0u);
}

TEST_F(Misbehaviour, AFaultAppliesWhenAWaitingReadWouldGetItsChunk) {
    channel ch;
    ASSERT_EQ(ch.open(0), STATUS_SUCCESS);
    auto waiting = ch.start_read();
    far_end::inject(0, target::read, fault::fail(STATUS_DATA_ERROR, 1));
    EXPECT_FALSE(waiting->wait(10));
    ASSERT_EQ(far_end::queue_read(0, {9}), STATUS_SUCCESS);
    ASSERT_TRUE(waiting->wait(0));
    EXPECT_EQ(waiting->status, STATUS_DATA_ERROR);
    auto next = ch.start_read();
    ASSERT_TRUE(next->wait());
    EXPECT_EQ(next->bytes(), (bytes{9}));
}

TEST_F(Misbehaviour, FailingAndStalledWritesPassNothingOn) {
    channel ch;
    ASSERT_EQ(ch.open(0), STATUS_SUCCESS);
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    far_end::inject(0, target::write, fault::fail(STATUS_DEVICE_BUSY, 1));
    EXPECT_EQ(ch.write({1})->status, STATUS_DEVICE_BUSY);
    far_end::inject(0, target::write, fault::never(1));
    auto held = ch.start(IRP_MJ_WRITE, 0, {2}, 0);
    EXPECT_FALSE(held->wait(1000));
    ch.cancel();
    ASSERT_TRUE(held->wait(0));
    EXPECT_EQ(held->status, STATUS_CANCELLED);
    EXPECT_EQ(far_end::frames_waiting(0), 0u);
    EXPECT_EQ(ch.write({3})->status, STATUS_SUCCESS);
    EXPECT_EQ(far_end::next_frame(0, far_end::deadline_in_ms(0)), (bytes{3}));
}

// STATUS_PENDING is no completion status: a failure asked for with it holds the request
// until the sender cancels, on the data path as on the controls.
TEST_F(Misbehaviour, AFailureWithThePendingStatusHoldsTheRequest) {
    channel ch;
    ASSERT_EQ(ch.open(0), STATUS_SUCCESS);
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    ASSERT_EQ(far_end::queue_read(0, {5, 6}), STATUS_SUCCESS);
    for (target t : {target::write, target::read, target::read_pending}) {
        far_end::inject(0, t, fault::fail(STATUS_PENDING, 1));
        auto held = t == target::write ? ch.start(IRP_MJ_WRITE, 0, {7}, 0)
                    : t == target::read
                        ? ch.start_read()
                        : ch.start(IRP_MJ_DEVICE_CONTROL, IOCTL_SMD_READ_PENDING, {}, 0);
        EXPECT_FALSE(held->wait(1000)) << static_cast<int>(t);
        EXPECT_EQ(ch.cancel(), 1u) << static_cast<int>(t);
        ASSERT_TRUE(held->wait(0)) << static_cast<int>(t);
        EXPECT_EQ(held->status, STATUS_CANCELLED) << static_cast<int>(t);
    }
    EXPECT_EQ(far_end::frames_waiting(0), 0u);
    auto read = ch.start_read();
    ASSERT_TRUE(read->wait());
    EXPECT_EQ(read->bytes(), (bytes{5, 6}));  // the held read left the chunk queued
}

TEST_F(Misbehaviour, AFrameHookRunsOnTheFarEndThreadAndMayAnswerWithAChunk) {
    channel ch;
    ASSERT_EQ(ch.open(0), STATUS_SUCCESS);
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    std::string hook_thread;
    far_end::set_frame_hook(0, [&](unsigned port, bytes frame) {
        hook_thread = platform::scheduler::get().current().name;
        frame.push_back(0xEE);
        EXPECT_EQ(far_end::queue_read(port, std::move(frame)), STATUS_SUCCESS);  // an echo
    });
    auto answer = ch.start_read();
    EXPECT_EQ(ch.write({0x42})->status, STATUS_SUCCESS);
    ASSERT_TRUE(answer->wait());
    EXPECT_EQ(answer->bytes(), (bytes{0x42, 0xEE}));
    EXPECT_EQ(hook_thread, "smd far end");
    EXPECT_EQ(far_end::frames_waiting(0), 0u);  // hooked frames are not kept

    far_end::set_frame_hook(0, {});
    EXPECT_EQ(ch.write({0x43})->status, STATUS_SUCCESS);
    EXPECT_EQ(far_end::frames_waiting(0), 1u);
}

}  // namespace
}  // namespace smd_test
