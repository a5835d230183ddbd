// The stress run's oracle on histories made up by hand: each rule's drop is counted under its
// cause, and what no rule explains is reported as a loss, a duplicate or a misdelivery.
#include <gtest/gtest.h>

#include "oracle.h"

namespace {

using namespace stress;

constexpr std::uint8_t service = 1;

// A program session bound to `service` from stamp 2 (bind sent at 1), holding `id` from
// stamp 4 (asked at 3), closed in the end after draining at stamp 1000.
session_record program_session(std::uint32_t id, std::uint8_t client_id) {
    session_record s;
    s.id = id;
    s.service = service;
    s.bind_begin = 1;
    s.bind_done = 2;
    s.holds.push_back({client_id, 3, 4});
    s.close_begin = 999;
    s.closed = 1000;
    s.final_close = true;
    return s;
}

session_record::read read_of(stamp at, tag t) {
    return {at, session_record::read::result::message, t};
}
session_record::read too_small(stamp at) {
    return {at, session_record::read::result::too_small, 0};
}

write_record sent_write(tag t, std::uint32_t session, std::uint8_t id, stamp begin, stamp end) {
    write_record w;
    w.t = t;
    w.session = session;
    w.service = service;
    w.client_id = id;
    w.begin = begin;
    w.end = end;
    w.result = write_record::outcome::sent;
    return w;
}

// The answer to request `t` goes back to id `id` at `at`.
modem_frame frame(tag t, std::uint8_t id, stamp at) {
    return {t, service, id, at, true};
}

TEST(StressOracle, OneLossAndOneDuplicateAreBothReported) {
    history h;
    h.sessions = {program_session(1, 5), program_session(2, 6)};
    const tag a = make_tag(tag_kind::request, 1, 0);
    const tag b = make_tag(tag_kind::broadcast, 0, 1);
    h.writes = {sent_write(a, 1, 5, 10, 11)};
    h.received = {frame(a, 5, 12)};
    h.sent = {frame(a, 5, 13), frame(b, 0xFF, 14)};
    // Session 1 reads its answer twice and the broadcast; session 2 never gets the broadcast.
    h.sessions[0].reads = {read_of(20, a), read_of(21, a), read_of(22, b)};
    h.sessions[1].reads = {};
    const verdict v = check(h);
    EXPECT_EQ(v.duplicates, 1u);
    EXPECT_EQ(v.losses, 1u);
    EXPECT_EQ(v.misdelivered, 0u);
    EXPECT_EQ(v.delivered, 2u);
    EXPECT_FALSE(v.clean());
    ASSERT_EQ(v.findings.size(), 2u);
}

TEST(StressOracle, AReadTooSmallExplainsOneMissingMessageOfItsGapAndNoMore) {
    history h;
    h.sessions = {program_session(1, 5)};
    std::vector<tag> t;
    for (std::uint32_t i = 0; i < 4; ++i)
        t.push_back(make_tag(tag_kind::indication, 0, i));
    for (std::uint32_t i = 0; i < 4; ++i)
        h.sent.push_back(frame(t[i], 5, 10 + i));
    // t1 and t2 are missing between the reads of t0 and t3; one too-small read in that gap.
    h.sessions[0].reads = {read_of(20, t[0]), too_small(21), read_of(22, t[3])};
    verdict v = check(h);
    EXPECT_EQ(v.drops[drop_too_small], 1u);
    EXPECT_EQ(v.losses, 1u);

    // A too-small read before the previous message read took an older message, not these.
    h.sessions[0].reads = {too_small(19), too_small(19), read_of(20, t[0]), read_of(22, t[3])};
    v = check(h);
    EXPECT_EQ(v.losses, 2u);

    // Two too-small reads in the gap explain both.
    h.sessions[0].reads = {read_of(20, t[0]), too_small(21), too_small(21), read_of(22, t[3])};
    v = check(h);
    EXPECT_EQ(v.drops[drop_too_small], 2u);
    EXPECT_TRUE(v.clean());
}

TEST(StressOracle, APortLossExplainsFramesAndWritesInFlightButNotLaterOnes) {
    history h;
    h.sessions = {program_session(1, 5)};
    const tag w1 = make_tag(tag_kind::request, 1, 0);
    const tag w2 = make_tag(tag_kind::request, 1, 1);
    const tag m1 = make_tag(tag_kind::indication, 0, 1);
    const tag m2 = make_tag(tag_kind::indication, 0, 2);
    // w1 is on its way when the channel closes at 12; w3 is handed to the transmit path after
    // the close, before the driver noticed it; w2 is written after the port was ready.
    const tag w3 = make_tag(tag_kind::request, 1, 2);
    h.writes = {sent_write(w1, 1, 5, 10, 11), sent_write(w2, 1, 5, 40, 41),
                sent_write(w3, 1, 5, 13, 14)};
    h.downs = {{12, 30}};
    // m1 was sent before the close and never read; m2 after, never read either.
    h.sent = {frame(m1, 5, 11), frame(m2, 5, 50)};
    // A hold taken after the port came back, so m2 surely addresses the session.
    h.sessions[0].holds.push_back({5, 31, 32});
    h.received = {};
    const verdict v = check(h);
    EXPECT_EQ(v.drops.at(drop_write_in_flight), 2u);
    EXPECT_EQ(v.drops.at(drop_frame_in_flight), 1u);
    EXPECT_EQ(v.losses, 2u) << "w2 never reached the modem and m2 never arrived";
}

TEST(StressOracle, WritesRefusedOnlyWhileThePortIsDownAreDrops) {
    history h;
    h.sessions = {program_session(1, 5)};
    write_record during = sent_write(make_tag(tag_kind::request, 1, 0), 1, 5, 15, 16);
    during.result = write_record::outcome::refused;
    write_record after = sent_write(make_tag(tag_kind::request, 1, 1), 1, 5, 40, 41);
    after.result = write_record::outcome::refused;
    write_record held = sent_write(make_tag(tag_kind::request, 1, 2), 1, 5, 42, 43);
    held.result = write_record::outcome::cancelled;
    h.writes = {during, after, held};
    h.downs = {{12, 30}};
    // Granted an id again after the port was ready: the driver sends its writes again.
    h.sessions[0].holds.push_back({5, 32, 33});
    verdict v = check(h);
    EXPECT_EQ(v.drops.at(drop_write_refused), 1u);
    EXPECT_EQ(v.drops.at(drop_write_cancelled), 1u);
    EXPECT_EQ(v.losses, 1u);

    // No new grant yet, or its answer only after the write began: the id the loss voided
    // explains the refusal.
    for (stamp done : {stamp{45}, never}) {
        h.sessions[0].holds.back() = {5, 32, done};
        v = check(h);
        EXPECT_EQ(v.losses, 0u) << done;
        EXPECT_EQ(v.drops.at(drop_write_voided_id), 1u) << done;
    }
    // A session never granted an id has none to void.
    h.sessions[0].holds.clear();
    EXPECT_EQ(check(h).losses, 1u);
}

TEST(StressOracle, AnAnswerNeverSentIsALossUnlessThePortLossVoidedItsId) {
    history h;
    h.sessions = {program_session(1, 5)};
    const tag before = make_tag(tag_kind::request, 1, 0);
    const tag stale = make_tag(tag_kind::request, 1, 1);
    h.writes = {sent_write(before, 1, 5, 10, 11), sent_write(stale, 1, 5, 40, 41)};
    h.received = {frame(before, 5, 12), frame(stale, 5, 42)};
    h.downs = {{20, 30}};
    const verdict v = check(h);
    EXPECT_EQ(v.drops.at(drop_stale_id), 1u) << "the id was granted before the loss at 20";
    EXPECT_EQ(v.losses, 1u) << "the modem held the id when the first request came";

    history fresh = h;
    fresh.downs.clear();
    EXPECT_EQ(check(fresh).losses, 2u);
}

TEST(StressOracle, DeliveryToASessionNotAddressedIsAMisdelivery) {
    history h;
    h.sessions = {program_session(1, 5), program_session(2, 6)};
    const tag m = make_tag(tag_kind::indication, 0, 1);
    h.sent = {frame(m, 5, 10)};
    h.sessions[0].reads = {read_of(20, m)};
    h.sessions[1].reads = {read_of(20, m)};
    verdict v = check(h);
    EXPECT_EQ(v.misdelivered, 1u);
    EXPECT_EQ(v.delivered, 1u);

    // A tag the modem never sent.
    h.sessions[1].reads = {read_of(20, make_tag(tag_kind::indication, 0, 99))};
    v = check(h);
    EXPECT_EQ(v.misdelivered, 1u);
}

// A session whose id control was cancelled can still have been granted an id: its requests
// go out with it, and the answers to it are its own.
TEST(StressOracle, AnIdSeenOnlyInTheSessionsOwnRequestsIsHeldFromThen) {
    history h;
    h.sessions = {program_session(1, 5)};
    const tag w = make_tag(tag_kind::request, 1, 0);
    h.writes = {sent_write(w, 1, 5, 10, 11)};
    h.received = {frame(w, 9, 12)};  // the driver sent it with id 9
    h.sent = {frame(w, 9, 13)};
    h.sessions[0].reads = {read_of(20, w)};
    verdict v = check(h);
    EXPECT_TRUE(v.clean());
    EXPECT_EQ(v.delivered, 1u);

    // Never read by the end: a loss, since the id is surely the session's.
    h.sessions[0].reads.clear();
    v = check(h);
    EXPECT_EQ(v.losses, 1u);
}

// After a port loss the driver still sends a session's writes with the id it last held (a
// write made while the port was down goes out once the port is ready), though the modem has
// freed that id and may have granted it to another session. Such a request shows no id the
// session surely holds: messages to that id afterwards may be the other holder's.
TEST(StressOracle, AnIdSeenOnlyInARequestAfterAPortLossIsNoSureHold) {
    history h;
    h.sessions = {program_session(1, 5)};
    h.sessions[0].holds.push_back({6, 35, 36});  // granted anew after the port was ready
    const tag w = make_tag(tag_kind::request, 1, 0);
    const tag other = make_tag(tag_kind::indication, 0, 1);
    const tag later = make_tag(tag_kind::indication, 0, 2);
    h.writes = {sent_write(w, 1, 9, 40, 41)};
    h.received = {frame(w, 9, 50)};  // sent with id 9, held before the loss
    h.sent = {frame(other, 9, 60), frame(later, 6, 70)};
    h.sessions[0].reads = {read_of(80, later)};
    h.downs = {{20, 30}};
    verdict v = check(h);
    EXPECT_EQ(v.losses, 0u);
    EXPECT_EQ(v.drops.at(drop_in_transition), 1u);
    EXPECT_EQ(v.drops.at(drop_stale_id), 1u);

    // With no port loss since the session opened the id is surely the session's.
    h.downs.clear();
    v = check(h);
    EXPECT_EQ(v.losses, 2u) << "the indication, and the answer never sent";
}

TEST(StressOracle, SessionsThatEndOrBindAroundAMessageMayMissIt) {
    history h;
    session_record closing = program_session(1, 5);
    closing.close_begin = 15;
    closing.closed = 16;
    closing.final_close = false;
    session_record binding = program_session(2, 6);
    binding.bind_begin = 9;
    binding.bind_done = 12;
    session_record killed = program_session(3, 7);
    killed.killed = true;
    killed.final_close = false;
    killed.close_begin = 30;
    killed.closed = 31;
    h.sessions = {closing, binding, killed};
    const tag b = make_tag(tag_kind::broadcast, 0, 1);
    h.sent = {frame(b, 0xFF, 10)};
    const verdict v = check(h);
    EXPECT_TRUE(v.clean());
    EXPECT_EQ(v.drops.at(drop_session_ended), 2u);
    EXPECT_EQ(v.drops.at(drop_not_bound), 1u);
}

TEST(StressOracle, OperationsNeverCollectedAreReportedExceptForKilledPrograms) {
    history h;
    session_record open = program_session(1, 5);
    open.started = 3;
    open.collected = 2;
    session_record killed = program_session(2, 6);
    killed.killed = true;
    killed.started = 3;
    write_record unfinished = sent_write(make_tag(tag_kind::request, 2, 0), 2, 6, 10, never);
    unfinished.result = write_record::outcome::unfinished;
    killed.close_begin = 20;
    // Ending the process cancelled this one before its thread unwound.
    write_record cancelled = sent_write(make_tag(tag_kind::request, 2, 1), 2, 6, 19, 21);
    cancelled.result = write_record::outcome::refused;
    h.sessions = {open, killed};
    h.writes = {unfinished, cancelled};
    const verdict v = check(h);
    EXPECT_EQ(v.never_completed, 1u);
    EXPECT_EQ(v.drops.at(drop_write_killed), 2u);
    EXPECT_EQ(v.losses, 0u);
}

}  // namespace

