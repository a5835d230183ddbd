// The modem emulator on port 0's far end, with the real driver and the simulated SMD driver
// on a machine in virtual time: the port-open notice arriving and logged, answers to
// requests fed as if the driver had written them, queued for the driver and decoded, the
// pool limit and error 31, release, the service table, indications and broadcasts on a
// virtual-time timer, each misbehaviour on the channel, and the log on one line per frame.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/scheduler.h"
#include "machine/machine.h"
#include "modem/modem.h"
#include "smd/far_end.h"
#include "smd/install.h"
#include "vrax_device.h"

namespace {

using namespace modem;
namespace far_end = smd::far_end;
using platform::scheduler;
using kind = misbehaviour::kind;
using dir = log_entry::direction;

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
    for (std::int64_t t = 0; t < ms && !done(); t += 10)
        settle_ms(10);
    return done();
}

// A version word of the table the driver keeps per port, read under the lock its writers hold
// (the port's thread stores a table while the test polls).
USHORT version_word(ULONG port, ULONG service, ULONG word) {
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    const USHORT value = ServiceVersionTable[port][service].Words[word];
    WdfWaitLockRelease(ClientSessionsLock);
    return value;
}

bytes control(std::uint8_t txn, std::uint16_t msg_id, std::vector<tlv> tlvs = {}) {
    message m;
    m.message_type = control_request;
    m.transaction_id = txn;
    m.message_id = msg_id;
    m.tlvs = std::move(tlvs);
    return encode(m);
}

bytes allocation(std::uint8_t txn, std::uint8_t service_type) {
    return control(txn, msg_client_id, {{0x01, {service_type}}});
}

// The first event in the modem's log whose note contains `text`, waited for: the far end
// sees an open or close before the modem's thread has logged it.
std::optional<log_entry> wait_for_event(const emulator& m, const std::string& text,
                                        std::int64_t ms) {
    std::optional<log_entry> found;
    wait_until(
        [&] {
            for (const log_entry& e : m.log()) {
                if (e.dir == dir::event && e.note.find(text) != std::string::npos) {
                    found = e;
                    return true;
                }
            }
            return false;
        },
        ms);
    return found;
}

// The log entries of one direction from entry `from` on, oldest first.
std::vector<log_entry> entries(const emulator& m, dir d, std::size_t from = 0) {
    std::vector<log_entry> out;
    const auto log = m.log();
    for (std::size_t i = from; i < log.size(); ++i) {
        if (log[i].dir == d)
            out.push_back(log[i]);
    }
    return out;
}

