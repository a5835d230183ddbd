// A program's cancel of a deferred client-id control against the answer and against the
// 5-second time-out, in every order, forced with pause points, for each way a program's
// request is cancelled: CancelIoEx, CancelIo, the issuing thread's exit, the program's exit.
//
// The orders, for an answer (or a time-out) A and a cancel C:
//   1. C completes the request, A comes after it;
//   2. A completes the request while C is on its way (held before it touches the IRP);
//   3. A ends the wait, C's cancel routine runs before the work item takes the request back;
//   4. A ends the wait, C has taken the IRP's cancel routine but not run it: the take-back
//      already fails, and the work item must wait for the routine before it completes.
// Each checks the request is completed once with the right status and information (the
// verifier stops the test at a second completion, a completion while cancelable, or a touch
// of a completed request), that the cancel routine ran as often as it should, that the
// sequential queue serves the next control, and (at tear-down) that nothing is left.
#include <vrax/vrax_ioctl.h>

#include "race_issuer.h"

namespace ioctl_test {
namespace {

namespace pp = platform::pause_points;

class CancelRace : public IoctlMachine, public ::testing::WithParamInterface<cancel_by> {
  protected:
    bool from_program() const { return GetParam() == cancel_by::process_exit; }

    // After the control ended with `status`: the same handle still serves controls (when
    // the program is still there), and so does a new one.
    void expect_later_controls_complete(issuer& c, NTSTATUS status) {
        if (!from_program()) {
            EXPECT_EQ(abort_set(c.session()), status == STATUS_CANCELLED)
                << "only a cancel leaves the session's abort set";
            outcome bind = control(c.handle(), IOCTL_VRAX_BIND_SERVICE, u32(3), 8);
            EXPECT_EQ(bind.error, 0u);
            EXPECT_EQ(bind.returned, 8u);
        }
        expect_queue_serves_a_new_session(this);
    }
};

INSTANTIATE_TEST_SUITE_P(Each, CancelRace,
                         ::testing::Values(cancel_by::cancel_io_ex, cancel_by::cancel_io,
                                           cancel_by::thread_exit, cancel_by::process_exit),
                         cancel_name);

// Order 1: the answer is held on the port's service thread (it has recorded the granted id
// and is about to set AllocationEvent) while the cancel completes the control.
TEST_P(CancelRace, ACancelCompletesTheControlBeforeTheAnswerArrives) {
    bring_up();
    issuer c(this, GetParam());
    pp::hold answer("KeSetEvent", &c.session()->AllocationEvent);
    c.start(IOCTL_VRAX_GET_CLIENT_ID, u32(3), 1);
    ASSERT_TRUE(answer.wait_arrived()) << answer.describe();
    c.cancel();
    ASSERT_TRUE(c.wait_done(1000));
    EXPECT_EQ(c.status(), STATUS_CANCELLED);
    EXPECT_EQ(c.information(), 0u);
    EXPECT_EQ(cancel_routines_run(this), 1u);
    // The late answer sets an event nobody waits on; the request is not touched again.
    answer.release();
    ASSERT_TRUE(answer.wait_left());
    ASSERT_TRUE(c.cancel_returned());
    expect_later_controls_complete(c, STATUS_CANCELLED);
}

// Order 2: the cancel is held before it touches the IRP; the answer completes the control;
// the cancel then finds a completed request and no cancel routine runs.
TEST_P(CancelRace, AnAnswerCompletesTheControlWhileTheCancelIsOnItsWay) {
    bring_up();
    issuer c(this, GetParam());
    pp::hold answer("KeSetEvent", &c.session()->AllocationEvent);
    c.start(IOCTL_VRAX_GET_CLIENT_ID, u32(3), 1);
    ASSERT_TRUE(answer.wait_arrived()) << answer.describe();
    pp::hold at_cancel("IoCancelIrp", c.from_issuer());
    c.cancel();
    ASSERT_TRUE(at_cancel.wait_arrived()) << at_cancel.describe();
    answer.release();
    ASSERT_TRUE(c.wait_done(1000));
    EXPECT_EQ(c.status(), STATUS_SUCCESS);
    EXPECT_EQ(c.information(), 1u);
    EXPECT_EQ(c.out(0), 5);
    at_cancel.release();
    ASSERT_TRUE(c.cancel_returned());
    EXPECT_EQ(cancel_routines_run(this), 0u);
    expect_later_controls_complete(c, STATUS_SUCCESS);
}

// Order 3: the work item is held at its take-back after the answer; the cancel routine runs
// meanwhile and completes nothing; the take-back then reports the cancel and the work item
// completes the control as cancelled.
TEST_P(CancelRace, ACancelRoutineBetweenTheAnswerAndTheTakeBackWins) {
    bring_up();
    issuer c(this, GetParam());
    pp::hold take_back("WdfRequestUnmarkCancelable");
    c.start(IOCTL_VRAX_GET_CLIENT_ID, u32(3), 1);
    ASSERT_TRUE(take_back.wait_arrived()) << take_back.describe();
    c.cancel();
    ASSERT_TRUE(wait_until([this] { return cancel_routines_run(this) == 1; }, 1000));
    EXPECT_FALSE(c.done()) << "the cancel routine completes nothing";
    take_back.release();
    ASSERT_TRUE(c.wait_done(1000));
    EXPECT_EQ(c.status(), STATUS_CANCELLED);
    EXPECT_EQ(c.information(), 0u);
    EXPECT_TRUE(traced("being cancelled"));
    ASSERT_TRUE(c.cancel_returned());
    expect_later_controls_complete(c, STATUS_CANCELLED);
}

// Order 4: the cancel has taken the IRP's cancel routine and is held before running it; the
// answer arrives; the take-back fails although the driver's cancel routine has not run, so
// the work item waits for it. Completing at once would be a completion while the framework
// still means to call the cancel routine.
TEST_P(CancelRace, ATakeBackAfterTheAnswerWaitsForACancelRoutineNotYetRun) {
    bring_up();
    issuer c(this, GetParam());
    pp::hold answer("KeSetEvent", &c.session()->AllocationEvent);
    c.start(IOCTL_VRAX_GET_CLIENT_ID, u32(3), 1);
    ASSERT_TRUE(answer.wait_arrived()) << answer.describe();
    pp::hold taken("irp-cancel-routine", c.from_issuer());
    c.cancel();
    ASSERT_TRUE(taken.wait_arrived()) << taken.describe();
    answer.release();
    ASSERT_TRUE(wait_until([this] { return traced("being cancelled"); }, 1000))
        << "the take-back reported the cancel";
    let_run(1000);
    EXPECT_FALSE(c.done()) << "the work item waits for the cancel routine";
    EXPECT_EQ(cancel_routines_run(this), 0u);
    taken.release();
    ASSERT_TRUE(c.wait_done(1000));
    EXPECT_EQ(c.status(), STATUS_CANCELLED);
    EXPECT_EQ(c.information(), 0u);
    EXPECT_EQ(cancel_routines_run(this), 1u);
    ASSERT_TRUE(c.cancel_returned());
    expect_later_controls_complete(c, STATUS_CANCELLED);
}

// Order 1 for the time-out is the plain cancel of a waiting control (deferred_test.cpp).
// Order 2: the cancel is held before it touches the IRP until the time-out has completed the
// control.
TEST_P(CancelRace, ATimeOutCompletesTheControlWhileTheCancelIsOnItsWay) {
    bring_up();
    script([](modem_script& m) { m.answer_client_id = false; });
    issuer c(this, GetParam());
    const std::int64_t start = now_ms();
    c.start(IOCTL_VRAX_GET_CLIENT_ID, u32(3), 1);
    let_run(1000);
    pp::hold at_cancel("IoCancelIrp", c.from_issuer());
    c.cancel();
    ASSERT_TRUE(at_cancel.wait_arrived()) << at_cancel.describe();
    ASSERT_TRUE(c.wait_done(6000));
    EXPECT_GE(now_ms() - start, 5000);
    EXPECT_EQ(c.status(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(c.information(), 0u);
    at_cancel.release();
    ASSERT_TRUE(c.cancel_returned());
    EXPECT_EQ(cancel_routines_run(this), 0u);
    expect_later_controls_complete(c, STATUS_IO_TIMEOUT);
}

// Order 3 for the time-out: the cancel routine runs while the timed-out work item is held at
// its take-back.
TEST_P(CancelRace, ACancelRoutineBetweenTheTimeOutAndTheTakeBackWins) {
    bring_up();
    script([](modem_script& m) { m.answer_client_id = false; });
    issuer c(this, GetParam());
    pp::hold take_back("WdfRequestUnmarkCancelable");
    c.start(IOCTL_VRAX_GET_CLIENT_ID, u32(3), 1);
    ASSERT_TRUE(take_back.wait_arrived(6000)) << take_back.describe();
    c.cancel();
    ASSERT_TRUE(wait_until([this] { return cancel_routines_run(this) == 1; }, 1000));
    EXPECT_FALSE(c.done());
    take_back.release();
    ASSERT_TRUE(c.wait_done(1000));
    EXPECT_EQ(c.status(), STATUS_CANCELLED);
    EXPECT_EQ(c.information(), 0u);
    ASSERT_TRUE(c.cancel_returned());
    expect_later_controls_complete(c, STATUS_CANCELLED);
}

// Order 4 for the time-out: the cancel has taken the IRP's routine when the time-out fires.
TEST_P(CancelRace, ATakeBackAfterTheTimeOutWaitsForACancelRoutineNotYetRun) {
    bring_up();
    script([](modem_script& m) { m.answer_client_id = false; });
    issuer c(this, GetParam());
    c.start(IOCTL_VRAX_GET_CLIENT_ID, u32(3), 1);
    let_run(1000);
    pp::hold taken("irp-cancel-routine", c.from_issuer());
    c.cancel();
    ASSERT_TRUE(taken.wait_arrived()) << taken.describe();
    ASSERT_TRUE(wait_until([this] { return traced("being cancelled"); }, 6000))
        << "the time-out's take-back reported the cancel";
    let_run(1000);
    EXPECT_FALSE(c.done());
    taken.release();
    ASSERT_TRUE(c.wait_done(1000));
    EXPECT_EQ(c.status(), STATUS_CANCELLED);
    EXPECT_EQ(cancel_routines_run(this), 1u);
    ASSERT_TRUE(c.cancel_returned());
    expect_later_controls_complete(c, STATUS_CANCELLED);
}

// The other two deferred controls share the take-back: a value query and a service-2 query
// whose take-back sees a cancel whose routine has not run yet.
TEST_F(IoctlMachine, TheValueAndServiceTwoQueriesWaitForACancelRoutineNotYetRun) {
    bring_up();
    struct {
        const char* what;
        DWORD code;
        bytes in;
        std::size_t out;
        std::uint32_t service;
    } cases[] = {
        {"value query", IOCTL_VRAX_VALUE_QUERY, cat({u32(1), u32(0), u32(0)}), 2, 3},
        {"service-2 query", IOCTL_VRAX_SERVICE_TWO_QUERY, {}, 4, 2},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        issuer c(this, cancel_by::cancel_io_ex);
        {
            // Bound (with a client id) first, for the service-2 query.
            outcome bound = control(c.handle(), IOCTL_VRAX_GET_CLIENT_ID, u32(k.service), 1);
            ASSERT_EQ(bound.error, 0u);
        }
        const std::size_t before = cancel_routines_run(this);
        pp::hold take_back("WdfRequestUnmarkCancelable");
        pp::hold taken("irp-cancel-routine", c.from_issuer());
        c.start(k.code, k.in, k.out);
        ASSERT_TRUE(take_back.wait_arrived()) << take_back.describe() << " (answered)";
        c.cancel();
        ASSERT_TRUE(taken.wait_arrived()) << taken.describe();
        take_back.release();
        let_run(1000);
        EXPECT_FALSE(c.done());
        taken.release();
        ASSERT_TRUE(c.wait_done(1000));
        EXPECT_EQ(c.status(), STATUS_CANCELLED);
        EXPECT_EQ(c.information(), 0u);
        EXPECT_EQ(cancel_routines_run(this), before + 1);
        ASSERT_TRUE(c.cancel_returned());
    }
    expect_queue_serves_a_new_session(this);
}

// Before the request is cancelable: a cancel that reaches the IRP while the dispatcher is
// about to mark it makes the mark fail, and the dispatcher completes the control as
// cancelled itself; no request goes to the modem and no work item is left.
TEST_F(IoctlMachine, ACancelBeforeTheMarkIsCompletedByTheDispatcher) {
    bring_up();
    issuer c(this, cancel_by::cancel_io_ex);
    const unsigned sent = requests_seen(0x22);
    pp::hold mark("WdfRequestMarkCancelableEx", c.from_issuer());
    c.start(IOCTL_VRAX_GET_CLIENT_ID, u32(3), 1, false);
    ASSERT_TRUE(mark.wait_arrived()) << mark.describe();
    ASSERT_TRUE(CancelIoEx(c.handle(), nullptr));
    EXPECT_FALSE(c.done()) << "the request is the driver's, not cancelable: only flagged";
    mark.release();
    ASSERT_TRUE(c.wait_done(1000));
    EXPECT_EQ(c.status(), STATUS_CANCELLED);
    EXPECT_EQ(c.information(), 0u);
    EXPECT_EQ(cancel_routines_run(this), 0u);
    EXPECT_TRUE(abort_set(c.session())) << "the session's waiting controls are told";
    let_run(200);
    EXPECT_EQ(requests_seen(0x22), sent);
    expect_queue_serves_a_new_session(this);
}

// Marked, not yet queued: a cancel now runs the routine only once the dispatcher's callback
// has returned (the queue's own thread is in the loop); the work item then ends at once.
TEST_F(IoctlMachine, ACancelBetweenTheMarkAndTheQueueingIsDeliveredAfterTheCallback) {
    bring_up();
    script([](modem_script& m) { m.answer_client_id = false; });
    issuer c(this, cancel_by::cancel_io_ex);
    pp::hold enqueue("WdfWorkItemEnqueue", c.from_issuer());
    c.start(IOCTL_VRAX_GET_CLIENT_ID, u32(3), 1, false);
    ASSERT_TRUE(enqueue.wait_arrived()) << enqueue.describe();
    ASSERT_TRUE(CancelIoEx(c.handle(), nullptr));
    let_run(100);
    EXPECT_EQ(cancel_routines_run(this), 0u) << "held back until the callback returns";
    EXPECT_FALSE(abort_set(c.session()));
    const std::int64_t start = now_ms();
    enqueue.release();
    ASSERT_TRUE(c.wait_done(1000));
    EXPECT_LT(now_ms() - start, 100);
    EXPECT_EQ(c.status(), STATUS_CANCELLED);
    EXPECT_EQ(cancel_routines_run(this), 1u);
    expect_queue_serves_a_new_session(this);
}

// Handle clean-up cancels nothing the driver owns. Closed while the work item is between the
// answer and its take-back, the control still completes with its answer, and the session
// (kept by the file object the request holds) is torn down after it.
TEST_F(IoctlMachine, ClosingTheHandleBetweenTheAnswerAndTheTakeBackKeepsTheAnswer) {
    bring_up();
    issuer c(this, cancel_by::thread_exit);
    pp::hold take_back("WdfRequestUnmarkCancelable");
    c.start(IOCTL_VRAX_GET_CLIENT_ID, u32(3), 1);
    ASSERT_TRUE(take_back.wait_arrived()) << take_back.describe();
    c.close_handle();
    let_run(200);
    EXPECT_FALSE(c.done());
    take_back.release();
    ASSERT_TRUE(c.wait_done(1000));
    EXPECT_EQ(c.status(), STATUS_SUCCESS);
    EXPECT_EQ(c.information(), 1u);
    EXPECT_EQ(c.out(0), 5);
    EXPECT_TRUE(wait_until([this] { return requests_seen(0x23) == 1; }, 1000))
        << "the clean-up released the granted id";
    expect_queue_serves_a_new_session(this);
}

// The issuing thread exits after its handle was closed: the cancel routine meets a session
// whose clean-up has run (still alive: the pending request holds the file object) and the
// control completes as cancelled, at once rather than at its time-out.
TEST_F(IoctlMachine, AThreadsExitAfterItsHandleWasClosedCancelsTheControl) {
    bring_up();
    script([](modem_script& m) { m.answer_client_id = false; });
    issuer c(this, cancel_by::thread_exit);
    c.start(IOCTL_VRAX_GET_CLIENT_ID, u32(3), 1);
    c.close_handle();
    let_run(200);
    EXPECT_FALSE(c.done());
    const std::int64_t start = now_ms();
    c.cancel();
    ASSERT_TRUE(c.wait_done(1000));
    EXPECT_LT(now_ms() - start, 100);
    EXPECT_EQ(c.status(), STATUS_CANCELLED);
    EXPECT_EQ(cancel_routines_run(this), 1u);
    ASSERT_TRUE(c.cancel_returned());
    expect_queue_serves_a_new_session(this);
}

}  // namespace
}  // namespace ioctl_test
