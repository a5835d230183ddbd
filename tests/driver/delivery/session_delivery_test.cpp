// Delivery to sessions opened as programs open them: broadcasts and unicasts into waiting
// reads or the sessions' stores, a read too small or a copy that cannot be stored costing
// only that session the message, write flow control given back, port-state notifications,
// the signals of control-service answers, the reply catcher, and walks over ClientSessions
// that end early releasing every lock. The notification-read control is not served by the
// driver's dispatcher yet: this binary's dispatcher hands it to ReadNotification as the
// control will.
#include <cstring>
#include <vector>

#include "core/faults.h"
#include "core/lock_tracker.h"
#include "kernel/pool.h"
#include "smd/far_end.h"

#include "../session/session_fixture.h"
#include "ioctl/ioctl_dispatch.h"
#include "protocol/routing.h"
#include "protocol/routing_table.h"
#include "session/delivery.h"
#include "session/port_state.h"
#include "session/read_write.h"
#include "session/session_index.h"
#include "vrax_device.h"
#include "vrax_pool.h"
#include "vrax_wire.h"

#define TEST_NOTIFICATION_READ 0x12430

VOID EvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                        size_t InputBufferLength, ULONG IoControlCode) {
    UNREFERENCED_PARAMETER(Queue);
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    if (IoControlCode != TEST_NOTIFICATION_READ) {
        WdfRequestComplete(Request, STATUS_INVALID_DEVICE_REQUEST);
        return;
    }
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    ReadNotification(Request);
    WdfWaitLockRelease(ClientSessionsLock);
}