class ModemOnThePort : public ::testing::Test {
  protected:
    // A machine with the SMD driver and VRAX, the modem on port 0 from the start.
    void boot(config c = {}, bool modem_first = true) {
        far_end::reset();
        machine_ = std::make_unique<sim::machine>();
        modem_ = std::make_unique<emulator>(std::move(c));
        if (modem_first)
            modem_->start(0);
        else
            ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
        ASSERT_EQ(smd::install(), STATUS_SUCCESS);
        ASSERT_EQ(machine_->boot(), STATUS_SUCCESS);
    }
    // Boots and waits until the port is ready: the driver's notice, its service-table request,
    // the modem's answer and the version words of the control service stored. What the tests
    // then look at starts after that (base_, base_sent_).
    void bring_up(config c = {}) {
        boot(std::move(c));
        ASSERT_TRUE(modem_->wait_for_request(control_service, msg_port_open, 5000));
        ASSERT_TRUE(modem_->wait_for_request(control_service, msg_service_table, 5000));
        ASSERT_TRUE(modem_->wait_for_sent(1, 1000));
        ASSERT_TRUE(wait_until([] {
            return VraxInterfaceEnabled(GetVraxDeviceContext(::ControlDevice)) != FALSE &&
                   version_word(0, 0, 0) != 0;
        }));
        base_ = modem_->log().size();
        base_sent_ = modem_->sent_count();
    }
    // The frames the modem queued for the driver since bring_up, oldest first.
    std::vector<log_entry> sent() const { return entries(*modem_, dir::to_driver, base_); }
    std::vector<log_entry> received() const { return entries(*modem_, dir::from_driver, base_); }
    // Frames queued for the driver since bring_up.
    std::size_t sent_since() const { return modem_->sent_count() - base_sent_; }
    bool wait_for_sent(std::size_t count, std::int64_t ms) {
        return modem_->wait_for_sent(base_sent_ + count, ms);
    }
    bool traced(const char* text) { return machine_->trace()->contains(text); }
    void TearDown() override {
        if (!machine_)
            return;
        if (HasFailure() || getenv("MODEM_TRANSCRIPT") != nullptr)
            std::cerr << "modem transcript:\n" << modem_->transcript();
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
    std::unique_ptr<emulator> modem_;
    std::size_t base_ = 0;
    std::size_t base_sent_ = 0;
};

// The driver's port-open notice gets no answer; its service-table request, which follows it
// on every open of the channel, gets the only frame the modem sends.
TEST_F(ModemOnThePort, ThePortOpenNoticeArrivesIsLoggedAndGetsNoAnswer) {
    bring_up();
    EXPECT_EQ(modem_->notices(), 1u);
    const auto log = modem_->log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].dir, dir::event);  // start() opened the modem's end
    EXPECT_EQ(log[0].note, "modem opened the channel");
    const log_entry& notice = log[1];
    EXPECT_EQ(notice.dir, dir::from_driver);
    EXPECT_EQ(notice.frame, (bytes{0x01, 11, 0, 0, 0, 0, 0x00, 1, 0x27, 0x00, 0x00, 0x00}));
    EXPECT_EQ(notice.decoded,
              "if=0x01 len=11 flags=0x00 svc=0 cid=0 | ctl type=0 txn=1 msg=0x0027 tlvlen=0");
    EXPECT_NE(notice.note.find("port-open notice"), std::string::npos) << notice.note;
    EXPECT_EQ(log[2].dir, dir::from_driver);
    EXPECT_EQ(log[2].decoded,
              "if=0x01 len=11 flags=0x00 svc=0 cid=0 | ctl type=0 txn=2 msg=0x0021 tlvlen=0");
    EXPECT_EQ(log[3].dir, dir::to_driver);
    EXPECT_NE(log[3].decoded.find("ctl type=1 txn=2 msg=0x0021"), std::string::npos)
        << log[3].decoded;
    settle_ms(1000);
    EXPECT_EQ(modem_->sent_count(), 1u);
    EXPECT_TRUE(far_end::far_end_open(0));
}

// The notice and the service-table request wait on the far end until the modem starts; the
// answer then still reaches the driver within its 5-second wait and fills the version words.
TEST_F(ModemOnThePort, FramesWrittenBeforeItStartsAreHandledWhenItDoes) {
    boot({}, false);
    ASSERT_TRUE(wait_until([] { return far_end::frames_waiting(0) == 2; }, 5000));
    EXPECT_EQ(version_word(0, 0, 0), 0);
    modem_->start(0);
    EXPECT_EQ(modem_->notices(), 1u);
    EXPECT_EQ(far_end::frames_waiting(0), 0u);
    ASSERT_EQ(modem_->sent_count(), 1u);
    const auto out = entries(*modem_, dir::to_driver);
    EXPECT_NE(out.at(0).decoded.find("txn=2 msg=0x0021"), std::string::npos) << out[0].decoded;
    EXPECT_TRUE(wait_until([] { return version_word(0, 1, 0) == 1; }, 1000));
}

