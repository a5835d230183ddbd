// A session's client id end to end, the test in the modem's place at the far end: the
// client-id request the driver writes, the control service's answer read back through the
// port and recorded in the session, and the release the session's clean-up writes, answered
// by a real response frame or never answered.
#include "session_fixture.h"

#include "framedecode/frame_decoder.h"
#include "kernel/pool.h"
#include "smd/far_end.h"
#include "win32/process.h"

#include <vrax/vrax_ioctl.h>

#include "protocol/control_requests.h"
#include "vrax_pool.h"
#include "vrax_wire.h"

namespace session_test {
namespace {

namespace far_end = smd::far_end;
namespace io = platform::io;

bytes tlv(std::uint8_t type, const bytes& value) {
    bytes t{type, static_cast<std::uint8_t>(value.size()), 0x00};
    t.insert(t.end(), value.begin(), value.end());
    return t;
}

// A frame of the control service (client id 0) around a control message.
bytes control_frame(std::uint8_t type, std::uint8_t id, std::uint8_t message_id,
                    const bytes& tlvs) {
    bytes f{0x01, 0, 0, 0, 0, 0, type, id, message_id, 0x00, static_cast<std::uint8_t>(tlvs.size()),
            0x00};
    f.insert(f.end(), tlvs.begin(), tlvs.end());
    f[1] = static_cast<std::uint8_t>((f.size() - 1) & 0xFF);
    f[2] = static_cast<std::uint8_t>((f.size() - 1) >> 8);
    return f;
}

// The control service's answer to request `id`: the result TLV, then `tlvs`.
bytes answer(std::uint8_t id, std::uint8_t message_id, std::uint16_t result, std::uint16_t error,
             const bytes& tlvs) {
    bytes all = tlv(VRAX_TLV_RESULT, {static_cast<std::uint8_t>(result), 0x00,
                                      static_cast<std::uint8_t>(error), 0x00});
    all.insert(all.end(), tlvs.begin(), tlvs.end());
    return control_frame(VRAX_MESSAGE_RESPONSE, id, message_id, all);
}

bool client_queue_stopped() {
    WdfWaitLockAcquire(ClientQueueLock, nullptr);
    const bool stopped = ClientQueueStopped != FALSE;
    WdfWaitLockRelease(ClientQueueLock);
    return stopped;
}

std::size_t client_records() {
    return platform::kernel::pool::outstanding(VRAX_TAG_CLIENT_RECORD).count;
}

class ControlAnswers : public Session {
  protected:
    // Asks for a client id of service 3 for the session, as the client-id control does,
    // and has the far end answer with `reply` (built for the request's id).
    void request_client_id(PCLIENT_CONTEXT s, const std::function<bytes(std::uint8_t)>& reply) {
        const int id = RequestClientId(s->SessionKey, 3, 0);
        ASSERT_GT(id, 0);
        auto request = far_end::next_frame(0, far_end::deadline_in_ms(1000));
        ASSERT_TRUE(request.has_value());
        EXPECT_EQ(*request, control_frame(VRAX_MESSAGE_REQUEST, static_cast<std::uint8_t>(id),
                                          VRAX_CONTROL_CLIENT_ID_ID, tlv(0x01, {3})))
            << framedecode::decode_frame(*request);
        ASSERT_EQ(far_end::queue_read(0, reply(static_cast<std::uint8_t>(id))), STATUS_SUCCESS);
        ASSERT_TRUE(wait_until([&] { return KeReadStateEvent(&s->AllocationEvent) != 0; }, 1000));
    }

