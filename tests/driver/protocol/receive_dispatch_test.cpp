// The receive hand-off: one handler, the attachment table, and what a completed port read
// hands on (which bytes, how many, for which port) or drops.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include <ntddk.h>
#include <wdf.h>

#include "port/receive_dispatch.h"

namespace {

using bytes = std::vector<std::uint8_t>;

struct received {
    int handler;
    ULONG port;
    const UCHAR* frame;
    ULONG length;
};
std::vector<received> deliveries;

VOID FirstHandler(ULONG port, PUCHAR frame, ULONG length) {
    deliveries.push_back({1, port, frame, length});
}
VOID SecondHandler(ULONG port, PUCHAR frame, ULONG length) {
    deliveries.push_back({2, port, frame, length});
}

// A completed read of `length` bytes into `buffer` (a memory object over its storage).
class Read {
  public:
    Read(bytes& buffer, size_t length) {
        EXPECT_EQ(WdfMemoryCreatePreallocated(WDF_NO_OBJECT_ATTRIBUTES, buffer.data(),
                                              buffer.size(), &memory_),
                  STATUS_SUCCESS);
        WDF_REQUEST_COMPLETION_PARAMS_INIT(&params_);
        params_.Type = WdfRequestTypeRead;
        params_.Parameters.Read.Buffer = memory_;
        params_.Parameters.Read.Length = length;
    }
    ~Read() { WdfObjectDelete(memory_); }
    void dispatch(ULONG port) {
        SMD_PORT_RECORD record{};
        record.PortIndex = port;
        ReceiveDispatch(nullptr, nullptr, &params_, &record);
    }
    WDF_REQUEST_COMPLETION_PARAMS& params() { return params_; }

  private:
    WDFMEMORY memory_ = nullptr;
    WDF_REQUEST_COMPLETION_PARAMS params_;
};

// A 12-byte control-service frame whose message-id low byte is `id`.
bytes control_frame(UCHAR id) {
    return bytes{0x01, 11, 0x00, 0x00, 0x00, 0x00, 0x01, 0x03, id, 0x00, 0x00, 0x00};
}

UCHAR token[16];

TEST(ReceiveHandoff, OneHandlerOnlyAndTheFirstKeepsReceiving) {
    EXPECT_EQ(RegisterReceiveHandler(nullptr), -1);
    EXPECT_EQ(RegisterReceiveHandler(FirstHandler), 0);
    EXPECT_EQ(RegisterReceiveHandler(SecondHandler), -1);
    EXPECT_EQ(RegisterReceiveHandler(FirstHandler), -1);

    bytes f = control_frame(0x22);
    EXPECT_EQ(DispatchReceivedFrame(f.data(), static_cast<ULONG>(f.size()), 4), 0);
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].handler, 1);
    EXPECT_EQ(deliveries[0].port, 4u);
    EXPECT_EQ(deliveries[0].frame, f.data());
    EXPECT_EQ(deliveries[0].length, 12u);
}

// The handler gets the frame each call was given, not what the port's entry held before it
// (the attachment token, or the frame of the previous read).
TEST(ReceiveHandoff, EachFrameReachesTheHandlerAsItWasDispatched) {
    ASSERT_EQ(RegisterReceiveHandler(FirstHandler), 0);
    ASSERT_EQ(AttachPort(2, token), 0);
    bytes a = control_frame(0x22);
    bytes b = control_frame(0x24);
    EXPECT_EQ(DispatchReceivedFrame(a.data(), 12, 2), 0);
    EXPECT_EQ(DispatchReceivedFrame(b.data(), 7, 2), 0);
    EXPECT_EQ(DispatchReceivedFrame(a.data(), 12, 3), 0);
    ASSERT_EQ(deliveries.size(), 3u);
    EXPECT_EQ(deliveries[0].frame, a.data());
    EXPECT_EQ(deliveries[1].frame, b.data());
    EXPECT_EQ(deliveries[1].length, 7u);
    EXPECT_EQ(deliveries[2].frame, a.data()) << "a port never attached";
    EXPECT_EQ(deliveries[2].port, 3u);
}

// What unload leaves: no handler, nothing attached, so a driver loaded again registers its
// handler and attaches its ports as the first time.
TEST(ReceiveHandoff, ResetForgetsTheHandlerAndEveryAttachment) {
    ASSERT_EQ(RegisterReceiveHandler(SecondHandler), 0);
    ASSERT_EQ(AttachPort(0, token), 0);
    ASSERT_EQ(AttachPort(28, token), 0);
    ResetReceiveHandoff();
    EXPECT_FALSE(IsPortAttached(0));
    EXPECT_FALSE(IsPortAttached(28));
    bytes f = control_frame(0x22);
    EXPECT_EQ(DispatchReceivedFrame(f.data(), 12, 0), 0);
    EXPECT_TRUE(deliveries.empty()) << "no handler after the reset";
    EXPECT_EQ(AttachPort(0, token), -1) << "no handler to attach for";
    EXPECT_EQ(RegisterReceiveHandler(FirstHandler), 0);
    EXPECT_EQ(AttachPort(28, token), 0);
    EXPECT_EQ(DispatchReceivedFrame(f.data(), 12, 28), 0);
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].handler, 1);
}