namespace {

using namespace session_test;
namespace far_end = smd::far_end;

bytes frame(UCHAR service, UCHAR client, const bytes& message) {
    bytes f{0x01, 0, 0, 0, service, client};
    f.insert(f.end(), message.begin(), message.end());
    f[1] = static_cast<std::uint8_t>((f.size() - 1) & 0xFF);
    f[2] = static_cast<std::uint8_t>((f.size() - 1) >> 8);
    return f;
}

// A service message of the given type with a 7-byte header and `tail` after it.
bytes message(UCHAR type, UCHAR id, const bytes& tail = {}) {
    bytes m{type, 0x01, 0x00, id, 0x00, static_cast<UCHAR>(tail.size()), 0x00};
    m.insert(m.end(), tail.begin(), tail.end());
    return m;
}

ULONG notifications(PCLIENT_CONTEXT s) {
    WdfWaitLockAcquire(s->NotificationLock, nullptr);
    ULONG n = WdfCollectionGetCount(s->Notifications);
    WdfWaitLockRelease(s->NotificationLock);
    return n;
}

bool signalled(KEVENT& e) {
    return KeReadStateEvent(&e) != 0;
}

// A pending notification read (an overlapped control) and its outcome.
struct notification_read {
    OVERLAPPED ov{};
    bytes buffer;
    BOOL started = FALSE;
    notification_read(HANDLE h, std::size_t size) : buffer(size, 0xAB) {
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        started = DeviceIoControl(h, TEST_NOTIFICATION_READ, nullptr, 0, buffer.data(),
                                  static_cast<DWORD>(size), nullptr, &ov);
    }
    ~notification_read() { CloseHandle(ov.hEvent); }
    bool done() const { return HasOverlappedIoCompleted(&ov); }
    DWORD finish(HANDLE h, DWORD* n) {
        return GetOverlappedResult(h, &ov, n, TRUE) ? 0 : GetLastError();
    }
};

class Delivery : public Session {
  protected:
    void SetUp() override { bring_up(); }
    // Opens a handle and binds its session.
    HANDLE open_bound(ULONG port, ULONG service, UCHAR client, bool held = false) {
        HANDLE h = open_vrax(true);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        PCLIENT_CONTEXT s = session_of(h);
        EXPECT_NE(s, nullptr);
        if (service != 0) {
            bind(s, port, service, client, held);
        }
        handles_.push_back(h);
        return h;
    }
    // Hands a frame to port 0's reader and lets the service thread route it.
    void arrive(const bytes& f) {
        ASSERT_EQ(far_end::queue_read(0, f), STATUS_SUCCESS);
        settle_ms(50);
    }
    void own_client_id(HANDLE h, UCHAR service, UCHAR client) {
        WDFWAITLOCK lock = RoutingTable[0].RoutingLock;
        WdfWaitLockAcquire(lock, nullptr);
        EXPECT_EQ(RegisterClientId(session_of(h)->SessionKey, 0, service, client), 0);
        WdfWaitLockRelease(lock);
    }
    void TearDown() override {
        for (HANDLE h : handles_) {
            CloseHandle(h);
        }
        Session::TearDown();
    }
    std::vector<HANDLE> handles_;
};

TEST_F(Delivery, BroadcastReachesEverySessionOfThePortAndServiceAndNoOther) {
    HANDLE a = open_bound(0, 3, 5, true);
    HANDLE b = open_bound(0, 3, 0);  // holds no client id
    HANDLE other_port = open_bound(1, 3, 5, true);
    HANDLE other_service = open_bound(0, 4, 5, true);
    HANDLE unbound = open_bound(0, 0, 0);
    auto read = start_read(a, 64);
    const bytes m = message(0x04, 0x20, {0x01, 0x01, 0x00, 0x07});

    arrive(frame(3, 0xFF, m));
    DWORD n = 0;
    ASSERT_EQ(read->finish(a, &n), 0u);
    EXPECT_EQ(bytes(read->buffer.begin(), read->buffer.begin() + n), m);
    EXPECT_EQ(stored_messages(session_of(b)), 1u);
    for (HANDLE h : {other_port, other_service, unbound}) {
        EXPECT_EQ(stored_messages(session_of(h)), 0u);
    }
    // On service 0 it reaches the sessions of the port that bound no service.
    arrive(frame(0, 0xFF, {0x02, 0x00, 0x30, 0x00, 0x00, 0x00}));
    EXPECT_EQ(stored_messages(session_of(unbound)), 1u);
    EXPECT_EQ(stored_messages(session_of(b)), 1u);
    EXPECT_EQ(stored_messages(session_of(other_port)), 0u);

    auto later = start_read(b, 64);
    ASSERT_EQ(later->finish(b, &n), 0u);
    EXPECT_EQ(bytes(later->buffer.begin(), later->buffer.begin() + n), m);
}

TEST_F(Delivery, AReadTooSmallCostsOnlyItsOwnSessionTheMessage) {
    HANDLE a = open_bound(0, 3, 5, true);
    HANDLE b = open_bound(0, 3, 6, true);
    const bytes m = message(0x04, 0x21);
    auto small = start_read(a, m.size() - 1);
    auto fits = start_read(b, 64);
    arrive(frame(3, 0xFF, m));
    DWORD n = 1;
    EXPECT_EQ(small->finish(a, &n), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(stored_messages(session_of(a)), 0u) << "the failed read's session loses it";
    ASSERT_EQ(fits->finish(b, &n), 0u) << "delivery goes on past the failed read";
    EXPECT_EQ(n, m.size());

    // Unicast likewise: the owner's failed read loses it, nobody else is touched.
    own_client_id(a, 3, 5);
    small = start_read(a, 2);
    arrive(frame(3, 5, m));
    EXPECT_EQ(small->finish(a, &n), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(stored_messages(session_of(a)), 0u);
    EXPECT_EQ(stored_messages(session_of(b)), 0u);

    // A copy that cannot be stored is lost for that session only.
    // (Called here rather than through a port read, which makes memory objects of its own.)
    bytes copy = m;
    platform::faults::fail_nth("WdfMemoryCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    DeliverServiceMessage(VRAX_SESSION_KEY_NONE, 0, 3, copy.data(),
                          static_cast<ULONG>(copy.size()));
    EXPECT_EQ(stored_messages(session_of(a)), 0u);
    EXPECT_EQ(stored_messages(session_of(b)), 1u);

    // One that cannot be listed is freed at once rather than left to the file object.
    const auto frames_held = platform::kernel::pool::outstanding(VRAX_TAG_FRAME).count;
    platform::faults::fail_nth("WdfCollectionAdd", 1, STATUS_INSUFFICIENT_RESOURCES);
    DeliverServiceMessage(VRAX_SESSION_KEY_NONE, 0, 3, copy.data(),
                          static_cast<ULONG>(copy.size()));
    EXPECT_EQ(stored_messages(session_of(a)), 0u);
    EXPECT_EQ(stored_messages(session_of(b)), 2u);
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_FRAME).count, frames_held + 1)
        << "only b's copy is held";
}

TEST_F(Delivery, AUnicastReachesTheOwningKeyWhateverTheSessionIsBoundTo) {
    HANDLE owner = open_bound(2, 8, 1, true);
    HANDLE same_service = open_bound(0, 5, 7, true);
    own_client_id(owner, 5, 7);
    arrive(frame(5, 7, message(0x04, 0x22)));
    EXPECT_EQ(stored_messages(session_of(owner)), 1u);
    EXPECT_EQ(stored_messages(session_of(same_service)), 0u);
    // An id nobody owns reaches nobody.
    arrive(frame(5, 8, message(0x04, 0x22)));
    EXPECT_EQ(stored_messages(session_of(owner)) + stored_messages(session_of(same_service)), 1u);
}

// Routes a unicast as the demultiplexer does, under port 0's routing lock, without the
// channel (which a port loss leaves closed).
void route(UCHAR service, UCHAR client) {
    bytes m = message(0x04, 0x22);
    WDFWAITLOCK lock = RoutingTable[0].RoutingLock;
    WdfWaitLockAcquire(lock, nullptr);
    RouteUnicast(0, service, client, 0, m.data(), static_cast<ULONG>(m.size()));
    WdfWaitLockRelease(lock);
}

void rekey(PCLIENT_CONTEXT s, ULONG key) {
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    RekeySession(s, key);
    WdfWaitLockRelease(ClientSessionsLock);
}

// The sessions with a key, in the order a unicast reaches them.
std::vector<PCLIENT_CONTEXT> with_key(ULONG key) {
    std::vector<PCLIENT_CONTEXT> found;
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    for (PCLIENT_CONTEXT s = FirstSessionWithKey(key); s != nullptr;
         s = NextSessionWithKey(s, key)) {
        found.push_back(s);
    }
    WdfWaitLockRelease(ClientSessionsLock);
    return found;
}

// A client id passes from one session to another: a unicast reaches its owner of the moment
// and no one else, through a grant, a release and a re-grant, a port loss that forgets every
// id and a grant after it, and a session's clean-up.
TEST_F(Delivery, AUnicastReachesTheIdsOwnerOfTheMomentAndOnlyIt) {
    HANDLE a = open_bound(0, 5, 7, true);
    HANDLE b = open_bound(0, 5, 7, true);
    PCLIENT_CONTEXT sa = session_of(a), sb = session_of(b);
    own_client_id(a, 5, 7);
    route(5, 7);
    EXPECT_EQ(stored_messages(sa), 1u);
    EXPECT_EQ(stored_messages(sb), 0u);

    WDFWAITLOCK lock = RoutingTable[0].RoutingLock;
    WdfWaitLockAcquire(lock, nullptr);
    ASSERT_EQ(ReleaseClientId(sa->SessionKey, 0, 5, 7), 0);
    WdfWaitLockRelease(lock);
    route(5, 7);
    EXPECT_EQ(stored_messages(sa) + stored_messages(sb), 1u) << "a released id reaches nobody";
    own_client_id(b, 5, 7);
    route(5, 7);
    EXPECT_EQ(stored_messages(sa), 1u);
    EXPECT_EQ(stored_messages(sb), 1u);

    // The port is lost: every id is forgotten; the modem grants 7 again, to a.
    ASSERT_EQ(far_end::close_channel(0), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return notifications(sb) == 1; }));
    route(5, 7);
    EXPECT_EQ(stored_messages(sa) + stored_messages(sb), 2u) << "forgotten with the port";
    own_client_id(a, 5, 7);
    route(5, 7);
    EXPECT_EQ(stored_messages(sa), 2u);
    EXPECT_EQ(stored_messages(sb), 1u);

    // a ends: its id goes with it, and its key reaches no one.
    const ULONG ka = sa->SessionKey;
    std::erase(handles_, a);
    CloseHandle(a);
    EXPECT_TRUE(with_key(ka).empty());
    bytes m = message(0x04, 0x22);
    DeliverServiceMessage(ka, 0, 5, m.data(), static_cast<ULONG>(m.size()));
    EXPECT_EQ(stored_messages(sb), 1u);
}

