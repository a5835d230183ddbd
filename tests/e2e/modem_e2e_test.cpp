// The driver end to end through the modem emulator on port 0, with programs on \\.\VRAX and a
// kernel client beside them: what is visible from outside. Transaction ids on the wire and
// their wrap, answers sent twice or late, a session closed while it holds a client id, the
// fifteen-write limit, broadcasts across sessions and ports, and the service table read back
// through the bind control's version words.
#include <gtest/gtest.h>
#include <windows.h>

#include <vrax/vrax_ioctl.h>
#include <vrax/vrax_names.h>

#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/scheduler.h"
#include "kclient/kclient.h"
#include "machine/machine.h"
#include "modem/modem.h"
#include "smd/far_end.h"
#include "smd/install.h"
#include "vrax_device.h"

namespace {

using modem::bytes;
using kind = modem::misbehaviour::kind;
namespace far_end = smd::far_end;
using platform::scheduler;

std::int64_t now_ms() {
    return scheduler::get().now() / platform::ticks_per_ms;
}

void settle_ms(std::int64_t ms) {
    auto& s = scheduler::get();
    const platform::ticks later = s.now() + ms * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    s.block(
        lk, [] { return false; }, later, "test: settling");
}

bool wait_until(const std::function<bool()>& done, std::int64_t ms = 10000) {
    for (std::int64_t t = 0; t < ms && !done(); t += 2)
        settle_ms(2);
    return done();
}

bytes u32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

bytes cat(const bytes& a, const bytes& b) {
    bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// A service request as a program writes it: type 0, transaction id, message 0x0010, TLV 0x01.
bytes service_request(std::uint16_t txn, std::uint8_t value) {
    return {0x00,
            static_cast<std::uint8_t>(txn),
            static_cast<std::uint8_t>(txn >> 8),
            0x10,
            0x00,
            0x04,
            0x00,
            0x01,
            0x01,
            0x00,
            value};
}

// One overlapped operation on a handle of \\.\VRAX.
struct io {
    OVERLAPPED ov{};
    bytes buffer;
    BOOL started = FALSE;
    DWORD start_error = 0;
    io() { ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~io() { CloseHandle(ov.hEvent); }
    io(const io&) = delete;
    io& operator=(const io&) = delete;
    bool done() const { return HasOverlappedIoCompleted(&ov); }
};

struct outcome {
    DWORD error = 0;
    DWORD transferred = 0;
    bytes data;
};

outcome finish(HANDLE h, io& op) {
    outcome r;
    if (!op.started && op.start_error != ERROR_IO_PENDING) {
        r.error = op.start_error;
        return r;
    }
    if (!GetOverlappedResult(h, &op.ov, &r.transferred, TRUE))
        r.error = GetLastError();
    r.data.assign(op.buffer.begin(), op.buffer.begin() + r.transferred);
    return r;
}

std::unique_ptr<io> start_control(HANDLE h, DWORD code, const bytes& in, std::size_t out) {
    auto op = std::make_unique<io>();
    op->buffer.assign(out, 0x5A);
    bytes input = in;
    op->started = DeviceIoControl(h, code, input.empty() ? nullptr : input.data(),
                                  static_cast<DWORD>(input.size()),
                                  op->buffer.empty() ? nullptr : op->buffer.data(),
                                  static_cast<DWORD>(op->buffer.size()), nullptr, &op->ov);
    op->start_error = op->started ? 0 : GetLastError();
    return op;
}

outcome control(HANDLE h, DWORD code, const bytes& in, std::size_t out) {
    auto op = start_control(h, code, in, out);
    return finish(h, *op);
}

std::unique_ptr<io> start_write(HANDLE h, const bytes& message) {
    auto op = std::make_unique<io>();
    op->buffer = message;
    op->started =
        WriteFile(h, op->buffer.data(), static_cast<DWORD>(op->buffer.size()), nullptr, &op->ov);
    op->start_error = op->started ? 0 : GetLastError();
    return op;
}

std::unique_ptr<io> start_read(HANDLE h, std::size_t length = 512) {
    auto op = std::make_unique<io>();
    op->buffer.assign(length, 0);
    op->started =
        ReadFile(h, op->buffer.data(), static_cast<DWORD>(op->buffer.size()), nullptr, &op->ov);
    op->start_error = op->started ? 0 : GetLastError();
    return op;
}

// The transaction ids of the control requests of `message_id` the modem received, in order.
std::vector<std::uint16_t> wire_ids(const modem::emulator& m, std::uint16_t message_id) {
    std::vector<std::uint16_t> ids;
    for (const auto& r : m.requests()) {
        if (r.msg && r.msg->service_type == modem::control_service &&
            r.msg->message_id == message_id)
            ids.push_back(r.msg->transaction_id);
    }
    return ids;
}

// Requests of client service `service` the modem received, in order.
std::vector<modem::message> service_requests(const modem::emulator& m, std::uint8_t service) {
    std::vector<modem::message> out;
    for (const auto& r : m.requests()) {
        if (r.msg && r.msg->service_type == service)
            out.push_back(*r.msg);
    }
    return out;
}

// Waits until the modem has received `count` requests of `service` and returns them all.
std::vector<modem::message> wait_for_service_requests(const modem::emulator& m,
                                                      std::uint8_t service, std::size_t count) {
    wait_until([&] { return service_requests(m, service).size() >= count; }, 1000);
    return service_requests(m, service);
}

class ThroughTheModem : public ::testing::Test {
  protected:
    // A machine with the SMD driver, VRAX and the modem on port 0, the port ready: the
    // notice and the service-table request seen, the table's words stored.
    void bring_up(modem::config c = {}, sim::machine_options o = {}) {
        far_end::reset();
        machine_ = std::make_unique<sim::machine>(o);
        modem_ = std::make_unique<modem::emulator>(std::move(c));
        modem_->start(0);
        ASSERT_EQ(smd::install(), STATUS_SUCCESS);
        ASSERT_EQ(machine_->boot(), STATUS_SUCCESS);
        ASSERT_TRUE(modem_->wait_for_request(modem::control_service, modem::msg_port_open, 5000));
        ASSERT_TRUE(
            modem_->wait_for_request(modem::control_service, modem::msg_service_table, 5000));
        ASSERT_TRUE(wait_until([] {
            return VraxInterfaceEnabled(GetVraxDeviceContext(::ControlDevice)) != FALSE &&
                   ServiceVersionTable[0][0].Words[0] != 0;
        }));
    }
    HANDLE open() {
        HANDLE h = CreateFileW(VRAX_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        if (h != INVALID_HANDLE_VALUE)
            handles_.push_back(h);
        return h;
    }
    void close(HANDLE h) {
        std::erase(handles_, h);
        EXPECT_TRUE(CloseHandle(h));
    }
    // Binds `h` to `service` on `port` (8 bytes in) and returns the version output.
    outcome bind(HANDLE h, std::uint32_t service, std::uint32_t port = 0, std::size_t out = 8) {
        return control(h, IOCTL_VRAX_BIND_SERVICE, cat(u32(service), u32(port)), out);
    }
    // Binds and gets a client id; the id, or nothing on failure.
    std::optional<std::uint8_t> bind_with_id(HANDLE h, std::uint32_t service,
                                             std::uint32_t port = 0) {
        if (bind(h, service, port).error != 0)
            return std::nullopt;
        outcome r = control(h, IOCTL_VRAX_GET_CLIENT_ID, u32(service), 1);
        if (r.error != 0 || r.transferred != 1)
            return std::nullopt;
        return r.data[0];
    }
    bool traced(const char* text) { return machine_->trace()->contains(text); }
    void TearDown() override {
        if (!machine_)
            return;
        if (HasFailure())
            std::cerr << "modem transcript:\n" << modem_->transcript();
        for (HANDLE h : handles_)
            CloseHandle(h);
        handles_.clear();
        if (kc_ != nullptr && kc_->loaded())
            kc_->take_down();
        if (!NT_SUCCESS(machine_->remove_device())) {
            EXPECT_EQ(machine_->surprise_remove(), STATUS_SUCCESS);
        }
        modem_->stop();
        far_end::reset();
        if (smd::installed()) {
            EXPECT_EQ(smd::uninstall(), STATUS_SUCCESS);
        }
        EXPECT_TRUE(machine_->shutdown().empty());
    }
    std::unique_ptr<sim::machine> machine_;
    std::unique_ptr<modem::emulator> modem_;
    sim::installed_driver* kc_ = nullptr;
    std::vector<HANDLE> handles_;
};

// ---- Transaction ids --------------------------------------------------------------------------

// Ids run 1..255 and wrap to 1 (0 is never drawn); the notice takes one like any request, on
// the first open and on a re-open. A kernel client sees its answers numbered by its own
// counter, which wraps after 255 to 0.
TEST_F(ThroughTheModem, TransactionIdsWrapToOneAndTheNoticeTakesOne) {
    bring_up();
    EXPECT_EQ(wire_ids(*modem_, modem::msg_port_open), std::vector<std::uint16_t>{1});
    EXPECT_EQ(wire_ids(*modem_, modem::msg_service_table), std::vector<std::uint16_t>{2});
    kclient::clear_received();
    kc_ = &machine_->host().install(kclient::package());
    ASSERT_EQ(kc_->boot(), STATUS_SUCCESS);
    ASSERT_EQ(kclient::connect(machine_->control_device_object()), STATUS_SUCCESS);
    ASSERT_EQ(kclient::register_client(), 0);

    // 256 value queries, each answered before the next is sent.
    const std::vector<UCHAR> query{0x00, 0x00, 0x26, 0x00, 0x04, 0x00, 0x01, 0x01, 0x00, 0x05};
    for (std::size_t i = 1; i <= 256; ++i) {
        ASSERT_EQ(kclient::send_control(0, query), 0);
        ASSERT_TRUE(wait_until([i] { return kclient::received().size() == i; }, 1000)) << i;
    }
    std::vector<std::uint16_t> expected;
    for (unsigned id = 3; id <= 255; ++id)
        expected.push_back(static_cast<std::uint16_t>(id));
    expected.insert(expected.end(), {1, 2, 3});
    EXPECT_EQ(wire_ids(*modem_, modem::msg_value), expected);
    const auto calls = kclient::received();
    for (std::size_t i = 0; i < calls.size(); ++i) {
        ASSERT_GE(calls[i].message.size(), 2u);
        EXPECT_EQ(calls[i].message[1], static_cast<UCHAR>((i + 1) & 0xFF)) << "answer " << i + 1;
    }

    // A port loss: the re-open's notice and table request draw the next two ids.
    ASSERT_EQ(modem_->close_channel(), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 2; }));
    ASSERT_EQ(modem_->open_channel(), STATUS_SUCCESS);
    ASSERT_TRUE(modem_->wait_for_request(modem::control_service, modem::msg_service_table, 5000));
    EXPECT_EQ(wire_ids(*modem_, modem::msg_port_open), (std::vector<std::uint16_t>{1, 4}));
    EXPECT_EQ(wire_ids(*modem_, modem::msg_service_table), (std::vector<std::uint16_t>{2, 5}));
}

// ---- Answers twice and late -------------------------------------------------------------------

// The second copy of a grant finds its transaction finished and changes nothing: the next
// session's request gets its own answer, and each session's frames carry its own id.
TEST_F(ThroughTheModem, AGrantSentTwiceIsTakenOnce) {
    bring_up();
    modem_->misbehave(modem::misbehaviour::on(kind::twice, modem::msg_client_id));
    HANDLE a = open();
    ASSERT_EQ(bind_with_id(a, 1), std::optional<std::uint8_t>{1});
    ASSERT_TRUE(wait_until([&] { return traced("answered already") || traced("not found"); }));
    HANDLE b = open();
    ASSERT_EQ(bind_with_id(b, 1), std::optional<std::uint8_t>{2});
    auto wa = start_write(a, service_request(0x0A0A, 0xA));
    auto wb = start_write(b, service_request(0x0B0B, 0xB));
    EXPECT_EQ(finish(a, *wa).transferred, 11u);
    EXPECT_EQ(finish(b, *wb).transferred, 11u);
    const auto sent = wait_for_service_requests(*modem_, 1, 2);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].client_id, 1);
    EXPECT_EQ(sent[0].transaction_id, 0x0A0A);
    EXPECT_EQ(sent[1].client_id, 2);
    EXPECT_EQ(sent[1].transaction_id, 0x0B0B);
}

