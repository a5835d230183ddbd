// Reads and writes of a session's handle through the Win32 subset: stored messages read
// whole and in order, a short buffer discarding its message, the frames writes produce at
// the far end, the fifteen-write limit with the held-back writes a type-2 message releases,
// writes that cannot be sent not counting, and the length limit of a frame.
#include "session_fixture.h"

#include <numeric>

#include "core/faults.h"
#include "framedecode/frame_decoder.h"
#include "kernel/pool.h"
#include "smd/far_end.h"

#include "vrax_pool.h"
#include "vrax_wire.h"

namespace session_test {
namespace {

namespace far_end = smd::far_end;
namespace faults = platform::faults;

// A message of service 3: type, transaction id, message id, TLV length and `tlv` bytes.
bytes service_message(std::uint8_t type, std::uint8_t txn, std::size_t tlv = 0) {
    bytes m{type, txn, 0x00, 0x20, 0x00, static_cast<std::uint8_t>(tlv), 0x00};
    for (std::size_t i = 0; i < tlv; ++i) {
        m.push_back(static_cast<std::uint8_t>(0x40 + i));
    }
    return m;
}

// A synchronous read of `size` bytes: the error (0 on success) and the bytes read.
struct read_result {
    DWORD error = 0;
    bytes data;
};
read_result read(HANDLE h, std::size_t size) {
    read_result r;
    bytes buffer(size, 0xAB);
    DWORD n = 0;
    if (!ReadFile(h, buffer.data(), static_cast<DWORD>(size), &n, nullptr)) {
        r.error = GetLastError();
    }
    r.data.assign(buffer.begin(), buffer.begin() + n);
    return r;
}

// A synchronous write: the error (0 on success) and the bytes reported written.
std::pair<DWORD, DWORD> write(HANDLE h, const bytes& data) {
    DWORD n = 0xFFFF;
    if (!WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n, nullptr)) {
        return {GetLastError(), n};
    }
    return {0, n};
}

TEST_F(Session, StoredMessagesAreReadWholeInOrderAndAShortBufferDiscardsOne) {
    bring_up();
    HANDLE h = open_vrax();
    PCLIENT_CONTEXT s = session_of(h);
    const bytes first = service_message(4, 1, 3);
    const bytes second = service_message(4, 2, 5);
    const bytes third = service_message(4, 3);
    store_message(s, first);
    store_message(s, second);
    store_message(s, third);

    // A larger buffer gets the message's size; the bytes after it are left as they were.
    bytes buffer(32, 0xAB);
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(h, buffer.data(), 32, &n, nullptr));
    ASSERT_EQ(n, first.size());
    EXPECT_EQ(bytes(buffer.begin(), buffer.begin() + n), first);
    EXPECT_TRUE(std::all_of(buffer.begin() + n, buffer.end(), [](auto b) { return b == 0xAB; }));

    // One byte short: refused, and that message is gone.
    read_result r = read(h, second.size() - 1);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(stored_messages(s), 1u);
    r = read(h, 64);
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(r.data, third);
    EXPECT_EQ(stored_messages(s), 0u);
    CloseHandle(h);
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_FRAME).count, 0u);
}