// Sessions that share a key (the reset control gives every session it resets key 0) are
// reached in the order they were opened, whatever the order their keys changed in; a session
// leaves its old key's sessions when its key changes and all of them when it ends.
TEST_F(Delivery, SessionsSharingAKeyAreReachedInOpeningOrderUntilTheyLeave) {
    HANDLE a = open_bound(0, 3, 5), b = open_bound(0, 3, 6), c = open_bound(1, 4, 7);
    PCLIENT_CONTEXT sa = session_of(a), sb = session_of(b), sc = session_of(c);
    const ULONG kb = sb->SessionKey;
    rekey(sc, 0);
    rekey(sa, 0);
    EXPECT_EQ(with_key(0), (std::vector<PCLIENT_CONTEXT>{sa, sc}));
    rekey(sb, 0);
    EXPECT_EQ(with_key(0), (std::vector<PCLIENT_CONTEXT>{sa, sb, sc}));
    EXPECT_TRUE(with_key(kb).empty());
    bytes m = message(0x04, 0x22);
    DeliverServiceMessage(0, 2, 9, m.data(), static_cast<ULONG>(m.size()));
    for (PCLIENT_CONTEXT s : {sa, sb, sc}) {
        EXPECT_EQ(stored_messages(s), 1u);
    }
    // The first of them decides whether a service-2 reply is caught.
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    sb->Kind = VRAX_SESSION_KIND_AWAITING_REPLY;
    WdfWaitLockRelease(ClientSessionsLock);
    EXPECT_FALSE(IsAwaitingReply(0));
    rekey(sa, 0x77);
    EXPECT_TRUE(IsAwaitingReply(0));
    EXPECT_EQ(with_key(0x77), std::vector<PCLIENT_CONTEXT>{sa});

    std::erase(handles_, b);
    CloseHandle(b);
    EXPECT_EQ(with_key(0), std::vector<PCLIENT_CONTEXT>{sc});
    DeliverServiceMessage(0, 2, 9, m.data(), static_cast<ULONG>(m.size()));
    EXPECT_EQ(stored_messages(sc), 2u);
    EXPECT_EQ(stored_messages(sa), 1u);
}

