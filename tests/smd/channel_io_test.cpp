// A bound channel: the open and close events, reads of queued chunks, the read-pending
// answer, writes reaching the far end, and two ports side by side.
#include <mutex>
#include <vector>

#include "core/scheduler.h"
#include "smd_client.h"

namespace smd_test {
namespace {

using ChannelIo = smd_fixture;
using bytes = std::vector<std::uint8_t>;

TEST_F(ChannelIo, TheOpenEventIsSignalledOnceWhicheverSideOpensFirst) {
    // The far end first: the event is signalled as soon as the channel binds.
    ASSERT_EQ(far_end::open_channel(1), STATUS_SUCCESS);
    channel early;
    ASSERT_EQ(early.open(1), STATUS_SUCCESS);
    client_event opened1(event_path("OPEN", 1));
    EXPECT_TRUE(opened1.take());

    // The client first: nothing until the far end opens, then one signal only.
    channel late;
    ASSERT_EQ(late.open(2), STATUS_SUCCESS);
    client_event opened2(event_path("OPEN", 2));
    EXPECT_FALSE(opened2.signalled());
    EXPECT_EQ(late.write({1})->status, STATUS_PORT_DISCONNECTED);  // not open at the far end
    ASSERT_EQ(far_end::open_channel(2), STATUS_SUCCESS);
    EXPECT_TRUE(opened2.take());
    ASSERT_EQ(far_end::open_channel(2), STATUS_SUCCESS);
    EXPECT_FALSE(opened2.signalled());
    EXPECT_TRUE(far_end::far_end_open(2));
}

TEST_F(ChannelIo, ReadsReturnTheOldestChunkCutToTheBufferAndPendingCountsQueuedBytes) {
    channel ch;
    ASSERT_EQ(ch.open(0), STATUS_SUCCESS);
    client_event readable(event_path("READ", 0));
    EXPECT_EQ(ch.read_pending()->information, 0u);

    ASSERT_EQ(far_end::queue_read(0, {1, 2, 3}), STATUS_SUCCESS);
    EXPECT_TRUE(readable.take());
    ASSERT_EQ(far_end::queue_read(0, {4, 5, 6, 7, 8}), STATUS_SUCCESS);
    ASSERT_EQ(far_end::queue_read(0, {9}), STATUS_SUCCESS);
    EXPECT_EQ(far_end::queue_read(0, {}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ch.read_pending()->information, 9u);

    auto r1 = ch.start_read(64);
    ASSERT_TRUE(r1->wait());
    EXPECT_EQ(r1->status, STATUS_SUCCESS);
    EXPECT_EQ(r1->bytes(), (bytes{1, 2, 3}));
    // A short buffer takes the head of the chunk; the rest of that chunk is dropped.
    auto r2 = ch.start_read(2);
    ASSERT_TRUE(r2->wait());
    EXPECT_EQ(r2->bytes(), (bytes{4, 5}));
    EXPECT_EQ(ch.read_pending()->information, 1u);
    auto r3 = ch.start_read(64);
    ASSERT_TRUE(r3->wait());
    EXPECT_EQ(r3->bytes(), (bytes{9}));
    EXPECT_EQ(ch.read_pending()->information, 0u);

    // With an output buffer the answer stays within it, and non-zero while bytes wait.
    ASSERT_EQ(far_end::queue_read(0, bytes(100, 0xAB)), STATUS_SUCCESS);
    auto capped = ch.send(IRP_MJ_DEVICE_CONTROL, IOCTL_SMD_READ_PENDING, {}, 4);
    EXPECT_EQ(capped->status, STATUS_SUCCESS);
    EXPECT_EQ(capped->information, 4u);
}

TEST_F(ChannelIo, AReadWaitsForAChunkAndEndsWhenItsSenderCancelsIt) {
    channel ch;
    ASSERT_EQ(ch.open(0), STATUS_SUCCESS);
    auto waiting = ch.start_read();
    EXPECT_FALSE(waiting->wait(500));
    ASSERT_EQ(far_end::queue_read(0, {0x7E, 0x01}), STATUS_SUCCESS);
    ASSERT_TRUE(waiting->wait(0));
    EXPECT_EQ(waiting->bytes(), (bytes{0x7E, 0x01}));

    // The sender's one-second time-out: the framework cancels the waiting read.
    auto timed_out = ch.start_read();
    const platform::ticks before = platform::scheduler::get().now();
    EXPECT_FALSE(timed_out->wait(1000));
    EXPECT_EQ(ch.cancel(), 1u);
    ASSERT_TRUE(timed_out->wait(0));
    EXPECT_EQ(timed_out->status, STATUS_CANCELLED);
    EXPECT_GE(platform::scheduler::get().now() - before, platform::ticks_per_second);
    // The channel goes on: the next chunk goes to the next read.
    ASSERT_EQ(far_end::queue_read(0, {3}), STATUS_SUCCESS);
    auto next = ch.start_read();
    ASSERT_TRUE(next->wait());
    EXPECT_EQ(next->bytes(), (bytes{3}));
}

TEST_F(ChannelIo, AWriteHandsOneWholeFrameToTheFarEnd) {
    channel ch;
    ASSERT_EQ(ch.open(0), STATUS_SUCCESS);
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    auto w = ch.write({0x01, 0x0C, 0x00, 0x80});
    EXPECT_EQ(w->status, STATUS_SUCCESS);
    EXPECT_EQ(w->information, 4u);
    EXPECT_EQ(far_end::next_frame(0, far_end::deadline_in_ms(0)), (bytes{0x01, 0x0C, 0x00, 0x80}));

    // No frame: nothing, once the (virtual) deadline has passed.
    const platform::ticks before = platform::scheduler::get().now();
    EXPECT_FALSE(far_end::next_frame(0, far_end::deadline_in_ms(250)));
    EXPECT_EQ(platform::scheduler::get().now() - before, 250 * platform::ticks_per_ms);
}

TEST_F(ChannelIo, TwoPortsAtOnceKeepTheirOwnTraffic) {
    channel vrax, direct;
    ASSERT_EQ(vrax.open(0), STATUS_SUCCESS);
    ASSERT_EQ(direct.open(12), STATUS_SUCCESS);
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    ASSERT_EQ(far_end::open_channel(12), STATUS_SUCCESS);

    auto r0 = vrax.start_read();
    auto r12 = direct.start_read();
    ASSERT_EQ(far_end::queue_read(12, {12}), STATUS_SUCCESS);
    ASSERT_TRUE(r12->wait());
    EXPECT_FALSE(r0->finished());
    ASSERT_EQ(far_end::queue_read(0, {0}), STATUS_SUCCESS);
    ASSERT_TRUE(r0->wait());
    EXPECT_EQ(r0->bytes(), (bytes{0}));
    EXPECT_EQ(r12->bytes(), (bytes{12}));

    EXPECT_EQ(direct.write({0xC})->status, STATUS_SUCCESS);
    EXPECT_EQ(vrax.write({0x0})->status, STATUS_SUCCESS);
    EXPECT_EQ(far_end::next_frame(12, far_end::deadline_in_ms(0)), (bytes{0xC}));
    EXPECT_EQ(far_end::next_frame(0, far_end::deadline_in_ms(0)), (bytes{0x0}));
    EXPECT_EQ(far_end::queue_read(5, {5}), STATUS_INVALID_DEVICE_STATE);  // nobody on port 5
}

TEST_F(ChannelIo, TheFarEndClosingSignalsCloseAndEndsTheChannelsTraffic) {
    channel ch;
    ASSERT_EQ(ch.open(0), STATUS_SUCCESS);
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    client_event closed(event_path("CLOSE", 0));
    ASSERT_EQ(far_end::queue_read(0, {1}), STATUS_SUCCESS);
    ASSERT_EQ(far_end::queue_read(0, {2}), STATUS_SUCCESS);
    auto r = ch.start_read();
    ASSERT_TRUE(r->wait());  // takes {1}
    auto waiting = ch.start_read();
    ASSERT_TRUE(waiting->wait());  // takes {2}
    waiting = ch.start_read();
    EXPECT_FALSE(waiting->wait(10));

    ASSERT_EQ(far_end::close_channel(0), STATUS_SUCCESS);
    EXPECT_TRUE(closed.take());
    ASSERT_TRUE(waiting->wait(0));
    EXPECT_EQ(waiting->status, STATUS_PORT_DISCONNECTED);
    EXPECT_EQ(ch.send(IRP_MJ_READ, 0, {}, 64)->status, STATUS_PORT_DISCONNECTED);
    EXPECT_EQ(ch.write({1})->status, STATUS_PORT_DISCONNECTED);
    EXPECT_EQ(far_end::queue_read(0, {3}), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(ch.read_pending()->information, 0u);
    EXPECT_EQ(far_end::close_channel(0), STATUS_INVALID_DEVICE_STATE);
    EXPECT_FALSE(closed.signalled());
    // The client answers with its own close.
    EXPECT_EQ(ch.close(), STATUS_SUCCESS);

    // A channel bound to the port again is not open at the far end until it opens the port:
    // a chunk from the far end is refused, not left for the new channel to read.
    channel again;
    ASSERT_EQ(again.open(0), STATUS_SUCCESS);
    client_event reopened(event_path("OPEN", 0));
    EXPECT_EQ(far_end::queue_read(0, {4}), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(again.read_pending()->information, 0u);
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    EXPECT_TRUE(reopened.take());
    ASSERT_EQ(far_end::queue_read(0, {5}), STATUS_SUCCESS);
    auto fifth = again.start_read();
    ASSERT_TRUE(fifth->wait());
    EXPECT_EQ(fifth->status, STATUS_SUCCESS);
    EXPECT_EQ(fifth->bytes(), bytes{5});
}

// Senders on several threads: each chunk's queue hook runs as it joins the queue, so the hook
// calls come in the order the reader gets the chunks; the hook runs once on every refusal too.
TEST_F(ChannelIo, QueueHooksRunInTheOrderTheReaderGetsTheChunks) {
    channel ch;
    ASSERT_EQ(ch.open(0), STATUS_SUCCESS);
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    constexpr int senders = 3, per_sender = 20;
    std::mutex lock;
    std::vector<bytes> noted;
    auto& s = platform::scheduler::get();
    std::vector<std::shared_ptr<platform::scheduler::joinable>> threads;
    for (int t = 0; t < senders; ++t) {
        threads.push_back(s.start_thread("sender", [&, t] {
            for (int i = 0; i < per_sender; ++i) {
                const bytes chunk{static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(i)};
                EXPECT_EQ(far_end::queue_read(0, chunk,
                                              [&] {
                                                  std::lock_guard g(lock);
                                                  noted.push_back(chunk);
                                              }),
                          STATUS_SUCCESS);
            }
        }));
    }
    for (auto& t : threads)
        t->join();
    ASSERT_EQ(noted.size(), static_cast<std::size_t>(senders * per_sender));
    for (const bytes& expected : noted) {
        auto r = ch.start_read(8);
        ASSERT_TRUE(r->wait());
        ASSERT_EQ(r->bytes(), expected);
    }

    int calls = 0;
    auto count = [&] { ++calls; };
    EXPECT_EQ(far_end::queue_read(0, {}, count), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(far_end::queue_read(SMD_PORT_COUNT, {1}, count), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(far_end::queue_read(5, {1}, count), STATUS_INVALID_DEVICE_STATE);  // no channel
    ASSERT_EQ(far_end::close_channel(0), STATUS_SUCCESS);
    EXPECT_EQ(far_end::queue_read(0, {1}, count), STATUS_INVALID_DEVICE_STATE);  // closed
    EXPECT_EQ(calls, 4);
    EXPECT_EQ(ch.close(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace smd_test