TEST_F(ModemOnThePort, GrantsUntilThePoolIsEmptyThenRefusesWith31AndReleases) {
    config c;
    c.services = {service::make(1, {}, 2)};
    bring_up(c);
    for (std::uint8_t txn = 2; txn <= 4; ++txn)
        modem_->feed(allocation(txn, 1));
    auto out = sent();
    ASSERT_EQ(out.size(), 3u);
    for (const log_entry& e : out)
        EXPECT_EQ(e.status, STATUS_SUCCESS) << format(e);
    EXPECT_EQ(out[0].decoded,
              "if=0x01 len=23 flags=0x00 svc=0 cid=0 | ctl type=1 txn=2 msg=0x0022 tlvlen=12"
              " | tlv 0x02[4]=00000000 | tlv 0x01[2]=0101");
    EXPECT_NE(out[1].decoded.find("txn=3 msg=0x0022 tlvlen=12 | tlv 0x02[4]=00000000 | tlv "
                                  "0x01[2]=0102"),
              std::string::npos)
        << out[1].decoded;
    // Refused: result 1, error 31 (0x001f), no TLV 0x01.
    EXPECT_NE(out[2].decoded.find("txn=4 msg=0x0022 tlvlen=7 | tlv 0x02[4]=01001f00"),
              std::string::npos)
        << out[2].decoded;
    const auto requests = received();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_NE(format(requests[2]).find("refused: pool empty (31)"), std::string::npos)
        << format(requests[2]);
    EXPECT_EQ(modem_->granted(1), (std::vector<std::uint8_t>{1, 2}));

    modem_->feed(control(5, msg_release, {{0x01, {1, 1}}}));
    modem_->feed(allocation(6, 1));
    out = sent();
    ASSERT_EQ(out.size(), 5u);
    EXPECT_NE(out[3].decoded.find("txn=5 msg=0x0023 tlvlen=12 | tlv 0x02[4]=00000000 | tlv "
                                  "0x01[2]=0101"),
              std::string::npos)
        << out[3].decoded;
    EXPECT_NE(out[4].decoded.find("tlv 0x01[2]=0101"), std::string::npos);
    EXPECT_EQ(modem_->granted(1), (std::vector<std::uint8_t>{2, 1}));
}

TEST_F(ModemOnThePort, TheServiceTableGoesOutWithBothLists) {
    config c;
    c.services = {service::make(1), service::make(4)};
    c.services[1].versions = {0x0102, 3, 5, 6};
    bring_up(c);
    modem_->feed(control(2, msg_service_table));
    auto out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].status, STATUS_SUCCESS);
    // First list: the control service, 1 and 4 with w0, w1. TLV 0x10 then opens the second
    // list of w2, w3, raw bytes a TLV reader takes for a cut TLV 0x03.
    EXPECT_NE(out[0].decoded.find("msg=0x0021 tlvlen=45 | tlv 0x02[4]=00000000 | tlv "
                                  "0x01[16]=03000100000001010000000402010300 | tlv 0x10[0]= | "
                                  "tlv 0x03[256] << truncated"),
              std::string::npos)
        << out[0].decoded;
    EXPECT_EQ(bytes(out[0].frame.end() - 16, out[0].frame.end()),
              (bytes{3, 0, 1, 0, 0, 0, 1, 1, 0, 0, 0, 4, 5, 0, 6, 0}));
}

TEST_F(ModemOnThePort, ClientServicesAnswerAndIndicateOnAVirtualTimeTimer) {
    bring_up();
    modem_->feed(allocation(2, 1));
    message request;
    request.service_type = 1;
    request.client_id = 1;
    request.transaction_id = 0x0203;
    request.message_id = 0x0010;
    request.tlvs = {{0x01, {0xAA}}};
    modem_->feed(encode(request));
    auto out = sent();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].decoded,
              "if=0x01 len=23 flags=0x00 svc=1 cid=1 | svc type=2 txn=515 msg=0x0010 tlvlen=11"
              " | tlv 0x02[4]=00000000 | tlv 0x01[1]=aa");

    const std::int64_t t0 = now_ms();
    modem_->indicate_every(50, 0, 1, 1, 1, 0x0020, {{0x05, {1}}});
    modem_->indicate_every(100, 250, 3, 1, broadcast_client, 0x0021);
    EXPECT_EQ(modem_->timers_pending(), 2u);
    ASSERT_TRUE(wait_for_sent(6, 2000));
    out = sent();
    ASSERT_EQ(out.size(), 6u);
    const std::vector<std::int64_t> at = {50, 100, 350, 600};
    for (std::size_t i = 0; i < at.size(); ++i) {
        const log_entry& e = out[2 + i];
        EXPECT_EQ(e.time_ms - t0, at[i]) << format(e);
        EXPECT_EQ(e.status, STATUS_SUCCESS) << format(e);
        EXPECT_NE(e.decoded.find("svc type=4 txn=0"), std::string::npos) << e.decoded;
        EXPECT_NE(e.decoded.find(i == 0 ? "cid=1 |" : "cid=0xff(broadcast)"), std::string::npos)
            << e.decoded;
    }
    EXPECT_EQ(modem_->timers_pending(), 0u);

    // On command, now.
    EXPECT_EQ(modem_->indicate(1, broadcast_client, 0x0022), STATUS_SUCCESS);
    EXPECT_EQ(sent().back().time_ms, now_ms());
}