TEST_F(Delivery, TypeTwoGivesAWriteBackAtOnceIntoAWaitingReadAndOnlyWhenReadOnceStored) {
    HANDLE a = open_bound(0, 3, 5, true);
    PCLIENT_CONTEXT s = session_of(a);
    set_outstanding(s, 3);
    auto read = start_read(a, 64);
    arrive(frame(3, 0xFF, message(0x02, 0x23)));
    EXPECT_TRUE(read->done());
    EXPECT_EQ(outstanding(s), 2u) << "handed to the read: released at delivery";

    arrive(frame(3, 0xFF, message(0x02, 0x23)));
    EXPECT_EQ(outstanding(s), 2u) << "stored: nothing released yet";
    read = start_read(a, 64);
    DWORD n = 0;
    ASSERT_EQ(read->finish(a, &n), 0u);
    EXPECT_EQ(outstanding(s), 1u) << "released when read";

    read = start_read(a, 64);
    arrive(frame(3, 0xFF, message(0x04, 0x23)));
    ASSERT_EQ(read->finish(a, &n), 0u);
    EXPECT_EQ(outstanding(s), 1u) << "other message types release nothing";
}

TEST_F(Delivery, PortReadyReachesABoundSessionOnceAndAgainOnlyIfItWasStored) {
    HANDLE a = open_bound(0, 3, 5, true);
    HANDLE refused = open_bound(0, 3, VRAX_CLIENT_ID_REFUSED, true);
    HANDLE unbound = open_bound(0, 0, 0);
    PCLIENT_CONTEXT s = session_of(a);

    NotifyPortState(0, VRAX_PORT_STATE_READY);
    NotifyPortState(0, VRAX_PORT_STATE_READY);
    EXPECT_EQ(notifications(s), 2u) << "stored: LastPortState unchanged, so stored again";
    EXPECT_EQ(s->LastPortState, VRAX_PORT_STATE_NONE);
    EXPECT_EQ(notifications(session_of(refused)), 0u);
    EXPECT_EQ(notifications(session_of(unbound)), 0u);
    for (int i = 0; i < 2; ++i) {
        notification_read stored(a, 8);
        DWORD n = 0;
        ASSERT_EQ(stored.finish(a, &n), 0u);
        EXPECT_EQ(stored.buffer, (bytes{0, 0, 0, 0, 3, 0, 0, 0}));
    }

    // Handed to a waiting read: LastPortState is 0, and a second 0 is not offered again.
    notification_read waiting(a, 16);
    EXPECT_FALSE(waiting.done());
    NotifyPortState(0, VRAX_PORT_STATE_READY);
    DWORD n = 0;
    ASSERT_EQ(waiting.finish(a, &n), 0u);
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(s->LastPortState, 0u);
    NotifyPortState(0, VRAX_PORT_STATE_READY);
    EXPECT_EQ(notifications(s), 0u);

    // A waiting read shorter than a notification fails and the notification is dropped.
    notification_read short_read(a, 7);
    NotifyPortState(0, VRAX_PORT_STATE_LOST);
    EXPECT_EQ(short_read.finish(a, &n), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(notifications(s), 0u);
    EXPECT_EQ(s->LastPortState, 0u);

    // One that cannot be listed is dropped and freed at once.
    const auto held = platform::kernel::pool::outstanding(VRAX_TAG_FRAME).count;
    platform::faults::fail_nth("WdfCollectionAdd", 1, STATUS_INSUFFICIENT_RESOURCES);
    NotifyPortState(0, VRAX_PORT_STATE_LOST);
    EXPECT_EQ(notifications(s), 0u);
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_FRAME).count, held);
    EXPECT_EQ(platform::lock_tracker::held_count(), 0u);
}

