// Client sessions opened and ended through handles of \\.\VRAX: refusal while the device
// interface is off, session keys shared with kernel clients, what a failed open leaves, and
// the clean-up of unbound, refused and id-holding sessions with the release confirmed or not.
#include "session_fixture.h"

#include <cstdio>

#include "core/faults.h"
#include "kernel/pool.h"
#include "smd/far_end.h"
#include "win32/process.h"

#include "vrax_device.h"
#include "vrax_pool.h"

namespace session_test {
namespace {

namespace far_end = smd::far_end;
namespace faults = platform::faults;
namespace io = platform::io;

TEST_F(Session, OpenIsRefusedWhileTheInterfaceIsOffAndListsNoSession) {
    boot(std::nullopt, /*far_open=*/false);
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 1; }));
    HANDLE h = open_vrax();
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOINTERFACE));
    EXPECT_EQ(session_count(), 0u);

    // Once the SMD side opens, the same open succeeds with a fresh session.
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    ASSERT_TRUE(
        wait_until([] { return VraxInterfaceEnabled(GetVraxDeviceContext(::ControlDevice)); }));
    h = open_vrax();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    PCLIENT_CONTEXT s = session_of(h);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->SessionKey, 1u);
    EXPECT_EQ(s->LastPortState, VRAX_PORT_STATE_NONE);
    EXPECT_EQ(s->ServiceType, 0u);
    EXPECT_EQ(s->Kind, static_cast<ULONG>(VRAX_SESSION_KIND_OPEN));
    EXPECT_EQ(KeReadStateEvent(&s->AbortEvent), 0);
    CloseHandle(h);
    EXPECT_EQ(session_count(), 0u);
}

TEST_F(Session, KeysCountFromOneAndKernelClientsDrawFromTheSameCounter) {
    bring_up();
    HANDLE a = open_vrax();
    HANDLE b = open_vrax();
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_EQ(session_of(a)->SessionKey, 1u);
    EXPECT_EQ(session_of(b)->SessionKey, 2u);
    // A kernel client registering in between takes the next key.
    EXPECT_EQ(DrawSessionKey(), 3u);
    HANDLE c = open_vrax();
    EXPECT_EQ(session_of(c)->SessionKey, 4u);
    EXPECT_EQ(session_count(), 3u);
    CloseHandle(a);
    CloseHandle(b);
    CloseHandle(c);
    EXPECT_TRUE(finish().empty());

    // The next load of the driver image starts again at 1.
    bring_up();
    HANDLE d = open_vrax();
    EXPECT_EQ(session_of(d)->SessionKey, 1u);
    CloseHandle(d);
}

// Each framework call of the open failing in turn: the create fails with that status, no
// session is listed, nothing leaks (the final check), and the next open works.
TEST_F(Session, AFailedOpenFailsTheCreateAndListsNothing) {
    bring_up();
    struct step {
        const char* routine;
        unsigned nth;
    };
    const step steps[] = {{"WdfObjectAllocateContext", 1},
                          {"WdfWaitLockCreate", 3},
                          {"WdfCollectionCreate", 2},
                          {"WdfIoQueueCreate", 3},
                          {"WdfCollectionAdd", 1}};
    for (const step& st : steps) {
        SCOPED_TRACE(st.routine);
        faults::fail_nth(st.routine, st.nth, STATUS_INSUFFICIENT_RESOURCES);
        HANDLE h = open_vrax();
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
        EXPECT_EQ(session_count(), 0u);
        faults::clear();
    }
    HANDLE h = open_vrax();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(session_count(), 1u);
    CloseHandle(h);
}

// Unbound and refused sessions end at once, without asking for a release.
TEST_F(Session, SessionsWithoutAHeldIdEndAtOnce) {
    bring_up();
    HANDLE unbound = open_vrax();
    HANDLE refused = open_vrax();
    HANDLE lost = open_vrax();
    bind(session_of(refused), 0, 3, VRAX_CLIENT_ID_REFUSED, true);
    bind(session_of(lost), 0, 3, 4, false);  // the port was lost since: nothing is held
    const auto start = now_ms();
    CloseHandle(unbound);
    CloseHandle(refused);
    CloseHandle(lost);
    EXPECT_EQ(now_ms(), start);
    EXPECT_EQ(session_count(), 0u);
    EXPECT_FALSE(traced("release of client id"));
}

