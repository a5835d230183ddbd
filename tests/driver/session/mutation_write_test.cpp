// Write flow control of a session that has bound no service: its writes go to the control
// service whole, and what decides whether one counts as outstanding is whether it went out,
// not whether the control-request sender tracked it.
#include "session_fixture.h"

#include "smd/far_end.h"

#include "vrax_wire.h"

namespace session_test {
namespace {

namespace far_end = smd::far_end;

// A synchronous write: the error (0 on success) and the bytes reported written.
std::pair<DWORD, DWORD> write(HANDLE h, const bytes& data) {
    DWORD n = 0xFFFF;
    if (!WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n, nullptr)) {
        return {GetLastError(), n};
    }
    return {0, n};
}

// The next frame on port 0 of exactly `size` bytes (the driver's own control requests may
// come first); nothing within a second.
std::optional<bytes> frame_of_size(std::size_t size) {
    std::optional<bytes> frame;
    while ((frame = far_end::next_frame(0, far_end::deadline_in_ms(1000)))) {
        if (frame->size() == size) {
            return frame;
        }
    }
    return std::nullopt;
}

// A control message too short for a control header has no transaction id, so the sender
// sends it without a record and returns 0 rather than an id: it still went out, and counts
// like every other write that did. One on a port that is not open did not go out and does
// not count.
TEST_F(Session, AnUnboundSessionsShortControlWriteStillCountsOnceSent) {
    bring_up();
    HANDLE h = open_vrax();
    PCLIENT_CONTEXT s = session_of(h);
    const bytes stub{0x00, 0x63, 0x2B};
    auto [error, n] = write(h, stub);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(n, 0u) << "a control-service write reports 0 bytes";
    auto frame = frame_of_size(stub.size() + VRAX_FRAME_HEADER_SIZE);
    ASSERT_TRUE(frame.has_value()) << "the short message went out";
    EXPECT_EQ((*frame)[VRAX_FRAME_SERVICE_TYPE_OFFSET], VRAX_SERVICE_CONTROL);
    EXPECT_EQ(bytes(frame->begin() + VRAX_FRAME_HEADER_SIZE, frame->end()), stub)
        << "sent unchanged: it has no transaction id to renumber";
    EXPECT_EQ(outstanding(s), 1u);

    // Port 5 is not open: the same write is not sent and leaves the count alone.
    bind(s, 5, VRAX_SERVICE_CONTROL, 0, false);
    for (int i = 0; i < 20; ++i) {
        auto [error2, n2] = write(h, stub);
        EXPECT_EQ(error2, 0u);
        EXPECT_EQ(n2, 0u);
    }
    EXPECT_EQ(outstanding(s), 1u);
    CloseHandle(h);
}

}  // namespace
}  // namespace session_test