TEST(ReceiveHandoff, AttachmentChecks) {
    EXPECT_EQ(AttachPort(0, token), -1) << "no handler registered yet";
    EXPECT_FALSE(IsPortAttached(0));

    ASSERT_EQ(RegisterReceiveHandler(FirstHandler), 0);
    EXPECT_EQ(AttachPort(29, token), -1);
    EXPECT_EQ(AttachPort(0, nullptr), -1);
    EXPECT_FALSE(IsPortAttached(0));
    EXPECT_EQ(AttachPort(0, token), 0);
    EXPECT_TRUE(IsPortAttached(0));
    EXPECT_EQ(AttachPort(0, token), -1) << "attached once";
    EXPECT_TRUE(IsPortAttached(0));
    EXPECT_FALSE(IsPortAttached(1));
    EXPECT_FALSE(IsPortAttached(29));
    EXPECT_FALSE(IsPortAttached(0xFFFFFFFF));

    DetachPort(0);
    EXPECT_FALSE(IsPortAttached(0));
    EXPECT_EQ(AttachPort(0, token), 0) << "a detached port can be attached again";
    DetachPort(29);  // out of range: ignored
}

TEST(ReceiveHandoff, DispatchChecksThePortAndPassesEmptyFramesOn) {
    bytes f = control_frame(0x22);
    EXPECT_EQ(DispatchReceivedFrame(f.data(), 12, 0), 0) << "no handler: recorded only";
    ASSERT_EQ(RegisterReceiveHandler(FirstHandler), 0);
    EXPECT_EQ(DispatchReceivedFrame(f.data(), 12, 29), -1);
    EXPECT_TRUE(deliveries.empty());
    EXPECT_EQ(DispatchReceivedFrame(f.data(), 0, 28), 0);
    ASSERT_EQ(deliveries.size(), 1u) << "an empty read is still handed on";
    EXPECT_EQ(deliveries[0].length, 0u);
    EXPECT_EQ(deliveries[0].port, 28u);
}

TEST(ReceiveHandoff, ReadsReachTheHandlerWithTheirExactLength) {
    ASSERT_EQ(RegisterReceiveHandler(FirstHandler), 0);
    bytes buffer(8193, 0);
    bytes f = control_frame(0x22);
    std::copy(f.begin(), f.end(), buffer.begin());
    Read read(buffer, f.size());
    read.dispatch(0);
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].port, 0u);
    EXPECT_EQ(deliveries[0].frame, buffer.data());
    EXPECT_EQ(deliveries[0].length, 12u);

    // A read that fills its buffer to the last byte is whole, not too long.
    bytes exact = control_frame(0x22);
    Read full(exact, exact.size());
    full.dispatch(5);
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[1].port, 5u);
    EXPECT_EQ(deliveries[1].frame, exact.data());
    EXPECT_EQ(deliveries[1].length, 12u);
}

TEST(ReceiveHandoff, PortOpenNoticeAnswersAreDropped) {
    ASSERT_EQ(RegisterReceiveHandler(FirstHandler), 0);
    bytes notice = control_frame(0x27);
    Read read(notice, notice.size());
    read.dispatch(0);
    EXPECT_TRUE(deliveries.empty());

    // Another service's frame with the same byte is not the notice's answer.
    bytes other = control_frame(0x27);
    other[4] = 0x01;
    Read other_read(other, other.size());
    other_read.dispatch(0);
    EXPECT_EQ(deliveries.size(), 1u);

    // A frame too short to carry a message id is handed on whatever lies after it, for the
    // demultiplexer to refuse.
    bytes stale = control_frame(0x27);
    Read short_read(stale, 8);
    short_read.dispatch(0);
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[1].length, 8u);
}

TEST(ReceiveHandoff, ReadsWithoutUsableBufferAreDropped) {
    ASSERT_EQ(RegisterReceiveHandler(FirstHandler), 0);
    bytes f = control_frame(0x22);
    Read longer_than_buffer(f, f.size() + 1);
    longer_than_buffer.dispatch(0);

    Read no_memory(f, f.size());
    no_memory.params().Parameters.Read.Buffer = nullptr;
    no_memory.dispatch(0);
    EXPECT_TRUE(deliveries.empty());
}

}  // namespace
