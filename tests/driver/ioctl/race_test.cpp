// Cancellation racing the end of a deferred control's wait, with the order forced: the work
// item is held after its wait ended (by the answer, or by its time-out) and before it takes
// its request back, and the program cancels the request right there. The cancel routine
// runs on the cancelling thread; the take-back then reports the cancel, and the routine
// completes the request once, as cancelled. The verifier checks the request is completed
// exactly once and never while cancelable; the shutdown checks nothing is left.
#include <vrax/vrax_ioctl.h>

#include "held_wait.h"
#include "ioctl_fixture.h"

namespace ioctl_test {
namespace {

void cancel_while_held(IoctlMachine* t, VRAX_ANSWER expected) {
    HANDLE h = open_vrax();
    PCLIENT_CONTEXT s = session_of(h);
    // Only this control's wait is held.
    held_wait::set_after_wait([expected](VRAX_ANSWER answer) {
        EXPECT_EQ(answer, expected);
        held_wait::set_after_wait(nullptr);
        held_wait::hold();
    });
    auto io = start_control(h, IOCTL_VRAX_GET_CLIENT_ID, u32(3), 1);
    held_wait::wait_until_held();
    EXPECT_FALSE(io->done());
    EXPECT_FALSE(abort_set(s));
    ASSERT_TRUE(CancelIoEx(h, &io->ov));
    EXPECT_TRUE(abort_set(s)) << "the cancel routine ran on the cancelling thread";
    EXPECT_FALSE(io->done()) << "and completed nothing";
    held_wait::release();
    outcome r = finish(h, *io);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(r.returned, 0u);
    EXPECT_TRUE(t->traced("being cancelled"));
    // The queue goes on: the next control of another session is served.
    HANDLE other = open_vrax();
    EXPECT_EQ(control(other, IOCTL_VRAX_BIND_SERVICE, u32(3), 8).error, 0u);
    CloseHandle(other);
    CloseHandle(h);
}

TEST_F(IoctlMachine, ACancelBetweenTheAnswerAndTheTakeBackWins) {
    bring_up();
    cancel_while_held(this, VraxAnswered);
}

TEST_F(IoctlMachine, ACancelBetweenTheTimeOutAndTheTakeBackWins) {
    bring_up();
    script([](modem_script& s) { s.answer_client_id = false; });
    cancel_while_held(this, VraxTimedOut);
}

}  // namespace
}  // namespace ioctl_test