// Reading a type-2 message gives one write unit back; other types give nothing, and no
// count goes below 0.
TEST_F(Session, ReadingATypeTwoMessageReleasesOneWriteUnit) {
    bring_up();
    HANDLE h = open_vrax();
    PCLIENT_CONTEXT s = session_of(h);
    set_outstanding(s, 3);
    store_message(s, service_message(2, 1));
    EXPECT_EQ(read(h, 64).error, 0u);
    EXPECT_EQ(outstanding(s), 2u);
    store_message(s, service_message(4, 2));
    EXPECT_EQ(read(h, 64).error, 0u);
    EXPECT_EQ(outstanding(s), 2u) << "only type 2 answers a write";

    set_outstanding(s, 1);
    store_message(s, service_message(2, 3));
    EXPECT_EQ(read(h, 64).error, 0u);
    EXPECT_EQ(outstanding(s), 0u);
    EXPECT_EQ(far_end::frames_waiting(0), 0u) << "nothing was held back to send";

    store_message(s, service_message(2, 4));
    EXPECT_EQ(read(h, 64).error, 0u);
    EXPECT_EQ(outstanding(s), 0u);
    EXPECT_TRUE(traced("type-2 message with no write out"));

    // A discarded type-2 message (buffer too small) gives nothing back.
    set_outstanding(s, 2);
    store_message(s, service_message(2, 5, 4));
    EXPECT_EQ(read(h, 4).error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(outstanding(s), 2u);
    CloseHandle(h);
}

TEST_F(Session, AWriteIsFramedForTheSessionsServiceAndClientId) {
    bring_up();
    HANDLE h = open_vrax();
    PCLIENT_CONTEXT s = session_of(h);
    bind(s, 0, 3, 9, true);
    // Any bytes are a message: this one's own length field is wrong and goes out unchanged.
    bytes message = service_message(0, 0x34, 9);
    message[5] = 0x77;
    auto [error, n] = write(h, message);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(n, message.size());
    EXPECT_EQ(outstanding(s), 1u);

    auto frame = next_service_frame();
    ASSERT_TRUE(frame.has_value());
    const std::size_t length = message.size();
    ASSERT_EQ(frame->size(), length + 6);
    EXPECT_EQ(VraxReadU16(frame->data() + VRAX_FRAME_LENGTH_OFFSET), length + 5);
    EXPECT_EQ(bytes(frame->begin() + 6, frame->end()), message);
    const std::string line = framedecode::decode_frame(*frame);
    EXPECT_EQ(line.rfind("if=0x01 len=21 flags=0x00 svc=3 cid=9 |", 0), 0u) << line;
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_SEND).count, 0u);
    CloseHandle(h);
}

// The longest message a frame can carry goes out whole; one byte more is refused and sends
// nothing.
TEST_F(Session, AWriteLongerThanAFrameCanCarryIsRefused) {
    bring_up();
    HANDLE h = open_vrax();
    PCLIENT_CONTEXT s = session_of(h);
    bind(s, 0, 3, 9, true);
    bytes longest(VRAX_MESSAGE_MAX_SIZE);
    std::iota(longest.begin(), longest.end(), 0);
    auto [error, n] = write(h, longest);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(n, longest.size());
    auto frame = next_service_frame();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->size(), 65536u);
    EXPECT_EQ(VraxReadU16(frame->data() + VRAX_FRAME_LENGTH_OFFSET), 0xFFFFu);

    longest.push_back(0);
    auto [error2, n2] = write(h, longest);
    EXPECT_EQ(error2, static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_EQ(n2, 0u);
    EXPECT_FALSE(next_service_frame(200).has_value());
    EXPECT_EQ(outstanding(s), 1u);
    CloseHandle(h);
}

// Fifteen writes go out; the next ones wait until a type-2 message comes back, one per
// message, oldest first.
TEST_F(Session, TheSixteenthWriteWaitsForATypeTwoMessage) {
    bring_up();
    HANDLE h = open_vrax(/*overlapped=*/true);
    PCLIENT_CONTEXT s = session_of(h);
    bind(s, 0, 3, 9, true);
    for (std::uint8_t i = 0; i < VRAX_MAX_OUTSTANDING_WRITES; ++i) {
        auto w = start_write(h, service_message(0, i));
        DWORD n = 0;
        EXPECT_EQ(w->finish(h, &n), 0u);
        EXPECT_EQ(n, 7u);
    }
    EXPECT_EQ(outstanding(s), 15u);
    auto sixteenth = start_write(h, service_message(0, 16));
    auto seventeenth = start_write(h, service_message(0, 17));
    auto eighteenth = start_write(h, service_message(0, 18));
    settle_ms(100);
    EXPECT_FALSE(sixteenth->done());
    EXPECT_FALSE(eighteenth->done());
    for (int i = 0; i < 15; ++i) {
        auto frame = next_service_frame();
        ASSERT_TRUE(frame.has_value());
        EXPECT_EQ((*frame)[7], i);
    }
    EXPECT_FALSE(next_service_frame(100).has_value());

    store_message(s, service_message(2, 1));
    auto r = start_read(h, 64);
    DWORD n = 0;
    EXPECT_EQ(r->finish(h, &n), 0u);
    EXPECT_EQ(sixteenth->finish(h, &n), 0u);
    EXPECT_EQ(n, 7u);
    EXPECT_FALSE(seventeenth->done());
    auto frame = next_service_frame();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ((*frame)[7], 16);
    EXPECT_EQ(outstanding(s), 15u);

    // The port goes away under the held writes (rebound to a port that is not open). The
    // unit a type-2 message gives back lets the oldest go: it completes with 0 bytes and,
    // not being outstanding, lets the next one go at once rather than strand it with
    // nothing outstanding left to release it.
    bind(s, 5, 3, 9, true);
    store_message(s, service_message(2, 2));
    r = start_read(h, 64);
    EXPECT_EQ(r->finish(h, &n), 0u);
    EXPECT_EQ(seventeenth->finish(h, &n), 0u);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(eighteenth->finish(h, &n), 0u);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(outstanding(s), 14u);
    CloseHandle(h);
}