TEST_F(ModemOnThePort, ALateAnswerComesAfterTheDriversFiveSecondWait) {
    bring_up();
    modem_->misbehave(misbehaviour::on(kind::late, msg_client_id));
    const std::int64_t t0 = now_ms();
    modem_->feed(allocation(2, 1));
    EXPECT_FALSE(wait_for_sent(1, 5000));
    ASSERT_TRUE(wait_for_sent(1, 2000));
    const log_entry e = sent().at(0);
    EXPECT_EQ(e.time_ms - t0, 6000);
    EXPECT_EQ(e.note, "late");
    EXPECT_NE(e.decoded.find("txn=2 msg=0x0022"), std::string::npos);
}

TEST_F(ModemOnThePort, AnswersWithheldRepeatedOrWrongReachTheChannelAsScripted) {
    bring_up();
    misbehaviour error = misbehaviour::on(kind::error_result, msg_value);
    error.error_code = 0x002A;
    modem_->misbehave(misbehaviour::on(kind::never_answer, msg_client_id));
    modem_->misbehave(misbehaviour::on(kind::twice, msg_release));
    modem_->misbehave(misbehaviour::on(kind::wrong_transaction, msg_service_table));
    modem_->misbehave(error);

    modem_->feed(allocation(2, 1));
    settle_ms(6000);
    EXPECT_EQ(sent_since(), 0u);
    EXPECT_NE(modem_->log().back().note.find("answer withheld"), std::string::npos);
    EXPECT_EQ(modem_->granted(1), std::vector<std::uint8_t>{1});

    modem_->feed(control(3, msg_release, {{0x01, {1, 1}}}));
    modem_->feed(control(4, msg_service_table));
    modem_->feed(control(5, msg_value, {{0x01, {1}}}));
    auto out = sent();
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].frame, out[1].frame);
    EXPECT_EQ(out[1].note, "second copy");
    EXPECT_NE(out[2].decoded.find("txn=5 msg=0x0021"), std::string::npos) << out[2].decoded;
    EXPECT_NE(out[3].decoded.find("txn=5 msg=0x0026 tlvlen=7 | tlv 0x02[4]=01002a00"),
              std::string::npos)
        << out[3].decoded;
    for (const log_entry& e : out)
        EXPECT_EQ(e.status, STATUS_SUCCESS);
}