// A session holding a client id closes from a program; `confirm_after_ms` later a second
// program sets the release confirmation as the response handler would (or nobody does).
// Returns how long the close took in virtual time.
std::int64_t close_holding_id(sim::machine& m, std::optional<std::int64_t> confirm_after_ms) {
    HANDLE h = open_vrax();
    PCLIENT_CONTEXT s = session_of(h);
    bind(s, 0, 3, 7, true);
    std::shared_ptr<sim::program> confirmer;
    if (confirm_after_ms) {
        confirmer = m.host().run_program(io::token_kind::local_system, "confirm", [=] {
            Sleep(static_cast<DWORD>(*confirm_after_ms));
            WdfWaitLockAcquire(ClientSessionsLock, nullptr);
            KeSetEvent(&s->ReleaseEvent, 1, FALSE);
            WdfWaitLockRelease(ClientSessionsLock);
        });
    }
    const auto start = now_ms();
    CloseHandle(h);
    const auto took = now_ms() - start;
    if (confirmer) {
        confirmer->wait();
    }
    return took;
}

TEST_F(Session, AHeldIdIsReleasedAndTheCloseWaitsForTheConfirmation) {
    bring_up();
    EXPECT_EQ(close_holding_id(*machine_, 40), 40);
    EXPECT_EQ(session_count(), 0u);
    EXPECT_FALSE(traced("not confirmed"));
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_RELEASE).count, 0u);

    // A confirmation left over from before does not end the next wait early: it is cleared
    // before the release is asked for.
    HANDLE h = open_vrax();
    PCLIENT_CONTEXT s = session_of(h);
    bind(s, 0, 3, 8, true);
    KeSetEvent(&s->ReleaseEvent, 1, FALSE);
    const auto start = now_ms();
    CloseHandle(h);
    EXPECT_EQ(now_ms() - start, 5000);
}

TEST_F(Session, AnUnconfirmedReleaseEndsAfterFiveSeconds) {
    bring_up();
    EXPECT_EQ(close_holding_id(*machine_, std::nullopt), 5000);
    EXPECT_TRUE(traced("release of client id 7 not confirmed"));
    EXPECT_EQ(session_count(), 0u);

    // Without memory for the request the release cannot be asked for; the close still ends.
    faults::fail_always("ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES);
    const auto took = close_holding_id(*machine_, std::nullopt);
    faults::clear();
    EXPECT_EQ(took, 5000);
    EXPECT_TRUE(traced("release body of 3328 bytes failed"));
    EXPECT_EQ(session_count(), 0u);
}

TEST_F(Session, WithSupportNewHwIdAnUnconfirmedReleaseEndsAfterOneSecond) {
    bring_up(true);
    EXPECT_EQ(close_holding_id(*machine_, std::nullopt), 1000);
    EXPECT_EQ(session_count(), 0u);
}

// What a session held when it ended: a waiting read is cancelled, stored messages are freed.
TEST_F(Session, CleanUpCancelsAWaitingReadAndFreesUnreadMessages) {
    bring_up();
    HANDLE h = open_vrax(/*overlapped=*/true);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto read = start_read(h, 64);
    EXPECT_FALSE(read->started);
    EXPECT_EQ(read->start_error, static_cast<DWORD>(ERROR_IO_PENDING));

    HANDLE other = open_vrax();
    PCLIENT_CONTEXT s = session_of(other);
    store_message(s, {0x04, 0x01, 0x00, 0x20, 0x00, 0x00, 0x00});
    store_message(s, {0x02, 0x02, 0x00, 0x20, 0x00, 0x00, 0x00});
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_FRAME).count, 2u);

    CloseHandle(h);
    ASSERT_TRUE(wait_until([&] { return read->done(); }));
    EXPECT_EQ(static_cast<NTSTATUS>(read->ov.Internal), STATUS_CANCELLED);
    EXPECT_EQ(read->ov.InternalHigh, 0u);

    CloseHandle(other);
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_FRAME).count, 0u);
    EXPECT_EQ(session_count(), 0u);
}

// A device taken away by surprise while a handle is open is removed only once the handle
// closes, as the PnP manager sends the removal then: the handle's clean-up still reaches the
// driver and ends the session, and only then does the device go.
TEST_F(Session, ASurpriseRemovalWaitsForTheOpenHandleWhoseCleanUpEndsItsSession) {
    bring_up();
    HANDLE h = open_vrax();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const ULONG key = session_of(h)->SessionKey;
    char ended[32];
    std::snprintf(ended, sizeof ended, "session 0x%x ended", key);
    ASSERT_EQ(machine_->surprise_remove(), STATUS_SUCCESS);
    EXPECT_EQ(platform::pnp::state(machine_->device()),
              platform::pnp::device_state::surprise_removed);
    EXPECT_EQ(session_count(), 1u);
    EXPECT_FALSE(traced(ended));

    CloseHandle(h);
    EXPECT_TRUE(traced(ended));
    ASSERT_TRUE(wait_until([&] {
        return platform::pnp::state(machine_->device()) == platform::pnp::device_state::removed;
    }));
}

}  // namespace
}  // namespace session_test