// The clean-up leaves WriteBacklog alone, but the framework cancels the closing handle's
// requests still waiting in its queues: a held write is not stranded by the close.
TEST_F(Session, AHeldWriteIsCancelledWhenItsHandleCloses) {
    bring_up();
    HANDLE h = open_vrax(/*overlapped=*/true);
    PCLIENT_CONTEXT s = session_of(h);
    bind(s, 0, 3, 9, true);
    set_outstanding(s, 15);
    auto held = start_write(h, service_message(0, 1));
    settle_ms(10);
    ASSERT_FALSE(held->done());
    CloseHandle(h);
    ASSERT_TRUE(wait_until([&] { return held->done(); }));
    EXPECT_EQ(static_cast<NTSTATUS>(held->ov.Internal), STATUS_CANCELLED);
    EXPECT_FALSE(next_service_frame(200).has_value());
}

// A write on a port that is not open reports nothing written and does not count: twenty of
// them leave the session free to write.
TEST_F(Session, WritesThatCannotBeSentDoNotCountAsOutstanding) {
    bring_up();
    HANDLE h = open_vrax();
    PCLIENT_CONTEXT s = session_of(h);
    bind(s, 5, 3, 9, true);
    for (int i = 0; i < 20; ++i) {
        auto [error, n] = write(h, service_message(0, static_cast<std::uint8_t>(i)));
        EXPECT_EQ(error, 0u);
        EXPECT_EQ(n, 0u);
    }
    EXPECT_EQ(outstanding(s), 0u);
    EXPECT_TRUE(traced("port 5 service 3 client 9: write of 7 bytes not sent, result -5"));

    // Without memory for the send buffer the write fails and sends nothing.
    bind(s, 0, 3, 9, true);
    faults::fail_nth("ExAllocatePoolWithTag", 1, STATUS_INSUFFICIENT_RESOURCES);
    auto [error, n] = write(h, service_message(0, 1));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(outstanding(s), 0u);
    EXPECT_FALSE(next_service_frame(200).has_value());

    // And with it the same session writes again.
    auto [error2, n2] = write(h, service_message(0, 2));
    EXPECT_EQ(error2, 0u);
    EXPECT_EQ(n2, 7u);
    EXPECT_EQ(outstanding(s), 1u);
    CloseHandle(h);
}

// An unbound session's write is a whole control-service message, sent on service 0 from
// client id 0; the write reports 0 bytes.
TEST_F(Session, AnUnboundSessionsWriteGoesToTheControlServiceAsWritten) {
    bring_up();
    HANDLE h = open_vrax();
    PCLIENT_CONTEXT s = session_of(h);
    const bytes message{0x00, 0x00, 0x2B, 0x00, 0x03, 0x00, 0x01, 0x00, 0x00};
    auto [error, n] = write(h, message);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(n, 0u);
    if (traced("kind 12 (9 bytes) refused")) {
        // The control-request sender is still the interim that refuses every request.
        EXPECT_EQ(outstanding(s), 0u);
        CloseHandle(h);
        GTEST_SKIP() << "control-request sender not built on this branch";
    }
    std::optional<bytes> frame;
    while ((frame = far_end::next_frame(0, far_end::deadline_in_ms(1000)))) {
        if (frame->size() == message.size() + 6 && (*frame)[6 + 2] == 0x2B) {
            break;
        }
    }
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ((*frame)[VRAX_FRAME_SERVICE_TYPE_OFFSET], 0);
    EXPECT_EQ((*frame)[VRAX_FRAME_CLIENT_ID_OFFSET], 0);
    EXPECT_EQ(bytes(frame->begin() + 8, frame->end()), bytes(message.begin() + 2, message.end()));
    EXPECT_EQ(outstanding(s), 1u);
    CloseHandle(h);
}

}  // namespace
}  // namespace session_test