namespace {

TEST(StressOracle, BroadcastsReachEachBoundProgramSessionOnceAndNoKernelClient) {
    history h;
    session_record kernel = program_session(3, 9);
    kernel.kernel = true;
    h.sessions = {program_session(1, 5), program_session(2, 6), kernel};
    const tag b = make_tag(tag_kind::broadcast, 0, 1);
    h.sent = {frame(b, 0xFF, 10)};
    h.sessions[0].reads = {read_of(20, b)};
    h.sessions[1].reads = {read_of(21, b)};
    verdict v = check(h);
    EXPECT_TRUE(v.clean());
    EXPECT_EQ(v.delivered, 2u) << "one copy per session is no duplicate";

    h.sessions[2].reads = {read_of(22, b)};
    v = check(h);
    EXPECT_EQ(v.misdelivered, 1u) << "kernel clients get unicasts only";
}

// A frame waits at the far end until the driver routes it: a session that bound after the
// modem sent it may get it, as long as nobody had read it before the bind began.
TEST(StressOracle, ABroadcastMayReachASessionThatBoundWhileItWasOnItsWay) {
    history h;
    h.sessions = {program_session(1, 5), program_session(2, 6)};
    h.sessions[1].bind_begin = 12;
    h.sessions[1].bind_done = 13;
    h.sessions[1].holds = {};
    const tag b = make_tag(tag_kind::broadcast, 0, 1);
    h.sent = {frame(b, 0xFF, 10)};
    h.sessions[0].reads = {read_of(20, b)};
    h.sessions[1].reads = {read_of(21, b)};
    verdict v = check(h);
    EXPECT_TRUE(v.clean());
    EXPECT_EQ(v.delivered, 2u);

    // Session 1 had read it before session 2 began to bind: routed already.
    h.sessions[0].reads = {read_of(11, b)};
    v = check(h);
    EXPECT_EQ(v.misdelivered, 1u);
}

// A port loss ends every hold: the old holder of an id may still get a frame for it while it
// closes, the session that got the id after the loss must.
TEST(StressOracle, AHoldEndsAtThePortLossAndTheNewHolderIsTheTarget) {
    history h;
    session_record old_holder = program_session(1, 5);
    old_holder.close_begin = 60;
    old_holder.closed = 61;
    old_holder.final_close = false;
    session_record new_holder = program_session(2, 7);
    new_holder.holds = {{5, 40, 41}};
    h.sessions = {old_holder, new_holder};
    h.downs = {{20, 30}};
    const tag m = make_tag(tag_kind::indication, 0, 1);
    h.sent = {frame(m, 5, 50)};
    verdict v = check(h);
    EXPECT_EQ(v.drops.at(drop_in_transition), 1u);
    EXPECT_EQ(v.losses, 1u) << "the new holder never read it";

    h.sessions[1].reads = {read_of(55, m)};
    v = check(h);
    EXPECT_TRUE(v.clean());
}

TEST(StressOracle, FramesTheClosedChannelRefusedAreDropsNotLosses) {
    history h;
    h.sessions = {program_session(1, 5)};
    modem_frame refused = frame(make_tag(tag_kind::indication, 0, 1), 5, 10);
    refused.taken = false;
    h.sent = {refused};
    h.downs = {{9, 30}};
    const verdict v = check(h);
    EXPECT_TRUE(v.clean());
    EXPECT_EQ(v.drops.at(drop_not_taken), 1u);
    EXPECT_EQ(v.messages_sent, 1u);
}

// Flow control, from outside: `sent` writes of session 1 from stamp 10 on, one stamp each,
// none answered yet; then one more write at stamp 100 that is held back or not.
history outstanding_writes(unsigned sent, bool last_held, bool read_pending = false) {
    history h;
    h.sessions = {program_session(1, 5)};
    for (unsigned i = 0; i < sent; ++i)
        h.writes.push_back(
            sent_write(make_tag(tag_kind::request, 1, i), 1, 5, 10 + 2 * i, 11 + 2 * i));
    write_record last = sent_write(make_tag(tag_kind::request, 1, sent), 1, 5, 100, 101);
    last.held = last_held;
    last.read_pending = read_pending;
    if (last_held)
        last.result = write_record::outcome::cancelled;
    h.writes.push_back(last);
    return h;
}

TEST(StressOracle, FlowControlHoldsWritesOnlyFromFifteenOutstandingAndThenAlways) {
    // Held at 15 outstanding, sent at 14: the rule.
    verdict v = check(outstanding_writes(15, true));
    EXPECT_EQ(v.writes_held, 1u);
    EXPECT_EQ(v.flow_control, 0u);
    EXPECT_EQ(check(outstanding_writes(14, false)).flow_control, 0u);

    // Held at 14: a fault; so is one sent at once at 15 with nothing that could have
    // released a unit meanwhile.
    v = check(outstanding_writes(14, true));
    EXPECT_EQ(v.flow_control, 1u);
    EXPECT_FALSE(v.clean());
    EXPECT_EQ(check(outstanding_writes(15, false)).flow_control, 1u);

    // Answers collected before the write lower the count; writes sent with nothing written
    // raise it not.
    history h = outstanding_writes(15, true);
    h.sessions[0].reads = {read_of(60, make_tag(tag_kind::request, 1, 0))};
    EXPECT_EQ(check(h).flow_control, 1u);
    h = outstanding_writes(15, true);
    h.writes[3].result = write_record::outcome::refused;
    h.writes[3].bytes = 0;
    EXPECT_EQ(check(h).flow_control, 1u);
    // A write the default queue handed on later (pending when the call returned) and sent
    // then, below the limit: no fault.
    h = outstanding_writes(14, false);
    h.writes.back().held = true;
    EXPECT_EQ(check(h).flow_control, 0u);
    // An indication or a broadcast is no answer.
    h = outstanding_writes(15, true);
    h.sessions[0].reads = {read_of(60, make_tag(tag_kind::indication, 0, 1)),
                           read_of(61, make_tag(tag_kind::broadcast, 0, 2))};
    EXPECT_EQ(check(h).flow_control, 0u);
}

TEST(StressOracle, AWriteSentAtFifteenIsExplainedByAPendingReadAReadTooSmallOrAPortLoss) {
    // An answer may have reached the pending read before the write.
    EXPECT_EQ(check(outstanding_writes(15, false, true)).flow_control, 0u);
    // A read too small for its message may have been an answer.
    history h = outstanding_writes(15, false);
    h.sessions[0].reads = {too_small(60)};
    EXPECT_EQ(check(h).flow_control, 0u);
    // A port loss forgets the outstanding writes at a moment not seen from outside.
    h = outstanding_writes(15, false);
    h.downs = {{50, 70}};
    EXPECT_EQ(check(h).flow_control, 0u);
    // But a held write is judged by the upper bound, which none of these lowers.
    h = outstanding_writes(14, true);
    h.sessions[0].reads = {too_small(60)};
    h.downs = {{50, 70}};
    EXPECT_EQ(check(h).flow_control, 1u);
}

// The driver stops its request queue while the port is down; a write made then waits in it,
// before flow control counts anything, until the port is ready or its program gives up.
TEST(StressOracle, AWriteCancelledWhileThePortWasDownIsNoFlowControlFault) {
    for (unsigned sent : {0u, 14u}) {
        // The channel closed just before the write and was ready again after its cancel.
        history h = outstanding_writes(sent, true);
        h.downs = {{95, 300}};
        verdict v = check(h);
        EXPECT_EQ(v.flow_control, 0u) << sent;
        EXPECT_EQ(v.writes_held, 0u) << sent;
        EXPECT_EQ(v.drops.at(drop_write_queue_stopped), 1u) << sent;
        EXPECT_EQ(v.drops.count(drop_write_cancelled), 0u) << sent;
        // Closed during its wait: the same.
        h.downs = {{100, 300}};
        EXPECT_EQ(check(h).flow_control, 0u) << sent;
        // Down only before the write began, or only after it was cancelled: flow control
        // alone held it, and below 15 that is a fault.
        for (port_down d : {port_down{50, 99}, port_down{102, 300}}) {
            h.downs = {d};
            v = check(h);
            EXPECT_EQ(v.flow_control, 1u) << sent << " " << d.close;
            EXPECT_EQ(v.drops.at(drop_write_cancelled), 1u);
        }
    }
}

}  // namespace