// A grant that comes after the driver's 5-second wait: the control has failed with a time-out,
// another session's request in between keeps its own id, and the late id is not lost.
TEST_F(ThroughTheModem, AGrantAfterTheFiveSecondWaitFailsTheControlAndTouchesNoOtherSession) {
    bring_up();
    modem_->misbehave(modem::misbehaviour::on(kind::late, modem::msg_client_id));  // 6 s
    HANDLE a = open();
    ASSERT_EQ(bind(a, 1).error, 0u);
    const std::int64_t t0 = now_ms();
    outcome r = control(a, IOCTL_VRAX_GET_CLIENT_ID, u32(1), 1);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(now_ms() - t0, 5000);

    HANDLE b = open();
    ASSERT_EQ(bind_with_id(b, 1), std::optional<std::uint8_t>{2});
    ASSERT_TRUE(modem_->wait_for_sent(modem_->sent_count() + 1, 2000));  // the late grant of 1
    settle_ms(100);
    auto wb = start_write(b, service_request(0x0B0B, 0xB));
    EXPECT_EQ(finish(b, *wb).transferred, 11u);
    const auto sent = wait_for_service_requests(*modem_, 1, 1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].client_id, 2);
    // The late grant still finished its transaction: the session holds id 1 although its
    // control failed, and its clean-up gives the id back, so the modem's pool loses nothing.
    close(a);
    auto release = modem_->wait_for_request(modem::control_service, modem::msg_release, 1000);
    ASSERT_TRUE(release && release->msg);
    ASSERT_NE(modem::find_tlv(*release->msg, 0x01), nullptr);
    EXPECT_EQ(modem::find_tlv(*release->msg, 0x01)->value, (bytes{1, 1}));
    EXPECT_EQ(modem_->granted(1), std::vector<std::uint8_t>{2});
}