TEST_F(Delivery, PortLossClearsEveryHeldIdAndTellsOnlyTheLostPortsSessions) {
    HANDLE a = open_bound(0, 3, 5, true);
    HANDLE elsewhere = open_bound(1, 3, 5, true);
    HANDLE refused = open_bound(0, 3, VRAX_CLIENT_ID_REFUSED, true);
    ASSERT_EQ(far_end::close_channel(0), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return notifications(session_of(a)) == 1; }));
    for (HANDLE h : {a, elsewhere, refused}) {
        EXPECT_EQ(session_of(h)->ClientIdHeld, 0u);
    }
    EXPECT_EQ(notifications(session_of(elsewhere)), 0u);
    EXPECT_EQ(notifications(session_of(refused)), 0u);
}

TEST_F(Delivery, AllocationReleaseAndValueAnswersReachTheAskingSession) {
    HANDLE a = open_bound(0, 3, 0);
    HANDLE b = open_bound(0, 3, 0);
    PCLIENT_CONTEXT s = session_of(a);
    const ULONG key = s->SessionKey;

    SignalAllocationResult(1, key, 9, 0);
    EXPECT_FALSE(signalled(s->AllocationEvent)) << "another port's answer";
    SignalAllocationResult(0, key, 9, VRAX_ERROR_NO_CLIENT_IDS);
    EXPECT_EQ(s->ClientId, VRAX_CLIENT_ID_REFUSED);
    EXPECT_EQ(s->ClientIdHeld, 1u);
    EXPECT_TRUE(signalled(s->AllocationEvent));
    SignalAllocationResult(0, key, 9, 4);
    EXPECT_EQ(s->ClientId, 0);
    SignalAllocationResult(0, key, 9, 0);
    EXPECT_EQ(s->ClientId, 9);
    EXPECT_FALSE(signalled(session_of(b)->AllocationEvent));
    EXPECT_EQ(session_of(b)->ClientIdHeld, 0u);

    SignalReleaseDone(1, key);
    EXPECT_FALSE(signalled(s->ReleaseEvent));
    SignalReleaseDone(0, key);
    EXPECT_TRUE(signalled(s->ReleaseEvent));

    SignalValue(7, key, 0xBEEF);  // the port is not compared
    EXPECT_EQ(s->RequestResult, 0xBEEF);
    EXPECT_TRUE(signalled(s->ResultEvent));
    EXPECT_FALSE(signalled(session_of(b)->ResultEvent));
}