TEST_F(ModemOnThePort, MalformedAnswersReachTheDriverWhichDropsBadFrames) {
    bring_up();
    misbehaviour bad_length = misbehaviour::on(kind::frame_length, msg_client_id);
    bad_length.delta = 2;
    misbehaviour cut = misbehaviour::on(kind::truncated, msg_client_id);
    cut.keep = 9;
    modem_->misbehave(bad_length);
    modem_->misbehave(cut);
    modem_->misbehave(misbehaviour::on(kind::no_result_tlv, msg_client_id));
    modem_->misbehave(misbehaviour::on(kind::short_payload_tlv, msg_client_id));
    modem_->misbehave(misbehaviour::on(kind::tlv_length, msg_client_id));
    for (std::uint8_t txn = 2; txn <= 6; ++txn)
        modem_->feed(allocation(txn, 1));
    auto out = sent();
    ASSERT_EQ(out.size(), 5u);
    EXPECT_NE(out[0].decoded.find("len=25 <<frame has 24 bytes, length says 26"), std::string::npos)
        << out[0].decoded;
    EXPECT_EQ(out[1].frame.size(), 9u);
    EXPECT_NE(out[2].decoded.find("tlvlen=5 | tlv 0x01[2]=0103"), std::string::npos)
        << out[2].decoded;
    EXPECT_NE(out[3].decoded.find("| tlv 0x01[1]=01"), std::string::npos) << out[3].decoded;
    EXPECT_NE(out[4].decoded.find("<< truncated: TLV 0x01 wants 3 bytes, 2 left"),
              std::string::npos)
        << out[4].decoded;
    // The driver read them: its demultiplexer drops the two whose frame length is wrong.
    EXPECT_TRUE(
        wait_until([&] { return traced("demux: port 0 length field 25 for 24 bytes, dropped"); }));
    EXPECT_TRUE(
        wait_until([&] { return traced("demux: port 0 length field 23 for 9 bytes, dropped"); }));
}

TEST_F(ModemOnThePort, UnsolicitedControlFramesAndRawBytes) {
    bring_up();
    message unsolicited;
    unsolicited.message_type = control_response;
    unsolicited.transaction_id = 77;
    unsolicited.message_id = msg_client_id;
    unsolicited.tlvs = {{result_tlv, result_value(result_success, 0)}, {0x01, {1, 5}}};
    EXPECT_EQ(modem_->send(unsolicited), STATUS_SUCCESS);
    message ind;
    ind.message_type = control_indication;
    ind.message_id = 0x0A;
    EXPECT_EQ(modem_->send(ind), STATUS_SUCCESS);
    EXPECT_EQ(modem_->inject({0x01, 0x02, 0x03}), STATUS_SUCCESS);
    const std::int64_t t0 = now_ms();
    modem_->send_in(300, ind);
    ASSERT_TRUE(wait_for_sent(4, 1000));
    auto out = sent();
    EXPECT_NE(out[0].decoded.find("ctl type=1 txn=77 msg=0x0022"), std::string::npos);
    EXPECT_NE(out[1].decoded.find("ctl type=2 txn=0 msg=0x000a tlvlen=0"), std::string::npos);
    EXPECT_EQ(out[2].decoded, "frame << truncated: frame header wants 6 bytes, 3 left: 010203");
    EXPECT_EQ(out[3].time_ms - t0, 300);
    EXPECT_TRUE(wait_until([&] { return traced("demux: port 0 frame of 3 bytes dropped"); }));
    EXPECT_TRUE(modem_->granted(1).empty());  // an answer the modem sent changes nothing here
}

