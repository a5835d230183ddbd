// The controls completed at once, through DeviceIoControl on \\.\VRAX: each code's length
// rules, binding and its version words, the reset, the port-stop request consumed by the
// next message read, submitted control requests, codes the driver does not serve, and a
// seeded sweep of every code with arbitrary lengths and bytes.
#include <vrax/vrax_ioctl.h>

#include <random>

#include "core/scheduler.h"
#include "io/io_manager.h"
#include "io/irp.h"
#include "ioctl_fixture.h"
#include "smd/far_end.h"

#include "vrax_device.h"

namespace ioctl_test {
namespace {

constexpr DWORD bind_codes[] = {IOCTL_VRAX_BIND_SERVICE, IOCTL_VRAX_BIND_SERVICE_2};

std::uint16_t word(const bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

TEST_F(IoctlMachine, BindReturnsTheVersionWordsTheOutputLengthHasRoomFor) {
    bring_up();
    HANDLE h = open_vrax();
    for (DWORD code : bind_codes) {
        SCOPED_TRACE(code);
        struct {
            std::size_t out;
            DWORD returned;
        } cases[] = {{3, 0}, {4, 4}, {6, 4}, {8, 8}, {10, 4}};
        for (const auto& c : cases) {
            outcome r = control(h, code, u32(3), c.out);
            ASSERT_EQ(r.error, 0u) << c.out;
            EXPECT_EQ(r.returned, c.returned) << c.out;
            if (c.returned >= 4) {
                EXPECT_EQ(word(r.out, 0), 0x0101);
                EXPECT_EQ(word(r.out, 2), 0x0202);
            }
            if (c.returned == 8) {
                EXPECT_EQ(word(r.out, 4), 0x0303);
                EXPECT_EQ(word(r.out, 6), 0x0404);
            }
        }
        // No output at all: the session is bound, the control fails, the lock is free.
        EXPECT_EQ(control(h, code, u32(1), 0).error, static_cast<DWORD>(ERROR_GEN_FAILURE));
        PCLIENT_CONTEXT s = session_of(h);
        EXPECT_EQ(s->ServiceType, 1u);
        EXPECT_EQ(s->ServiceVersion[1], 0x0002);
        EXPECT_EQ(control(h, code, u32(3), 8).error, 0u) << "ClientSessionsLock was released";
    }
    CloseHandle(h);
}

TEST_F(IoctlMachine, BindTakesThePortOnlyFromAnEightByteInputAndRefusesWhatIsOutOfRange) {
    bring_up();
    HANDLE h = open_vrax();
    PCLIENT_CONTEXT s = session_of(h);

    // Port 3 has reported nothing: its words are zero.
    outcome r = control(h, IOCTL_VRAX_BIND_SERVICE, cat({u32(3), u32(3)}), 8);
    ASSERT_EQ(r.error, 0u);
    EXPECT_EQ(r.out, bytes(8, 0));
    EXPECT_EQ(s->PortIndex, 3u);
    // A 4-byte input keeps the port but reads port 0's words; so does any other length.
    for (std::size_t extra : {0u, 1u, 8u}) {
        bytes in = u32(3);
        in.resize(4 + extra, 0x77);
        r = control(h, IOCTL_VRAX_BIND_SERVICE, in, 8);
        ASSERT_EQ(r.error, 0u) << extra;
        EXPECT_EQ(word(r.out, 6), 0x0404) << extra;
        EXPECT_EQ(s->PortIndex, 3u) << extra;
    }

    // Refused before anything changes: a short input, a port above 28, a service above 254.
    const DWORD invalid = ERROR_INVALID_PARAMETER;
    EXPECT_EQ(control(h, IOCTL_VRAX_BIND_SERVICE, {0, 0, 0}, 8).error, invalid);
    EXPECT_EQ(control(h, IOCTL_VRAX_BIND_SERVICE, cat({u32(1), u32(29)}), 8).error, invalid);
    EXPECT_EQ(control(h, IOCTL_VRAX_BIND_SERVICE, cat({u32(1), u32(0xFFFFFFFF)}), 8).error,
              invalid);
    EXPECT_EQ(control(h, IOCTL_VRAX_BIND_SERVICE, u32(255), 8).error, invalid);
    EXPECT_EQ(control(h, IOCTL_VRAX_BIND_SERVICE, {}, 8).error,
              static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES))
        << "an input that cannot be retrieved";
    EXPECT_EQ(s->PortIndex, 3u);
    EXPECT_EQ(s->ServiceType, 3u);
    CloseHandle(h);
}

TEST_F(IoctlMachine, AFirstBindToAServiceThatReportsItsPortStatePostsPortReady) {
    bring_up();
    HANDLE h = open_vrax();
    ASSERT_EQ(control(h, IOCTL_VRAX_BIND_SERVICE, u32(3), 8).error, 0u);
    outcome n = control(h, IOCTL_VRAX_READ_NOTIFICATION, {}, 8);
    ASSERT_EQ(n.error, 0u);
    EXPECT_EQ(n.returned, 8u);
    EXPECT_EQ(n.out, cat({u32(0), u32(3)}));

    // Bound already: a second bind posts nothing, so the next notification read waits.
    ASSERT_EQ(control(h, IOCTL_VRAX_BIND_SERVICE, u32(3), 8).error, 0u);
    auto read = start_control(h, IOCTL_VRAX_READ_NOTIFICATION, {}, 8);
    settle_ms(100);
    EXPECT_FALSE(read->done());
    ASSERT_TRUE(CancelIoEx(h, &read->ov));
    EXPECT_EQ(finish(h, *read).error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    // A service whose word 2 is 0 posts nothing either, even to an unbound session.
    HANDLE other = open_vrax();
    ASSERT_EQ(control(other, IOCTL_VRAX_BIND_SERVICE, u32(1), 8).error, 0u);
    EXPECT_EQ(WdfCollectionGetCount(session_of(other)->Notifications), 0u);
    CloseHandle(other);
    CloseHandle(h);
}

TEST_F(IoctlMachine, ResetNeedsEightBytesInAndTwelveOutAndLeavesTheSessionKeyZero) {
    bring_up();
    HANDLE h = open_vrax();
    PCLIENT_CONTEXT s = session_of(h);
    ASSERT_NE(s->SessionKey, 0u);
    const DWORD invalid = ERROR_INVALID_PARAMETER;
    EXPECT_EQ(control(h, IOCTL_VRAX_RESET_SESSION, bytes(7), 12).error, invalid);
    EXPECT_EQ(control(h, IOCTL_VRAX_RESET_SESSION, bytes(8), 11).error, invalid);
    EXPECT_EQ(control(h, IOCTL_VRAX_RESET_SESSION, bytes(8), 13).error, invalid);
    EXPECT_EQ(control(h, IOCTL_VRAX_RESET_SESSION, {}, 0).error, invalid);
    EXPECT_NE(s->SessionKey, 0u);

    outcome r = control(h, IOCTL_VRAX_RESET_SESSION, bytes(8, 0xEE), 12);
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(r.returned, 0u) << "the zeroed record is not returned";
    EXPECT_EQ(r.out, bytes(12, 0x5A));
    EXPECT_EQ(s->SessionKey, 0u);
    EXPECT_EQ(s->Kind, static_cast<ULONG>(VRAX_SESSION_KIND_BOUND));
    CloseHandle(h);
}

TEST_F(IoctlMachine, AStopRequestFailsTheNextMessageReadOnce) {
    bring_up();
    HANDLE h = open_vrax();
    EXPECT_EQ(control(h, IOCTL_VRAX_STOP_PORT, bytes(3), 0).error,
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(control(h, IOCTL_VRAX_STOP_PORT, bytes(5), 0).error,
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(KeReadStateEvent(&PortStopRequestEvent), 0);
    ASSERT_EQ(control(h, IOCTL_VRAX_STOP_PORT, bytes(4, 0x99), 0).error, 0u);

    ASSERT_EQ(control(h, IOCTL_VRAX_BIND_SERVICE, u32(1), 4).error, 0u);
    EXPECT_EQ(control(h, IOCTL_VRAX_READ_MESSAGE, {}, 64).error,
              static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
    // The second read goes to the read path: it waits for a broadcast on service 1.
    auto read = start_control(h, IOCTL_VRAX_READ_MESSAGE, {}, 64);
    settle_ms(50);
    ASSERT_FALSE(read->done());
    const bytes message{0x04, 0x01, 0x00, 0x33, 0x00, 0x00, 0x00};
    bytes f{0x01, static_cast<std::uint8_t>(5 + message.size()), 0, 0, 1, 0xFF};
    f.insert(f.end(), message.begin(), message.end());
    ASSERT_EQ(smd::far_end::queue_read(0, f), STATUS_SUCCESS);
    outcome r = finish(h, *read);
    ASSERT_EQ(r.error, 0u);
    ASSERT_EQ(r.returned, message.size());
    EXPECT_EQ(bytes(r.out.begin(), r.out.begin() + message.size()), message);
    CloseHandle(h);
}

TEST_F(IoctlMachine, SubmittedControlRequestsSucceedWhateverTheirOutcome) {
    bring_up();
    HANDLE h = open_vrax();
    const unsigned before = requests_seen(0x22);
    // A whole kind 1 request is sent; the transaction id it drew is no failure to trace.
    bytes full = cat({u32(1), u32(0x4444), bytes(24), bytes(3328)});
    full[32] = 7;
    EXPECT_EQ(control(h, IOCTL_VRAX_SUBMIT_CONTROL_REQUEST, full, 0).error, 0u);
    EXPECT_FALSE(traced("submitted control request"));
    // Too short for a descriptor, a refused kind, a kind 1 cut one byte short: all succeed,
    // and the refusal is traced.
    EXPECT_EQ(control(h, IOCTL_VRAX_SUBMIT_CONTROL_REQUEST, bytes(10, 0xFF), 0).error, 0u);
    EXPECT_TRUE(traced("submitted control request"));
    EXPECT_EQ(control(h, IOCTL_VRAX_SUBMIT_CONTROL_REQUEST, cat({u32(12), bytes(3356)}), 0).error,
              0u);
    EXPECT_EQ(control(h, IOCTL_VRAX_SUBMIT_CONTROL_REQUEST, cat({u32(1), bytes(3355)}), 0).error,
              0u);
    EXPECT_EQ(control(h, IOCTL_VRAX_SUBMIT_CONTROL_REQUEST, {}, 0).error,
              static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
    ASSERT_TRUE(wait_until([&] { return requests_seen(0x22) == before + 1; }, 1000));
    CloseHandle(h);
}

TEST_F(IoctlMachine, OtherCodesAndRequestsWithoutAFileObjectAreRefused) {
    bring_up();
    HANDLE h = open_vrax();
    for (DWORD code : {0x123FCu, 0x12434u, 0x12401u, 0x12402u, 0x12403u, 0x22000u, 0u}) {
        EXPECT_EQ(control(h, code, bytes(8), 8).error, static_cast<DWORD>(ERROR_INVALID_FUNCTION))
            << std::hex << code;
    }
    // A kernel-mode sender's control, with no file object, belongs to no session.
    _IRP irp;
    irp.major = IRP_MJ_DEVICE_CONTROL;
    irp.ioctl_code = IOCTL_VRAX_BIND_SERVICE;
    irp.requestor_mode = KernelMode;
    bool done = false;
    irp.on_complete = [&done](PIRP) {
        auto& sch = platform::scheduler::get();
        std::lock_guard g(sch.lock());
        done = true;
        sch.wake();
    };
    (void)platform::io::call_driver(machine_->control_device_object(), &irp);
    ASSERT_TRUE(wait_until([&] { return done; }, 1000));
    EXPECT_EQ(irp.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(control(h, IOCTL_VRAX_BIND_SERVICE, u32(1), 4).error, 0u);
    CloseHandle(h);
}

// Every code with lengths from 0 to 4 KiB in and out and arbitrary bytes: each completes,
// the next control is served, the platform's verifier and sanitizers see no access outside
// the system buffer, and what comes back beyond the input holds no unwritten bytes (the
// I/O manager fills the system buffer with 0xCC).
TEST_F(IoctlMachine, EveryCodeSurvivesArbitraryLengthsAndBytes) {
    bring_up();
    script([](modem_script& s) {
        s.answer_client_id = false;  // the deferred controls time out, or are cancelled
        s.answer_value = false;
        s.answer_service_two = false;
    });
    HANDLE h = open_vrax();
    std::mt19937 random(20260115);
    const std::size_t lengths[] = {0,  1,  2,   3,   4,   7,   8,   9,   11,   12,   13,
                                   31, 32, 255, 256, 257, 511, 512, 513, 3359, 3360, 4096};
    auto pick = [&] { return lengths[random() % std::size(lengths)]; };
    for (int round = 0; round < 6; ++round) {
        for (DWORD function = 0x8FF; function <= 0x90D; ++function) {
            const DWORD code = VRAX_IOCTL(function);
            bytes in(pick());
            for (auto& b : in) {
                b = static_cast<std::uint8_t>(random() % 4 == 0 ? 0 : random());
            }
            // Keep a few inputs in range so that the controls get past their checks.
            if (in.size() >= 4 && random() % 2 == 0) {
                in[0] = static_cast<std::uint8_t>(random() % 4);
                in[1] = in[2] = in[3] = 0;
            }
            if (in.size() >= 12 && random() % 2 == 0) {
                in[8] = in[9] = in[10] = in[11] = 0;
            }
            const std::size_t out = pick();
            auto io = start_control(h, code, in, out);
            settle_ms(random() % 50);
            // A read parks until something arrives: it is always cancelled; a deferred
            // control is cancelled or left to its time-out.
            const bool read =
                code == IOCTL_VRAX_READ_MESSAGE || code == IOCTL_VRAX_READ_NOTIFICATION;
            if (!io->done() && (read || random() % 2 == 0)) {
                CancelIoEx(h, &io->ov);
            }
            outcome r = finish(h, *io);
            ASSERT_LE(r.returned, out);
            if (r.error == 0 && code != IOCTL_VRAX_OPEN_EVENT && code != IOCTL_VRAX_OPEN_EVENT_W) {
                for (std::size_t i = in.size(); i < r.returned; ++i) {
                    EXPECT_NE(r.out[i], 0xCC) << std::hex << code << " byte " << i;
                }
            }
        }
    }
    // The queue still serves requests.
    EXPECT_EQ(control(h, IOCTL_VRAX_BIND_SERVICE, u32(3), 8).error, 0u);
    CloseHandle(h);
}

}  // namespace
}  // namespace ioctl_test