    // Closes the handle while a program in the modem's place takes the release request off
    // the wire and, unless `confirm` is false, answers it 30 ms later. The release request
    // seen, and how long the close took.
    std::pair<std::optional<bytes>, std::int64_t> close_with_modem(HANDLE h, bool confirm) {
        auto seen = std::make_shared<std::optional<bytes>>();
        auto modem = machine_->host().run_program(io::token_kind::local_system, "modem", [=] {
            *seen = far_end::next_frame(0, far_end::deadline_in_ms(500));
            if (*seen && confirm) {
                Sleep(30);
                const bytes& release = **seen;
                far_end::queue_read(
                    0, answer(release[VRAX_FRAME_HEADER_SIZE + 1], VRAX_CONTROL_RELEASE_ID, 0, 0,
                              tlv(0x01, {release[15], release[16]})));
            }
        });
        const auto start = now_ms();
        CloseHandle(h);
        const auto took = now_ms() - start;
        modem->wait();
        return {*seen, took};
    }

    // Opens port 0 again from the far end after a loss and takes the frames the re-opened
    // port writes up to its service-table request, which it returns (nothing within 5 s).
    std::optional<bytes> reopen_and_take_table_request() {
        EXPECT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
        std::optional<bytes> frame;
        while ((frame = far_end::next_frame(0, far_end::deadline_in_ms(5000)))) {
            if ((*frame)[VRAX_FRAME_CONTROL_MESSAGE_ID_OFFSET] == VRAX_CONTROL_SERVICE_TABLE_ID)
                break;
        }
        return frame;
    }

    void TearDown() override {
        if (machine_) {
            EXPECT_FALSE(traced("no session at")) << "every walk of the sessions ran to its end";
        }
        Session::TearDown();
    }

    // A session bound to port 0, service 3, holding client id 7 granted by the far end.
    HANDLE open_holding_seven() {
        HANDLE h = open_vrax();
        PCLIENT_CONTEXT s = session_of(h);
        bind(s, 0, 3, 0, false);
        request_client_id(s, [](std::uint8_t id) {
            return answer(id, VRAX_CONTROL_CLIENT_ID_ID, 0, 0, tlv(0x01, {3, 7}));
        });
        return h;
    }

    void expect_release_of_seven(const std::optional<bytes>& release) {
        ASSERT_TRUE(release.has_value()) << "clean-up asked for the release";
        EXPECT_EQ(bytes(release->begin() + 8, release->end()),
                  (bytes{VRAX_CONTROL_RELEASE_ID, 0x00, 0x05, 0x00, 0x01, 0x02, 0x00, 0x03, 0x07}))
            << framedecode::decode_frame(*release);
    }
};

// The modem forgets every client id of a port when its channel closes and may grant the same
// id to another client once it is open again. A session whose id the loss ended sends no
// service write until it is granted an id again: neither a write made after the port is
// ready nor one that waited in the stopped queue goes out under the old id.
TEST_F(ControlAnswers, WritesOnAnIdAPortLossVoidedAreNotSentUntilANewGrant) {
    bring_up();
    ASSERT_EQ(
        far_end::queue_read(0, answer(2, VRAX_CONTROL_SERVICE_TABLE_ID, 0, 0, tlv(0x01, {0}))),
        STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return !client_queue_stopped(); }));
    HANDLE h = open_holding_seven();
    PCLIENT_CONTEXT s = session_of(h);
    HANDLE other = open_vrax(/*overlapped=*/true);
    bind(session_of(other), 0, 3, 5, false);
    const bytes message{0x00, 0x05, 0x00, 0x20, 0x00, 0x00, 0x00};
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, message.data(), static_cast<DWORD>(message.size()), &n, nullptr));
    auto frame = next_service_frame();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ((*frame)[VRAX_FRAME_CLIENT_ID_OFFSET], 7);

    ASSERT_EQ(far_end::close_channel(0), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 2; }));
    EXPECT_EQ(s->ClientIdHeld, 0u) << "a lost port ends every held id";
    std::optional<bytes> table_request = reopen_and_take_table_request();
    ASSERT_TRUE(table_request.has_value());
    // Made while the port is down: it waits in the stopped queue. The other session, which
    // held no id, writes too: its write still goes out.
    auto waiting = start_write(other, message);
    settle_ms(50);
    EXPECT_FALSE(waiting->done());
    ASSERT_EQ(far_end::queue_read(0, answer((*table_request)[VRAX_FRAME_HEADER_SIZE + 1],
                                            VRAX_CONTROL_SERVICE_TABLE_ID, 0, 0, tlv(0x01, {0}))),
              STATUS_SUCCESS);
    EXPECT_EQ(waiting->finish(other, &n), 0u);
    EXPECT_EQ(n, message.size());
    frame = next_service_frame();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ((*frame)[VRAX_FRAME_CLIENT_ID_OFFSET], 5);

    // The port is ready: the session with the voided id writes, and nothing is sent.
    ASSERT_TRUE(WriteFile(h, message.data(), static_cast<DWORD>(message.size()), &n, nullptr));
    EXPECT_EQ(n, 0u) << "a write that cannot be sent reports no byte written";
    EXPECT_FALSE(next_service_frame(200).has_value());
    EXPECT_TRUE(traced("on a voided id not sent"));
    EXPECT_EQ(outstanding(s), 0u) << "a write not sent does not count as outstanding";

    // Granted id 7 again (the modem's choice): writes go out again under it. The event still
    // holds the first grant; the control clears it before asking, as here.
    KeClearEvent(&s->AllocationEvent);
    request_client_id(s, [](std::uint8_t id) {
        return answer(id, VRAX_CONTROL_CLIENT_ID_ID, 0, 0, tlv(0x01, {3, 7}));
    });
    ASSERT_TRUE(WriteFile(h, message.data(), static_cast<DWORD>(message.size()), &n, nullptr));
    EXPECT_EQ(n, message.size());
    frame = next_service_frame();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ((*frame)[VRAX_FRAME_CLIENT_ID_OFFSET], 7);
    EXPECT_EQ(bytes(frame->begin() + VRAX_FRAME_HEADER_SIZE, frame->end()), message);
    CloseHandle(other);
    CloseHandle(h);
}