TEST_F(ModemOnThePort, TheChannelClosesAfterAnAnswerAndTheModemReopensIt) {
    bring_up();
    misbehaviour close = misbehaviour::on(kind::close_after, msg_client_id);
    close.reopen_after_ms = 1500;
    modem_->misbehave(close);
    const std::int64_t t0 = now_ms();
    modem_->feed(allocation(2, 1));
    auto log = modem_->log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 2].dir, dir::to_driver);
    EXPECT_EQ(log.back().dir, dir::event);
    EXPECT_EQ(log.back().status, STATUS_SUCCESS);
    EXPECT_NE(format(log.back()).find("modem closed the channel (after the answer)"),
              std::string::npos)
        << format(log.back());
    EXPECT_FALSE(far_end::far_end_open(0));
    // Closed at the modem's end: nothing more reaches the driver until it re-opens.
    EXPECT_EQ(modem_->indicate(1, broadcast_client, 0x0001), STATUS_INVALID_DEVICE_STATE);
    EXPECT_NE(format(sent().back()).find("[not taken: STATUS_INVALID_DEVICE_STATE"),
              std::string::npos);

    // The driver closes its channel and opens a new one, which waits for the modem's end.
    ASSERT_TRUE(wait_until([] {
        return far_end::close_requests().size() == 1 && far_end::open_requests().size() == 2;
    }));

    const auto reopened = wait_for_event(*modem_, "modem opened the channel (re-open)", 3000);
    ASSERT_TRUE(reopened);
    EXPECT_EQ(reopened->time_ms - t0, 1500);
    EXPECT_TRUE(far_end::far_end_open(0));
    EXPECT_EQ(modem_->granted(1), std::vector<std::uint8_t>{1});
    // The re-opened channel gets a second notice, which returns the granted id to its pool
    // (the driver's routing for the port is gone with the loss), and the service table is
    // asked for and answered again.
    ASSERT_TRUE(modem_->wait_for_request(control_service, msg_port_open, 3000));
    EXPECT_EQ(modem_->notices(), 2u);
    EXPECT_TRUE(modem_->granted(1).empty());
    const auto table = modem_->wait_for_request(control_service, msg_service_table, 3000);
    ASSERT_TRUE(table && table->msg);
    // The modem logs a frame once the far end has taken it, and the driver may have read and
    // stored the table by then: wait for the modem's own entry of the answer.
    const std::string answer =
        "ctl type=1 txn=" + std::to_string(table->msg->transaction_id) + " msg=0x0021";
    EXPECT_TRUE(wait_until([&] {
        const auto out = sent();
        return !out.empty() && out.back().decoded.find(answer) != std::string::npos;
    })) << (sent().empty() ? std::string("nothing sent") : sent().back().decoded);
    ASSERT_TRUE(wait_until([] {
        return VraxInterfaceEnabled(GetVraxDeviceContext(::ControlDevice)) != FALSE &&
               version_word(0, 1, 0) == 1;
    }));
    EXPECT_EQ(modem_->indicate(1, broadcast_client, 0x0001), STATUS_SUCCESS);
}

TEST_F(ModemOnThePort, AClosedChannelOnATimerAtAChosenMoment) {
    bring_up();
    const std::int64_t t0 = now_ms();
    modem_->close_channel_in(400);
    ASSERT_TRUE(wait_until([] { return far_end::close_requests().size() == 1; }, 2000));
    const auto closed = wait_for_event(*modem_, "modem closed the channel", 2000);
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->time_ms - t0, 400);
    EXPECT_EQ(modem_->open_channel(), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until(
        [] { return VraxInterfaceEnabled(GetVraxDeviceContext(::ControlDevice)) != FALSE; }));
}

TEST_F(ModemOnThePort, TheTranscriptHasOneDecodedLinePerFrame) {
    bring_up();
    modem_->feed(allocation(2, 1));
    modem_->feed(bytes{0x01, 0x09, 0x00});  // malformed from the driver's side
    const auto log = modem_->log();
    // Open, notice, service-table request and answer, request, answer, malformed request.
    ASSERT_EQ(log.size(), 7u);
    std::istringstream lines(modem_->transcript());
    std::vector<std::string> text;
    for (std::string line; std::getline(lines, line);)
        text.push_back(line);
    ASSERT_EQ(text.size(), log.size());
    for (std::size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(text[i], format(log[i]));
        EXPECT_NE(text[i].find(log[i].decoded), std::string::npos);
    }
    EXPECT_NE(text[0].find("modem            modem opened the channel"), std::string::npos)
        << text[0];
    EXPECT_NE(text[1].find("driver -> modem  if=0x01 len=11"), std::string::npos) << text[1];
    EXPECT_NE(text[3].find("modem -> driver  if=0x01 len=66"), std::string::npos) << text[3];
    EXPECT_NE(text[5].find("modem -> driver  if=0x01 len=23"), std::string::npos) << text[5];
    EXPECT_NE(text[5].find("; answer"), std::string::npos) << text[5];
    EXPECT_NE(text[6].find("malformed: frame of 3 bytes"), std::string::npos) << text[6];
}

}  // namespace