// ---- Clean-up with a client id held -----------------------------------------------------------

struct close_case {
    const char* name;
    bool confirmed;
    std::optional<bool> support_new_hwid;
    std::int64_t expected_ms;
};

class ClosingWithAnIdHeld : public ThroughTheModem,
                            public ::testing::WithParamInterface<close_case> {};

// The session's clean-up releases its id and waits for the modem's confirmation: at once when
// it comes, else 5 s, or 1 s with SupportNewHWID on.
TEST_P(ClosingWithAnIdHeld, TheReleaseIsSentAndAwaitedAsLongAsTheDeviceSays) {
    const close_case& c = GetParam();
    sim::machine_options o;
    o.support_new_hwid = c.support_new_hwid;
    bring_up({}, o);
    if (!c.confirmed)
        modem_->misbehave(modem::misbehaviour::on(kind::never_answer, modem::msg_release));
    HANDLE h = open();
    ASSERT_EQ(bind_with_id(h, 2), std::optional<std::uint8_t>{1});
    EXPECT_EQ(modem_->granted(2), std::vector<std::uint8_t>{1});
    const std::int64_t t0 = now_ms();
    close(h);
    EXPECT_EQ(now_ms() - t0, c.expected_ms);
    auto release = modem_->wait_for_request(modem::control_service, modem::msg_release, 0);
    ASSERT_TRUE(release && release->msg);
    const modem::tlv* which = modem::find_tlv(*release->msg, 0x01);
    ASSERT_NE(which, nullptr);
    EXPECT_EQ(which->value, (bytes{2, 1}));
    EXPECT_TRUE(modem_->granted(2).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Release, ClosingWithAnIdHeld,
    ::testing::Values(close_case{"Confirmed", true, std::nullopt, 0},
                      close_case{"NeverConfirmed", false, std::nullopt, 5000},
                      close_case{"NeverConfirmedWithSupportNewHWID", false, true, 1000},
                      close_case{"NeverConfirmedWithSupportNewHWIDOff", false, false, 5000}),
    [](const ::testing::TestParamInfo<close_case>& i) { return std::string(i.param.name); });

// ---- Flow control -----------------------------------------------------------------------------

// Fifteen writes go out unanswered; the sixteenth waits until the session reads a message of
// type 2. An indication read on the way releases nothing.
TEST_F(ThroughTheModem, TheSixteenthWriteWaitsForAMessageOfTypeTwo) {
    bring_up();
    auto silent = modem::misbehaviour::on(kind::never_answer, std::nullopt, 1);
    silent.times = 16;
    modem_->misbehave(silent);
    HANDLE h = open();
    auto id = bind_with_id(h, 1);
    ASSERT_TRUE(id);
    std::vector<std::unique_ptr<io>> writes;
    for (std::uint16_t i = 1; i <= 16; ++i)
        writes.push_back(start_write(h, service_request(i, static_cast<std::uint8_t>(i))));
    settle_ms(100);
    for (std::size_t i = 0; i < 15; ++i) {
        ASSERT_TRUE(writes[i]->done()) << i;
        EXPECT_EQ(finish(h, *writes[i]).transferred, 11u);
    }
    EXPECT_FALSE(writes[15]->done());
    EXPECT_EQ(wait_for_service_requests(*modem_, 1, 15).size(), 15u);

    ASSERT_EQ(modem_->indicate(1, *id, 0x0040), STATUS_SUCCESS);
    outcome ind = finish(h, *start_read(h));
    ASSERT_EQ(ind.error, 0u);
    EXPECT_EQ(ind.data.at(0), 4);
    settle_ms(100);
    EXPECT_FALSE(writes[15]->done());

    modem::message two;
    two.service_type = 1;
    two.client_id = *id;
    two.message_type = 2;
    two.transaction_id = 1;
    two.message_id = 0x0010;
    two.tlvs = {{modem::result_tlv, modem::result_value(0, 0)}};
    ASSERT_EQ(modem_->send(two), STATUS_SUCCESS);
    settle_ms(100);
    EXPECT_FALSE(writes[15]->done()) << "a stored message releases nothing until it is read";
    outcome answer = finish(h, *start_read(h));
    ASSERT_EQ(answer.error, 0u);
    EXPECT_EQ(answer.data.at(0), 2);
    ASSERT_TRUE(wait_until([&] { return writes[15]->done(); }, 1000));
    EXPECT_EQ(finish(h, *writes[15]).transferred, 11u);
    const auto sent = wait_for_service_requests(*modem_, 1, 16);
    ASSERT_EQ(sent.size(), 16u);
    EXPECT_EQ(sent[15].transaction_id, 16);
}

// ---- Broadcasts -------------------------------------------------------------------------------

// A broadcast of service 1 on port 0 reaches every session bound to (port 0, service 1),
// with or without a client id, and no session of another service or another port; a
// unicast reaches only the id's owner.
TEST_F(ThroughTheModem, BroadcastsReachEverySessionOfTheirPortAndServiceOnly) {
    bring_up();
    HANDLE owner = open();
    auto id = bind_with_id(owner, 1);
    ASSERT_TRUE(id);
    HANDLE plain = open();
    ASSERT_EQ(bind(plain, 1).error, 0u);
    HANDLE other_service = open();
    ASSERT_EQ(bind(other_service, 2).error, 0u);
    HANDLE other_port = open();
    ASSERT_EQ(bind(other_port, 1, 1).error, 0u);

    auto r_owner = start_read(owner);
    auto r_plain = start_read(plain);
    auto r_service = start_read(other_service);
    auto r_port = start_read(other_port);
    ASSERT_EQ(modem_->indicate(1, modem::broadcast_client, 0x0050), STATUS_SUCCESS);
    settle_ms(100);
    for (auto* r : {r_owner.get(), r_plain.get()}) {
        ASSERT_TRUE(r->done());
    }
    EXPECT_EQ(finish(owner, *r_owner).data.at(3), 0x50);
    EXPECT_EQ(finish(plain, *r_plain).data.at(3), 0x50);
    EXPECT_FALSE(r_service->done());
    EXPECT_FALSE(r_port->done());

    // The same for service 2, and a unicast to the owner's id.
    ASSERT_EQ(modem_->indicate(2, modem::broadcast_client, 0x0051), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return r_service->done(); }, 1000));
    EXPECT_EQ(finish(other_service, *r_service).data.at(3), 0x51);
    r_owner = start_read(owner);
    r_plain = start_read(plain);
    ASSERT_EQ(modem_->indicate(1, *id, 0x0052), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return r_owner->done(); }, 1000));
    EXPECT_EQ(finish(owner, *r_owner).data.at(3), 0x52);
    settle_ms(100);
    EXPECT_FALSE(r_plain->done());
    EXPECT_FALSE(r_port->done());
    // The reads still waiting were never completed: they are cancelled now.
    EXPECT_TRUE(CancelIoEx(plain, &r_plain->ov));
    EXPECT_TRUE(CancelIoEx(other_port, &r_port->ov));
    EXPECT_EQ(finish(plain, *r_plain).error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(finish(other_port, *r_port).error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

// ---- The service table and the version words --------------------------------------------------

// The modem's table fills the version table: a session reads a listed service's four words
// through the bind control (two with a 4-byte output), zeros for a service not listed, and
// gets the port-ready notification on its first bind to a service whose word 2 is not 0.
TEST_F(ThroughTheModem, TheServiceTableComesBackThroughTheBindControl) {
    modem::config c;
    c.services = {modem::service::make(1), modem::service::make(7), modem::service::make(9)};
    c.services[0].versions = {0x0102, 0x0304, 0x0506, 0x0708};
    c.services[1].versions = {0x0007, 0x0001, 0x0000, 0x0000};
    c.services[2].listed = false;
    c.control_versions = {0x0011, 0x0022, 0x0033, 0x0044};
    bring_up(c);

    HANDLE h = open();
    outcome words = bind(h, 1);
    ASSERT_EQ(words.error, 0u);
    EXPECT_EQ(words.data, (bytes{0x02, 0x01, 0x04, 0x03, 0x06, 0x05, 0x08, 0x07}));
    outcome ready = control(h, IOCTL_VRAX_READ_NOTIFICATION, {}, 8);
    ASSERT_EQ(ready.error, 0u);
    EXPECT_EQ(ready.data, (bytes{0, 0, 0, 0, 1, 0, 0, 0}));

    HANDLE other = open();
    outcome half = bind(other, 1, 0, 4);
    ASSERT_EQ(half.error, 0u);
    EXPECT_EQ(half.data, (bytes{0x02, 0x01, 0x04, 0x03}));
    HANDLE seven = open();
    EXPECT_EQ(bind(seven, 7).data, (bytes{0x07, 0x00, 0x01, 0x00, 0, 0, 0, 0}));
    // Word 2 is 0: no port-ready notification is posted for service 7.
    auto pending = start_control(seven, IOCTL_VRAX_READ_NOTIFICATION, {}, 8);
    settle_ms(100);
    EXPECT_FALSE(pending->done());
    HANDLE nine = open();
    EXPECT_EQ(bind(nine, 9).data, bytes(8, 0));
    HANDLE control_session = open();
    EXPECT_EQ(bind(control_session, 0).data,
              (bytes{0x11, 0x00, 0x22, 0x00, 0x33, 0x00, 0x44, 0x00}));
    EXPECT_TRUE(CancelIoEx(seven, &pending->ov));
    EXPECT_EQ(finish(seven, *pending).error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

// ---- Two drivers' objects ----------------------------------------------------------------------

// VRAX's port thread creates its read requests with no parent, so they belong to VRAX's
// driver object. A kernel client loaded later and taken down while such a read is pending
// leaves the read alone: it times out after its second and the port reads on.
TEST_F(ThroughTheModem, AKernelClientTakenDownDuringAPortReadLeavesVraxsReadAlone) {
    bring_up();
    kc_ = &machine_->host().install(kclient::package());
    ASSERT_EQ(kc_->boot(), STATUS_SUCCESS);
    ASSERT_EQ(kclient::connect(machine_->control_device_object()), STATUS_SUCCESS);
    far_end::inject(0, far_end::target::read, far_end::fault::never(1));
    HANDLE h = open();
    ASSERT_EQ(bind(h, 1).error, 0u);
    auto read = start_read(h);
    ASSERT_EQ(modem_->indicate(1, modem::broadcast_client, 0x0060), STATUS_SUCCESS);
    settle_ms(100);  // the port thread waits in its read, held at the far end
    EXPECT_FALSE(read->done());
    kc_->take_down();
    ASSERT_TRUE(wait_until([&] { return read->done(); }, 3000));
    EXPECT_EQ(finish(h, *read).data.at(3), 0x60);
}

}  // namespace