// A bind starts the session afresh: a voided id no longer keeps its writes back.
TEST_F(ControlAnswers, ABindAfterAPortLossLetsTheSessionWriteAgain) {
    bring_up();
    ASSERT_EQ(
        far_end::queue_read(0, answer(2, VRAX_CONTROL_SERVICE_TABLE_ID, 0, 0, tlv(0x01, {0}))),
        STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return !client_queue_stopped(); }));
    HANDLE h = open_holding_seven();
    ASSERT_EQ(far_end::close_channel(0), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 2; }));
    std::optional<bytes> table_request = reopen_and_take_table_request();
    ASSERT_TRUE(table_request.has_value());
    ASSERT_EQ(far_end::queue_read(0, answer((*table_request)[VRAX_FRAME_HEADER_SIZE + 1],
                                            VRAX_CONTROL_SERVICE_TABLE_ID, 0, 0, tlv(0x01, {0}))),
              STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return !client_queue_stopped(); }));
    const bytes message{0x00, 0x05, 0x00, 0x20, 0x00, 0x00, 0x00};
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, message.data(), static_cast<DWORD>(message.size()), &n, nullptr));
    EXPECT_EQ(n, 0u);

    std::uint8_t input[4] = {4, 0, 0, 0};
    std::uint8_t output[64] = {};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(h, IOCTL_VRAX_BIND_SERVICE, input, sizeof input, output,
                                sizeof output, &returned, nullptr));
    ASSERT_TRUE(WriteFile(h, message.data(), static_cast<DWORD>(message.size()), &n, nullptr));
    EXPECT_EQ(n, message.size());
    auto frame = next_service_frame();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ((*frame)[VRAX_FRAME_SERVICE_TYPE_OFFSET], 4);
    EXPECT_EQ((*frame)[VRAX_FRAME_CLIENT_ID_OFFSET], 0);
    CloseHandle(h);
}

