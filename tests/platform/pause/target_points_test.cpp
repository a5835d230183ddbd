// The I/O target's completion point: a sent request has completed in the target, and its
// outcome is held back from the driver until the test releases it.
#include "../wdf_io/io_target_harness.h"
#include "core/pause_points.h"

using namespace io_target_test;
namespace pp = platform::pause_points;

namespace {

using TargetPoints = target_fixture;

TEST_F(TargetPoints, ACompletedSendIsHeldBeforeItsOutcomeReachesTheSender) {
    WDFIOTARGET t = make_target();
    WDFREQUEST r = nullptr;
    ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, t, &r), STATUS_SUCCESS);
    pp::hold at_completion("io-target-completion", r);
    NTSTATUS sent = STATUS_PENDING;  // guarded by the scheduler lock
    ULONG_PTR bytes = 0;
    std::uint8_t in[2] = {1, 2};
    std::uint8_t out[2] = {};
    auto sender = scheduler::get().start_thread("sender", [&] {
        WDF_MEMORY_DESCRIPTOR din, dout;
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&din, in, sizeof in);
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&dout, out, sizeof out);
        NTSTATUS st = WdfIoTargetSendIoctlSynchronously(t, r, kEcho, &din, &dout, nullptr, &bytes);
        note([&] { sent = st; });
    });
    ASSERT_TRUE(at_completion.wait_arrived()) << at_completion.describe();
    // The echo is done in the target, yet the sender still waits and has no bytes.
    EXPECT_FALSE(wait_until([&] { return sent != STATUS_PENDING; }, 100));
    EXPECT_EQ(out[0], 0);
    at_completion.release();
    sender->join();
    EXPECT_EQ(sent, STATUS_SUCCESS);
    EXPECT_EQ(bytes, 2u);
    EXPECT_EQ(out[0], 2);
    WdfObjectDelete(r);
}

}  // namespace