TEST_F(Delivery, TheReplyCatcherCopiesTlv0x12CutToItsFieldAndReadsNothingPastTheEnd) {
    HANDLE a = open_bound(0, 2, 5, true);
    PCLIENT_CONTEXT s = session_of(a);
    own_client_id(a, 2, 5);
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    s->Kind = VRAX_SESSION_KIND_AWAITING_REPLY;
    WdfWaitLockRelease(ClientSessionsLock);

    bytes value{0xEE, 0xEE, 0xEE, 0xEE, 0x12, 3, 0, 'a', 'b', 'c', 0x07, 1, 0, 'x', 0x12, 30, 0};
    for (UCHAR i = 0; i < 30; ++i) {
        value.push_back(i);
    }
    bytes tlv{0x01, static_cast<UCHAR>(value.size()), 0x00};
    tlv.insert(tlv.end(), value.begin(), value.end());
    arrive(frame(2, 5, message(0x01, VRAX_SERVICE_TWO_QUERY_ID, tlv)));
    EXPECT_TRUE(signalled(s->ReplyEvent));
    EXPECT_EQ(stored_messages(s), 0u) << "caught, not delivered";
    for (UCHAR i = 0; i < VRAX_REPLY_DATA_SIZE; ++i) {
        EXPECT_EQ(s->ReplyData[i], i) << "the later TLV, cut to 28 bytes";
    }

    // TLVs that run past the end, a tail shorter than a TLV header, data shorter than the
    // skipped bytes: exact-size buffers, so a read past them is caught under the sanitizer.
    const std::vector<bytes> cases{
        {0, 0, 0, 0, 0x12, 10, 0, 'p', 'q'}, {0, 0, 0, 0, 0x12, 1, 0, 'z', 0x12, 0}, {0, 0, 0}, {}};
    for (const bytes& c : cases) {
        KeClearEvent(&s->ReplyEvent);
        auto data = std::make_unique<UCHAR[]>(c.empty() ? 1 : c.size());
        if (!c.empty()) {
            std::memcpy(data.get(), c.data(), c.size());
        }
        CatchReply(s->SessionKey, data.get(), static_cast<ULONG>(c.size()));
        EXPECT_TRUE(signalled(s->ReplyEvent));
    }
    EXPECT_EQ(s->ReplyData[0], 'z') << "a whole TLV before a cut one is still taken";
    EXPECT_EQ(s->ReplyData[1], 1) << "only its one byte written";

    // A session that is not waiting for a reply gets the answer as a message.
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    s->Kind = VRAX_SESSION_KIND_BOUND;
    WdfWaitLockRelease(ClientSessionsLock);
    EXPECT_FALSE(IsAwaitingReply(s->SessionKey));
    arrive(frame(2, 5, message(0x01, VRAX_SERVICE_TWO_QUERY_ID, tlv)));
    EXPECT_EQ(stored_messages(s), 1u);
}

TEST_F(Delivery, WalksThatMeetAnItemWithoutASessionEndAndReleaseEveryLock) {
    PCLIENT_CONTEXT a = session_of(open_bound(0, 3, 5, true));
    PCLIENT_CONTEXT b = session_of(open_bound(0, 3, 5, true));
    const ULONG kb = b->SessionKey;
    // An item without a session between the two (session_of is not used while it is there:
    // it reads every item as a file object).
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    WDFMEMORY stray = nullptr;
    ASSERT_EQ(WdfMemoryCreate(&attributes, VraxPoolType, VRAX_TAG_FRAME, 4, &stray, nullptr),
              STATUS_SUCCESS);
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    ASSERT_EQ(WdfCollectionAdd(ClientSessions, stray), STATUS_SUCCESS);
    WDFOBJECT second = WdfCollectionGetItem(ClientSessions, 1);
    WdfCollectionRemove(ClientSessions, second);
    ASSERT_EQ(WdfCollectionAdd(ClientSessions, second), STATUS_SUCCESS);
    WdfWaitLockRelease(ClientSessionsLock);

    bytes m = message(0x04, 0x24);
    DeliverServiceMessage(VRAX_SESSION_KEY_NONE, 0, 3, m.data(), static_cast<ULONG>(m.size()));
    EXPECT_EQ(stored_messages(a), 1u);
    EXPECT_EQ(stored_messages(b), 0u) << "the walk ended at the stray item";
    NotifyPortState(0, VRAX_PORT_STATE_LOST);
    EXPECT_EQ(a->ClientIdHeld, 0u);
    EXPECT_EQ(b->ClientIdHeld, 1u);
    SignalAllocationResult(0, kb, 1, 0);
    SignalReleaseDone(0, kb);
    SignalValue(0, kb, 1);
    EXPECT_FALSE(IsAwaitingReply(kb));
    EXPECT_FALSE(signalled(b->AllocationEvent));
    // Unicasts and the reply catcher find b by its key, not by walking the collection.
    CatchReply(kb, m.data(), static_cast<ULONG>(m.size()));
    EXPECT_TRUE(signalled(b->ReplyEvent));
    DeliverServiceMessage(kb, 0, 3, m.data(), static_cast<ULONG>(m.size()));
    EXPECT_EQ(stored_messages(b), 1u);
    EXPECT_EQ(platform::lock_tracker::held_count(), 0u);

    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    WdfCollectionRemove(ClientSessions, stray);
    WdfWaitLockRelease(ClientSessionsLock);
    WdfObjectDelete(stray);
}

}  // namespace
