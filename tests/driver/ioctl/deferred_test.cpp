// The controls that wait for an answer (client id, service-2 query, value query), through
// overlapped DeviceIoControl on \\.\VRAX against the scripted modem: answers, refusals, the
// 5-second time-outs in virtual time, and cancellation by CancelIo, CancelIoEx, the issuing
// thread's exit, the process's exit, a port loss and a power-down. The verifier checks every
// request is completed once, never while cancelable, and that nothing is left at shutdown.
#include <vrax/vrax_ioctl.h>

#include "core/pause_points.h"
#include "io/security.h"
#include "ioctl_fixture.h"
#include "smd/far_end.h"

#include "vrax_device.h"

namespace ioctl_test {
namespace {

const DWORD aborted = ERROR_OPERATION_ABORTED;

TEST_F(IoctlMachine, AGrantedClientIdIsReturnedInTheSharedBuffer) {
    bring_up();
    HANDLE h = open_vrax();
    // 8-byte input: service 3 on port 0; the output overwrites the input's first byte.
    outcome r = control(h, IOCTL_VRAX_GET_CLIENT_ID, cat({u32(3), u32(0)}), 1);
    ASSERT_EQ(r.error, 0u);
    EXPECT_EQ(r.returned, 1u);
    EXPECT_EQ(r.out[0], 5);
    PCLIENT_CONTEXT s = session_of(h);
    EXPECT_EQ(s->ClientId, 5);
    EXPECT_EQ(s->ServiceType, 3u);
    EXPECT_EQ(s->ClientIdHeld, 1u);
    EXPECT_EQ(s->Kind, static_cast<ULONG>(VRAX_SESSION_KIND_BOUND));
    CloseHandle(h);
    EXPECT_TRUE(wait_until([&] { return requests_seen(0x23) == 1; }, 1000))
        << "the held id is released at close";
}

TEST_F(IoctlMachine, ARefusedOrUnreturnableClientIdFailsTheControl) {
    bring_up();
    script([](modem_script& s) { s.client_id_error = 31; });
    HANDLE h = open_vrax();
    outcome r = control(h, IOCTL_VRAX_GET_CLIENT_ID, u32(3), 1);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_EQ(r.returned, 0u);
    EXPECT_EQ(session_of(h)->ClientId, VRAX_CLIENT_ID_REFUSED);

    // Granted, but there is no output byte to return it in.
    script([](modem_script& s) { s.client_id_error = 0; });
    r = control(h, IOCTL_VRAX_GET_CLIENT_ID, u32(3), 0);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_EQ(session_of(h)->ClientId, 5);

    // Out of range or too short: refused before anything is sent.
    const unsigned sent = requests_seen(0x22);
    const DWORD invalid = ERROR_INVALID_PARAMETER;
    EXPECT_EQ(control(h, IOCTL_VRAX_GET_CLIENT_ID, {3, 0, 0}, 1).error, invalid);
    EXPECT_EQ(control(h, IOCTL_VRAX_GET_CLIENT_ID, u32(255), 1).error, invalid);
    EXPECT_EQ(control(h, IOCTL_VRAX_GET_CLIENT_ID, cat({u32(3), u32(29)}), 1).error, invalid);
    EXPECT_EQ(requests_seen(0x22), sent);
    EXPECT_EQ(session_of(h)->PortIndex, 0u);
    CloseHandle(h);
}

TEST_F(IoctlMachine, AValueQueryReturnsTheAnswerLittleEndian) {
    bring_up();
    HANDLE h = open_vrax();
    const bytes in = cat({u32(0x01020304), {0x0A, 0x00, 0xEE, 0xEE}, u32(0)});
    outcome r = control(h, IOCTL_VRAX_VALUE_QUERY, in, 2);
    ASSERT_EQ(r.error, 0u);
    EXPECT_EQ(r.returned, 2u);
    EXPECT_EQ(r.out, (bytes{0x34, 0x12}));
    EXPECT_EQ(session_of(h)->RequestValue, 0x01020304u);

    // A buffer too small for the answer gets none (and nothing is written past it).
    EXPECT_EQ(control(h, IOCTL_VRAX_VALUE_QUERY, in, 1).error,
              static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
    // Port 3 has reported no control-service version; a short input; a port above 28.
    EXPECT_EQ(control(h, IOCTL_VRAX_VALUE_QUERY, cat({u32(1), u32(0), u32(3)}), 2).error,
              static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(control(h, IOCTL_VRAX_VALUE_QUERY, bytes(11), 2).error,
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(control(h, IOCTL_VRAX_VALUE_QUERY, cat({u32(1), u32(0), u32(29)}), 2).error,
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(h);
}

TEST_F(IoctlMachine, TheServiceTwoQueryTakesItsReplyThroughTheReplyCatcher) {
    bring_up();
    HANDLE h = open_vrax();
    EXPECT_EQ(control(h, IOCTL_VRAX_SERVICE_TWO_QUERY, {}, 4).error,
              static_cast<DWORD>(ERROR_INVALID_FUNCTION))
        << "an unbound session";
    ASSERT_EQ(control(h, IOCTL_VRAX_GET_CLIENT_ID, u32(1), 1).error, 0u);
    EXPECT_EQ(control(h, IOCTL_VRAX_SERVICE_TWO_QUERY, {}, 4).error,
              static_cast<DWORD>(ERROR_INVALID_FUNCTION))
        << "a session of service 1";

    ASSERT_EQ(control(h, IOCTL_VRAX_GET_CLIENT_ID, u32(2), 1).error, 0u);
    PCLIENT_CONTEXT s = session_of(h);
    const std::int64_t start = now_ms();
    outcome r = control(h, IOCTL_VRAX_SERVICE_TWO_QUERY, {}, 4);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_GEN_FAILURE)) << "answered, but returns nothing";
    EXPECT_EQ(r.returned, 0u);
    EXPECT_LT(now_ms() - start, 1000) << "the reply ended the wait";
    EXPECT_EQ(service_two_queries_seen(), 1u);
    EXPECT_EQ(bytes(s->ReplyData, s->ReplyData + 3), (bytes{0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(s->Kind, static_cast<ULONG>(VRAX_SESSION_KIND_BOUND)) << "no longer awaiting";
    CloseHandle(h);
}

TEST_F(IoctlMachine, UnansweredControlsEndAfterFiveSecondsOfVirtualTime) {
    bring_up();
    script([](modem_script& s) {
        s.answer_client_id = false;
        s.answer_value = false;
        s.answer_service_two = false;
    });
    HANDLE h = open_vrax();
    // Bound to service 2 by an answered request first, for the service-2 query.
    script([](modem_script& s) { s.answer_client_id = true; });
    ASSERT_EQ(control(h, IOCTL_VRAX_GET_CLIENT_ID, u32(2), 1).error, 0u);
    script([](modem_script& s) { s.answer_client_id = false; });

    struct {
        DWORD code;
        bytes in;
        DWORD error;
    } cases[] = {
        {IOCTL_VRAX_SERVICE_TWO_QUERY, {}, ERROR_NO_SYSTEM_RESOURCES},
        {IOCTL_VRAX_VALUE_QUERY, cat({u32(1), u32(0), u32(0)}), ERROR_SEM_TIMEOUT},
        {IOCTL_VRAX_GET_CLIENT_ID, u32(2), ERROR_SEM_TIMEOUT},
    };
    HANDLE other = open_vrax();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        const std::int64_t start = now_ms();
        auto io = start_control(h, c.code, c.in, 4);
        // The sequential queue holds every other session's request meanwhile.
        auto bind = start_control(other, IOCTL_VRAX_BIND_SERVICE, u32(1), 4);
        settle_ms(4900);
        EXPECT_FALSE(io->done());
        EXPECT_FALSE(bind->done());
        outcome r = finish(h, *io);
        const std::int64_t took = now_ms() - start;
        EXPECT_EQ(r.error, c.error);
        EXPECT_GE(took, 5000);
        EXPECT_LE(took, 5050);
        EXPECT_EQ(finish(other, *bind).error, 0u);
    }
    CloseHandle(other);
    CloseHandle(h);
}

// An answer that comes only after its control timed out sets the answer event with nobody
// waiting on it. The session's next control of the same kind must wait for an answer of its
// own, not take the stale one at once (a client id or value the program never asked for).
// The late answer is held on the port's service thread just before it sets the event.
TEST_F(IoctlMachine, AnAnswerAfterTheTimeOutIsNotTakenByTheNextControl) {
    bring_up();
    HANDLE h = open_vrax();
    PCLIENT_CONTEXT s = session_of(h);
    // Bound to service 2 with a client id, for the service-2 query.
    ASSERT_EQ(control(h, IOCTL_VRAX_GET_CLIENT_ID, u32(2), 1).error, 0u);
    struct {
        const char* what;
        DWORD code;
        bytes in;
        PKEVENT answer;
        DWORD timed_out;
    } cases[] = {
        {"client id", IOCTL_VRAX_GET_CLIENT_ID, u32(2), &s->AllocationEvent, ERROR_SEM_TIMEOUT},
        {"value query", IOCTL_VRAX_VALUE_QUERY, cat({u32(1), {0x0A, 0, 0, 0}, u32(0)}),
         &s->ResultEvent, ERROR_SEM_TIMEOUT},
        {"service-2 query",
         IOCTL_VRAX_SERVICE_TWO_QUERY,
         {},
         &s->ReplyEvent,
         ERROR_NO_SYSTEM_RESOURCES},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        script([](modem_script& m) {
            m.answer_client_id = m.answer_value = m.answer_service_two = true;
        });
        {
            namespace pp = platform::pause_points;
            pp::hold late("KeSetEvent", c.answer);
            auto io = start_control(h, c.code, c.in, 2);
            ASSERT_TRUE(late.wait_arrived()) << late.describe();
            settle_ms(5100);
            late.release();
            ASSERT_TRUE(late.wait_left());
            EXPECT_EQ(finish(h, *io).error, c.timed_out);
        }
        ASSERT_TRUE(wait_until([&c] { return KeReadStateEvent(c.answer) != 0; }, 1000))
            << "the late answer was delivered";
        script([](modem_script& m) {
            m.answer_client_id = m.answer_value = m.answer_service_two = false;
        });
        const std::int64_t start = now_ms();
        outcome r = control(h, c.code, c.in, 2);
        EXPECT_EQ(r.error, c.timed_out);
        EXPECT_EQ(r.returned, 0u);
        EXPECT_GE(now_ms() - start, 5000) << "the stale answer ended the wait";
    }
    CloseHandle(h);
}

// The service-2 query goes to the session's port; with an output of exactly 8 bytes the
// session is first moved to port 0. A failed client-id request leaves the session bound to
// service 2 on port 3, which is not open, with the id granted on port 0.
TEST_F(IoctlMachine, AServiceTwoQueryWithAnEightByteOutputMovesTheSessionToPortZero) {
    bring_up();
    HANDLE h = open_vrax();
    PCLIENT_CONTEXT s = session_of(h);
    ASSERT_EQ(control(h, IOCTL_VRAX_GET_CLIENT_ID, u32(2), 1).error, 0u);
    ASSERT_EQ(control(h, IOCTL_VRAX_GET_CLIENT_ID, cat({u32(2), u32(3)}), 1).error,
              static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES))
        << "port 3 is not open";
    ASSERT_EQ(s->PortIndex, 3u);
    for (std::size_t out : {4u, 7u, 9u}) {
        EXPECT_EQ(control(h, IOCTL_VRAX_SERVICE_TWO_QUERY, {}, out).error,
                  static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES))
            << out << " bytes: sent to port 3";
        EXPECT_EQ(s->PortIndex, 3u) << out;
    }
    EXPECT_EQ(service_two_queries_seen(), 0u);
    EXPECT_EQ(control(h, IOCTL_VRAX_SERVICE_TWO_QUERY, {}, 8).error,
              static_cast<DWORD>(ERROR_GEN_FAILURE))
        << "answered on port 0";
    EXPECT_EQ(s->PortIndex, 0u);
    EXPECT_EQ(service_two_queries_seen(), 1u);
    CloseHandle(h);
}

// CancelIo from the issuing thread and CancelIoEx of one request: completed as cancelled at
// once, and AbortEvent stays set, so the session's later deferred controls are cancelled
// at once too (after their request went out). Another session is not affected.
void cancel_and_check_later_controls(IoctlMachine* t, bool ex) {
    t->script([](modem_script& s) { s.answer_client_id = false; });
    HANDLE h = open_vrax();
    PCLIENT_CONTEXT s = session_of(h);
    auto io = start_control(h, IOCTL_VRAX_GET_CLIENT_ID, u32(2), 1);
    settle_ms(1000);
    ASSERT_FALSE(io->done());
    const std::int64_t start = now_ms();
    ASSERT_TRUE(ex ? CancelIoEx(h, &io->ov) : CancelIo(h));
    outcome r = finish(h, *io);
    EXPECT_EQ(r.error, aborted);
    EXPECT_EQ(r.returned, 0u);
    EXPECT_LT(now_ms() - start, 50);
    EXPECT_TRUE(abort_set(s));
    EXPECT_FALSE(CancelIoEx(h, &io->ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

    // Only the abort can end them: an answer already there when the wait starts would win.
    t->script([](modem_script& m) {
        m.answer_value = false;
        m.answer_service_two = false;
    });
    const std::int64_t later = now_ms();
    EXPECT_EQ(control(h, IOCTL_VRAX_GET_CLIENT_ID, u32(2), 1).error, aborted);
    EXPECT_EQ(control(h, IOCTL_VRAX_SERVICE_TWO_QUERY, {}, 1).error, aborted);
    EXPECT_EQ(control(h, IOCTL_VRAX_VALUE_QUERY, cat({u32(1), u32(0), u32(0)}), 2).error, aborted);
    EXPECT_LT(now_ms() - later, 100);
    EXPECT_TRUE(abort_set(s));

    t->script([](modem_script& m) { m.answer_client_id = true; });
    HANDLE other = open_vrax();
    EXPECT_EQ(control(other, IOCTL_VRAX_GET_CLIENT_ID, u32(2), 1).error, 0u);
    CloseHandle(other);
    CloseHandle(h);
}

TEST_F(IoctlMachine, CancelIoLeavesTheSessionsLaterControlsCancelled) {
    bring_up();
    cancel_and_check_later_controls(this, false);
}

TEST_F(IoctlMachine, CancelIoExLeavesTheSessionsLaterControlsCancelled) {
    bring_up();
    cancel_and_check_later_controls(this, true);
}

TEST_F(IoctlMachine, TheIssuingThreadsExitCancelsItsControl) {
    bring_up();
    script([](modem_script& s) { s.answer_value = false; });
    HANDLE h = open_vrax();
    struct shared {
        HANDLE h;
        pending_control* io = nullptr;
    } state{h};
    std::unique_ptr<pending_control> io;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* st = static_cast<shared*>(p);
            st->io = start_control(st->h, IOCTL_VRAX_VALUE_QUERY, cat({u32(1), u32(0), u32(0)}), 2)
                         .release();
            return 0;
        },
        &state, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(thread);
    io.reset(state.io);
    ASSERT_EQ(io->start_error, static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(finish(h, *io).error, aborted);
    EXPECT_TRUE(abort_set(session_of(h)));
    CloseHandle(h);
}

TEST_F(IoctlMachine, AProgramsExitCancelsItsControlAndFreesTheQueue) {
    bring_up();
    script([](modem_script& s) { s.answer_client_id = false; });
    bool started = false;
    std::unique_ptr<pending_control> left;
    auto program = machine_->host().run_program(
        platform::io::token_kind::administrator, "client", [&started, &left] {
            HANDLE h = open_vrax();
            auto io = start_control(h, IOCTL_VRAX_GET_CLIENT_ID, u32(3), 1);
            started = io->start_error == ERROR_IO_PENDING;
            left = std::move(io);  // to the exit
        });
    program->wait();
    EXPECT_TRUE(started);
    ASSERT_TRUE(left);
    EXPECT_TRUE(left->done());
    left->ov.hEvent = nullptr;  // the process's handle, closed at its exit
    const std::int64_t start = now_ms();
    HANDLE h = open_vrax();
    EXPECT_EQ(control(h, IOCTL_VRAX_BIND_SERVICE, u32(3), 8).error, 0u);
    EXPECT_LT(now_ms() - start, 100) << "the exit freed the sequential queue";
    CloseHandle(h);
}

// Closing the handle cleans the session up but cancels nothing the driver holds: the
// control ends by its time-out, after which the file object goes.
TEST_F(IoctlMachine, ClosingTheHandleLeavesAWaitingControlToItsTimeOut) {
    bring_up();
    script([](modem_script& s) { s.answer_client_id = false; });
    HANDLE h = open_vrax();
    auto io = start_control(h, IOCTL_VRAX_GET_CLIENT_ID, u32(3), 1);
    settle_ms(100);
    const std::int64_t start = now_ms();
    CloseHandle(h);
    ASSERT_EQ(WaitForSingleObject(io->ov.hEvent, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(static_cast<NTSTATUS>(io->ov.Internal), STATUS_IO_TIMEOUT);
    EXPECT_GE(now_ms() - start, 4850);
}

TEST_F(IoctlMachine, APortLossCancelsAWaitingControl) {
    bring_up();
    script([](modem_script& s) { s.answer_client_id = false; });
    HANDLE h = open_vrax();
    auto io = start_control(h, IOCTL_VRAX_GET_CLIENT_ID, u32(3), 1);
    settle_ms(200);
    ASSERT_FALSE(io->done());
    const std::int64_t start = now_ms();
    ASSERT_EQ(smd::far_end::close_channel(0), STATUS_SUCCESS);
    EXPECT_EQ(finish(h, *io).error, aborted);
    EXPECT_LT(now_ms() - start, 1000);
    CloseHandle(h);
}

TEST_F(IoctlMachine, APowerDownCancelsAWaitingControl) {
    bring_up();
    script([](modem_script& s) { s.answer_value = false; });
    HANDLE h = open_vrax();
    auto io = start_control(h, IOCTL_VRAX_VALUE_QUERY, cat({u32(1), u32(0), u32(0)}), 2);
    settle_ms(200);
    ASSERT_FALSE(io->done());
    const std::int64_t start = now_ms();
    ASSERT_EQ(machine_->sleep(), STATUS_SUCCESS);
    EXPECT_EQ(finish(h, *io).error, aborted);
    EXPECT_LT(now_ms() - start, 1000);
    ASSERT_EQ(machine_->resume(), STATUS_SUCCESS);
    CloseHandle(h);
}

}  // namespace
}  // namespace ioctl_test