TEST_F(ControlAnswers, AGrantFromTheFarEndIsHeldRoutedAndReleasedOnConfirmation) {
    bring_up();
    HANDLE h = open_holding_seven();
    PCLIENT_CONTEXT s = session_of(h);
    EXPECT_EQ(s->ClientId, 7);
    EXPECT_EQ(s->ClientIdHeld, 1u);
    EXPECT_EQ(client_records(), 1u);

    // The granted id is the session's: a frame for it reaches the session's store.
    const bytes message{0x04, 0x01, 0x00, 0x20, 0x00, 0x00, 0x00};
    bytes to_seven{0x01, 12, 0x00, 0x00, 0x03, 0x07};
    to_seven.insert(to_seven.end(), message.begin(), message.end());
    ASSERT_EQ(far_end::queue_read(0, to_seven), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return stored_messages(s) == 1; }, 1000));

    // Closing asks for the release and ends as soon as the far end confirms it.
    auto [release, took] = close_with_modem(h, true);
    expect_release_of_seven(release);
    EXPECT_GE(took, 30);
    EXPECT_LT(took, 1000);
    EXPECT_FALSE(traced("not confirmed"));
    EXPECT_EQ(session_count(), 0u);
    EXPECT_EQ(client_records(), 0u) << "the confirmation released the id in the routing table";
}

TEST_F(ControlAnswers, AnUnansweredReleaseEndsTheCloseAfterFiveSeconds) {
    bring_up();
    auto [release, took] = close_with_modem(open_holding_seven(), false);
    expect_release_of_seven(release);
    EXPECT_EQ(took, 5000);
    EXPECT_TRUE(traced("release of client id 7 not confirmed"));
    EXPECT_EQ(session_count(), 0u);
}

TEST_F(ControlAnswers, WithSupportNewHwIdAnUnansweredReleaseEndsAfterOneSecond) {
    bring_up(true);
    auto [release, took] = close_with_modem(open_holding_seven(), false);
    expect_release_of_seven(release);
    EXPECT_EQ(took, 1000);
    EXPECT_EQ(session_count(), 0u);
}

// A refusal (error 31, no id) leaves the session refused but answered; it ends at once and
// asks for no release. A grant whose id cannot be read is reported the same way.
TEST_F(ControlAnswers, ARefusedOrUnreadableGrantEndsWithoutARelease) {
    bring_up();
    struct row {
        const char* what;
        std::uint16_t result, error;
        bytes tlvs;
    };
    const row rows[] = {{"refused, no ids left", 1, VRAX_ERROR_NO_CLIENT_IDS, {}},
                        {"granted, id cut short", 0, 0, tlv(0x01, {3})}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        HANDLE h = open_vrax();
        PCLIENT_CONTEXT s = session_of(h);
        bind(s, 0, 3, 0, false);
        request_client_id(s, [&](std::uint8_t id) {
            return answer(id, VRAX_CONTROL_CLIENT_ID_ID, r.result, r.error, r.tlvs);
        });
        EXPECT_EQ(s->ClientId, VRAX_CLIENT_ID_REFUSED);
        EXPECT_EQ(s->ClientIdHeld, 1u);
        EXPECT_EQ(client_records(), 0u);
        auto [release, took] = close_with_modem(h, true);
        EXPECT_FALSE(release.has_value());
        EXPECT_EQ(took, 0);
    }
    EXPECT_EQ(session_count(), 0u);
}

// The port lost and opened again: a write made meanwhile waits in the stopped client queue.
// The far end's answer to the port-open routine's service-table request fills the version
// table, posts port-ready to the bound session, wakes the routine and starts the queue, which
// presents the waiting write on the service thread once the routing lock is released.
TEST_F(ControlAnswers, TheServiceTableAfterAPortLossMakesThePortReadyAndLetsWaitingWritesGo) {
    bring_up();
    // The answer to the start-up request, late: until a first table has arrived the queue
    // does not count as stopped, and a loss would leave it running.
    ASSERT_EQ(
        far_end::queue_read(0, answer(2, VRAX_CONTROL_SERVICE_TABLE_ID, 0, 0, tlv(0x01, {0}))),
        STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] {
        WdfWaitLockAcquire(ClientQueueLock, nullptr);
        const bool stopped = ClientQueueStopped != FALSE;
        WdfWaitLockRelease(ClientQueueLock);
        return !stopped;
    }));
    HANDLE h = open_vrax(/*overlapped=*/true);
    PCLIENT_CONTEXT s = session_of(h);
    // Bound with no id held: an id the loss voids would keep the write from going out.
    bind(s, 0, 3, 9, false);

    ASSERT_EQ(far_end::close_channel(0), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 2; }));
    std::optional<bytes> table_request = reopen_and_take_table_request();
    ASSERT_TRUE(table_request.has_value()) << "the re-opened port asks for its service table";
    EXPECT_EQ(KeReadStateEvent(&PortReadyEvent), 0);

    const bytes message{0x00, 0x05, 0x00, 0x20, 0x00, 0x00, 0x00};
    auto write = start_write(h, message);
    settle_ms(200);
    EXPECT_FALSE(write->done()) << "the client queue is stopped until the port is ready";
    EXPECT_FALSE(next_service_frame(10).has_value());

    // Service 3: words 0x0102, 0x0304 from the first list, 0x0506, 0x0708 from the second.
    bytes tlvs = tlv(0x01, {1, 3, 0x02, 0x01, 0x04, 0x03});
    const bytes second{0x10, 0x00, 0x00, 1, 3, 0x06, 0x05, 0x08, 0x07};
    tlvs.insert(tlvs.end(), second.begin(), second.end());
    ASSERT_EQ(far_end::queue_read(0, answer((*table_request)[VRAX_FRAME_HEADER_SIZE + 1],
                                            VRAX_CONTROL_SERVICE_TABLE_ID, 0, 0, tlvs)),
              STATUS_SUCCESS);

    DWORD n = 0;
    EXPECT_EQ(write->finish(h, &n), 0u);
    EXPECT_EQ(n, message.size());
    auto frame = next_service_frame();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(bytes(frame->begin() + VRAX_FRAME_HEADER_SIZE, frame->end()), message);
    EXPECT_EQ(ServiceVersionTable[0][3].Words[0], 0x0102);
    EXPECT_EQ(ServiceVersionTable[0][3].Words[1], 0x0304);
    EXPECT_EQ(ServiceVersionTable[0][3].Words[2], 0x0506);
    EXPECT_EQ(ServiceVersionTable[0][3].Words[3], 0x0708);
    ASSERT_TRUE(wait_until([] { return KeReadStateEvent(&PortReadyEvent) == 0; }, 100))
        << "the port-open routine took the ready signal";
    const std::string timed_out = "port 0 open: transaction " +
                                  std::to_string((*table_request)[VRAX_FRAME_HEADER_SIZE + 1]) +
                                  " ended";
    settle_ms(6000);
    EXPECT_FALSE(traced(timed_out.c_str())) << "the routine did not wait out its time";

    // Port lost, then port ready, stored for the session's notification reads.
    WdfWaitLockAcquire(s->NotificationLock, nullptr);
    std::vector<bytes> notes;
    for (ULONG i = 0; i < WdfCollectionGetCount(s->Notifications); ++i) {
        size_t size = 0;
        auto* note = static_cast<const std::uint8_t*>(WdfMemoryGetBuffer(
            static_cast<WDFMEMORY>(WdfCollectionGetItem(s->Notifications, i)), &size));
        notes.emplace_back(note, note + size);
    }
    WdfWaitLockRelease(s->NotificationLock);
    EXPECT_EQ(notes, (std::vector<bytes>{{1, 0, 0, 0, 3, 0, 0, 0}, {0, 0, 0, 0, 3, 0, 0, 0}}));
    CloseHandle(h);
}

}  // namespace
}  // namespace session_test
