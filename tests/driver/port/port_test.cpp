// The port transport on a machine with the simulated SMD driver, the test taking the modem's
// place through the far end: port 0 opened on the arrived interface, every failure step of
// the open, the service thread's states, the transmit path, arrivals and removals of the SMD
// interface, and the shutdown with bounded and unbounded waits for the service thread.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/faults.h"
#include "core/pause_points.h"
#include "core/scheduler.h"
#include "kernel/kernel.h"
#include "kernel/object_manager.h"
#include "kernel/pool.h"
#include "machine/machine.h"
#include "smd/far_end.h"
#include "smd/install.h"
#include "wdf/fx_object.h"

#include <wdmguid.h>

#include "port/interface.h"
#include "port/port_open.h"
#include "port/port_send.h"
#include "port/port_shutdown.h"
#include "port/port_table.h"
#include "port/receive_dispatch.h"
#include "protocol/control_requests.h"
#include "vrax_device.h"
#include "vrax_pool.h"

namespace {

namespace far_end = smd::far_end;
namespace faults = platform::faults;
using bytes = std::vector<std::uint8_t>;
using platform::scheduler;

// The port-open routine's request for the service table: the next frame, on the control
// service, carrying the given transaction id.
void expect_service_table_request(std::uint8_t id) {
    auto table = far_end::next_frame(0, far_end::deadline_in_ms(5000));
    ASSERT_TRUE(table.has_value()) << "the service-table request";
    ASSERT_GE(table->size(), 12u);
    EXPECT_EQ((*table)[VRAX_FRAME_SERVICE_TYPE_OFFSET], VRAX_SERVICE_CONTROL);
    EXPECT_EQ((*table)[VRAX_FRAME_CONTROL_MESSAGE_ID_OFFSET], VRAX_CONTROL_SERVICE_TABLE_ID);
    EXPECT_EQ((*table)[VRAX_FRAME_HEADER_SIZE + VRAX_CONTROL_TRANSACTION_OFFSET], id);
}

void settle_ms(std::int64_t ms) {
    auto& s = scheduler::get();
    const platform::ticks later = s.now() + ms * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    s.block(
        lk, [] { return false; }, later, "test: settling");
}

bool wait_until(const std::function<bool()>& done, std::int64_t ms = 20000) {
    for (std::int64_t t = 0; t < ms && !done(); t += 10) {
        settle_ms(10);
    }
    return done();
}

std::int64_t now_ms() {
    return scheduler::get().now() / platform::ticks_per_ms;
}

PVRAX_DEVICE_CONTEXT context() {
    return GetVraxDeviceContext(::ControlDevice);
}

// The driver enables and disables its interface on its own threads: read as it does.
bool interface_enabled() {
    return VraxInterfaceEnabled(context()) != FALSE;
}

const SMD_PORT_RECORD& port0() {
    return SmdPortTable[0];
}

// Port 0's target as a sender reads it: the service thread may be opening or closing it.
WDFIOTARGET target0() {
    return SmdPortCurrentTarget(&SmdPortTable[0]);
}

// A port-open notice as the SMD side receives it: a control request, message id 0x27.
bytes notice(std::uint8_t id) {
    return bytes{0x01, 11, 0, 0, 0, 0, 0x00, id, 0x27, 0x00, 0x00, 0x00};
}

class Port : public ::testing::Test {
  protected:
    void boot(std::optional<bool> support_new_hwid = std::nullopt, bool far_open = true) {
        far_end::reset();
        sim::machine_options options;
        options.support_new_hwid = support_new_hwid;
        machine_ = std::make_unique<sim::machine>(options);
        if (far_open) {
            ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
        }
        ASSERT_EQ(smd::install(), STATUS_SUCCESS);
        ASSERT_EQ(machine_->boot(), STATUS_SUCCESS);
    }
    // Port 0 open at both ends, its notice taken and the device interface on.
    void bring_up() {
        boot();
        auto first = far_end::next_frame(0, far_end::deadline_in_ms(5000));
        ASSERT_TRUE(first.has_value());
        EXPECT_EQ(*first, notice(1));
        expect_service_table_request(2);
        ASSERT_TRUE(wait_until(interface_enabled));
        EXPECT_FALSE(traced("ports start")) << "the arrival's start-up reported a failure";
    }
    bool traced(const char* text) { return machine_->trace()->contains(text); }
    // Removes VRAX's device: the ports shut down. The close requests the SMD side saw are
    // kept in closes_.
    void stop_ports() {
        if (machine_ && !stopped_) {
            // The device refuses an orderly removal: it goes as its bus would take it.
            if (!NT_SUCCESS(machine_->remove_device())) {
                EXPECT_EQ(machine_->surprise_remove(), STATUS_SUCCESS);
            }
            closes_ = far_end::close_requests().size();
            stopped_ = true;
        }
    }
    // Then the SMD driver and the rest, with the final check.
    std::vector<std::string> finish() {
        std::vector<std::string> report;
        if (machine_) {
            stop_ports();
            far_end::reset();
            if (smd::installed()) {
                EXPECT_EQ(smd::uninstall(), STATUS_SUCCESS);
            }
            report = machine_->shutdown();
            machine_.reset();
            stopped_ = false;
        }
        return report;
    }
    void TearDown() override {
        faults::clear();
        EXPECT_TRUE(finish().empty());
    }
    std::unique_ptr<sim::machine> machine_;
    bool stopped_ = false;
    std::size_t closes_ = 0;
};

TEST_F(Port, ArrivalOpensPortZeroAndItsFramesFlowBothWays) {
    bring_up();
    const auto opens = far_end::open_requests();
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].input_length, 780u);
    EXPECT_EQ(opens[0].read_event, u"VRAX_SMD_SHARED_EVENT_READ_0");
    EXPECT_EQ(opens[0].open_event, u"VRAX_SMD_SHARED_EVENT_OPEN_0");
    EXPECT_EQ(opens[0].close_event, u"VRAX_SMD_SHARED_EVENT_CLOSE_0");
    ASSERT_NE(context()->PortThreads[0], nullptr);
    EXPECT_EQ(context()->PortCount, 1u);

    // A chunk reaches the demultiplexer with the port and the exact count read.
    ASSERT_EQ(far_end::queue_read(0, {0x01, 0x02, 0x00}), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return traced("demux: port 0 frame of 3 bytes dropped"); }));

    // A frame written by the driver arrives whole, and the copy is the driver's own.
    bytes frame{0x01, 5, 0, 0, 7, 1};
    ASSERT_EQ(PortSend(0, frame.data(), 6), 0);
    frame[4] = 0xEE;
    // The port-open routine's service-table request may go first.
    auto written = far_end::next_frame(0, far_end::deadline_in_ms(1000));
    while (written.has_value() && (*written)[4] == 0) {
        written = far_end::next_frame(0, far_end::deadline_in_ms(1000));
    }
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(*written, (bytes{0x01, 5, 0, 0, 7, 1}));
}

TEST_F(Port, ReadsHandOnWhatTheSmdSideReportsAndNothingWhenNothingIsPending) {
    bring_up();
    // Nothing pending (the query fails, which counts as nothing): no read at all.
    far_end::inject(0, far_end::target::read_pending, far_end::fault::fail(STATUS_UNSUCCESSFUL, 1));
    ASSERT_EQ(far_end::queue_read(0, {0x01, 0x02, 0x00, 0x04}), STATUS_SUCCESS);
    settle_ms(3000);
    EXPECT_FALSE(traced("frame of 4 bytes dropped"));

    // A read completing with an error is still handed on, with the count it reports; the
    // chunk stays for the next read.
    far_end::inject(0, far_end::target::read, far_end::fault::fail(STATUS_DATA_ERROR, 1));
    ASSERT_EQ(far_end::queue_read(0, {0x01, 0x02}), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return traced("demux: port 0 frame of 0 bytes dropped"); }));
    ASSERT_TRUE(wait_until([&] { return traced("demux: port 0 frame of 4 bytes dropped"); }));
    ASSERT_TRUE(wait_until([&] { return traced("demux: port 0 frame of 2 bytes dropped"); }));

    // A short count is handed on as reported.
    far_end::inject(0, far_end::target::read, far_end::fault::byte_count(5, 1));
    ASSERT_EQ(far_end::queue_read(0, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return traced("demux: port 0 frame of 5 bytes dropped"); }));
    settle_ms(10);
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_FRAME).count, 0u)
        << "every read buffer freed";
}

// The notice is written when the SMD side can take it, once per open of the channel, and
// takes a transaction id, so the service-table request that follows carries the next one.
TEST_F(Port, EveryOpenOfTheChannelIsAnnouncedOnceWhenTheSmdSideHasOpenedIt) {
    boot(std::nullopt, /*far_open=*/false);
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 1; }));
    settle_ms(3000);
    EXPECT_EQ(far_end::frames_waiting(0), 0u) << "nothing written before the channel is open";
    EXPECT_FALSE(traced("notice 1 not sent"));

    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    auto first = far_end::next_frame(0, far_end::deadline_in_ms(5000));
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(*first, notice(1));
    expect_service_table_request(2);

    ASSERT_EQ(far_end::close_channel(0), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 2; }));
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    auto again = far_end::next_frame(0, far_end::deadline_in_ms(5000));
    ASSERT_TRUE(again.has_value()) << "the re-opened channel is announced too";
    EXPECT_EQ(*again, notice(3));
    expect_service_table_request(4);
    ASSERT_TRUE(wait_until(interface_enabled));
    settle_ms(2000);
    EXPECT_EQ(far_end::frames_waiting(0), 0u) << "once per open";

    WDFWAITLOCK lock = TransactionLock(0);
    ASSERT_NE(lock, nullptr);
    WdfWaitLockAcquire(lock, nullptr);
    EXPECT_EQ(DrawTransactionId(0), 5u);
    WdfWaitLockRelease(lock);
}

// A ready signal left over from before the channel opened (an answer that came after its
// request had timed out) is not the answer to the service-table request of this open: the
// port-open work item waits for its own answer and, without one, times out.
TEST_F(Port, AStaleReadySignalIsNotTakenForTheAnswerOfANewOpen) {
    boot(std::nullopt, /*far_open=*/false);
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 1; }));
    KeSetEvent(&PortReadyEvent, 0, FALSE);
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    auto first = far_end::next_frame(0, far_end::deadline_in_ms(5000));
    ASSERT_TRUE(first.has_value());
    expect_service_table_request(2);
    ASSERT_TRUE(wait_until([&] { return traced("port 0 open: transaction 2 ended 0x00000102"); }));
}

// VRAX loaded, started and unloaded again and again in one process, as the fuzzer and a
// long-lived host do: each load starts from the globals of a fresh image, and a shutdown
// that meets the arrival's port start-up half way still waits for the thread it starts.
TEST_F(Port, EachLoadOfTheDriverStartsAsAFreshImage) {
    for (int i = 0; i < 100; ++i) {
        const bool far_open = (i % 2) == 0;
        boot(std::nullopt, far_open);
        ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 1; }));
        if (far_open) {
            auto first = far_end::next_frame(0, far_end::deadline_in_ms(5000));
            ASSERT_TRUE(first.has_value()) << "load " << i;
            EXPECT_EQ(*first, notice(1)) << "load " << i;
            ASSERT_EQ(far_end::queue_read(0, {0x01, 0x02, 0x03}), STATUS_SUCCESS);
            ASSERT_TRUE(
                wait_until([&] { return traced("demux: port 0 frame of 3 bytes dropped"); }));
        }
        EXPECT_FALSE(traced("receive handler already registered")) << "load " << i;
        EXPECT_FALSE(traced("routing result")) << "load " << i;
        const auto report = finish();
        ASSERT_TRUE(report.empty()) << "load " << i << ": " << report.front();
        EXPECT_EQ(IsPortAttached(0), FALSE);
        EXPECT_EQ(port0().Device, nullptr);
    }
}

// The device goes the moment the notice has reached the SMD side, while the write's
// completion is still on its way out of the framework: the unload meets no reference of it.
TEST_F(Port, RemovalRightAfterAWriteCompletedLeavesNothingAtUnload) {
    for (int i = 0; i < 30; ++i) {
        boot();
        auto first = far_end::next_frame(0, far_end::deadline_in_ms(5000));
        ASSERT_TRUE(first.has_value()) << "load " << i;
        stop_ports();
        const auto report = finish();
        ASSERT_TRUE(report.empty()) << "load " << i << ": " << report.front();
    }
}

// The device goes while the port-open work item is about to take the port's transaction
// lock: the removal waits for the item, and the lock it holds the handle of lives as long as
// the driver image, not only as long as the device (which deletes its children, locks among
// them, while the item still runs).
TEST_F(Port, RemovalWhileThePortOpenWorkItemTakesItsLockLeavesTheLockUsable) {
    namespace pause = platform::pause_points;
    pause::hold_options on_worker;
    on_worker.occurrence = 2;  // the interface work item runs first, then the port-open one
    on_worker.filter = [](const pause::site& s) { return s.thread == "wdf-workitem"; };
    pause::hold at_item("work-item", on_worker);
    boot();
    ASSERT_TRUE(at_item.wait_arrived()) << at_item.describe();
    pause::hold_options next_acquire;
    next_acquire.filter = [](const pause::site& s) { return s.thread == "wdf-workitem"; };
    pause::hold at_acquire("WdfWaitLockAcquire", next_acquire);
    at_item.release();
    ASSERT_TRUE(at_acquire.wait_arrived()) << at_acquire.describe();

    auto removal = scheduler::get().start_thread("removal", [&] { stop_ports(); });
    settle_ms(2000);
    EXPECT_FALSE(removal->finished()) << "the removal waits for the work item";
    at_acquire.release();
    removal->join();
    EXPECT_EQ(target0(), nullptr);
}

// An SMD side that reports data it never hands out: each read waits out its second and the
// thread asks again, until the answer is 0; what comes later is read as usual, and a side
// that never stops saying so does not hold up the shutdown.
TEST_F(Port, PendingDataThatNeverComesNeitherStopsTheReadsNorTheShutdown) {
    bring_up();
    far_end::inject(0, far_end::target::read_pending, far_end::fault::byte_count(50, 3));
    ASSERT_EQ(far_end::queue_read(0, {0x01, 0x02, 0x03}), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return traced("demux: port 0 frame of 3 bytes dropped"); }));
    settle_ms(3000);
    ASSERT_EQ(far_end::queue_read(0, {0x01, 0x02, 0x03, 0x04}), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return traced("demux: port 0 frame of 4 bytes dropped"); }));

    far_end::inject(0, far_end::target::read_pending, far_end::fault::byte_count(50));
    ASSERT_EQ(far_end::queue_read(0, {0x01}), STATUS_SUCCESS);
    settle_ms(10000);
    const std::int64_t start = now_ms();
    stop_ports();
    EXPECT_LE(now_ms() - start, 3000) << "the read loop ends on the shutdown";
    EXPECT_EQ(closes_, 1u);
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_FRAME).count, 0u);
}

TEST_F(Port, StopWhileWaitingForOpenSendsNoCloseAndWhileServingSendsOne) {
    boot(std::nullopt, /*far_open=*/false);
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 1; }));
    EXPECT_TRUE(finish().empty());
    EXPECT_EQ(closes_, 0u);

    // A second device in the same driver image: it works, and its shutdown closes once.
    bring_up();
    stop_ports();
    EXPECT_EQ(closes_, 1u);
    EXPECT_EQ(target0(), nullptr);
    EXPECT_EQ(port0().PortContext, nullptr);
}

TEST_F(Port, CloseFromTheSmdSideReopensWithNewEventsOfTheSameNames) {
    bring_up();
    PIOTARGET_SMD_PORT_CONTEXT before = port0().PortContext;
    PKEVENT oldRead = before->ReadEvent;
    PETHREAD thread = context()->PortThreads[0];

    ASSERT_EQ(far_end::close_channel(0), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 2; }));
    EXPECT_EQ(far_end::close_requests().size(), 1u);
    EXPECT_EQ(far_end::open_requests()[1].read_event, u"VRAX_SMD_SHARED_EVENT_READ_0");
    EXPECT_FALSE(interface_enabled()) << "off until the SMD side opens again";
    EXPECT_EQ(context()->PortThreads[0], thread) << "the re-open starts no second thread";
    ASSERT_NE(port0().PortContext, nullptr);
    EXPECT_NE(port0().PortContext->ReadEvent, nullptr);
    (void)oldRead;

    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until(interface_enabled));
    ASSERT_EQ(far_end::queue_read(0, {0x01, 0x02, 0x03}), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return traced("demux: port 0 frame of 3 bytes dropped"); }));

    // Closed again, then the shutdown in the open wait: no second close request, and the
    // re-opened port's events are released and its target closed.
    ASSERT_EQ(far_end::close_channel(0), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 3; }));
    stop_ports();
    EXPECT_EQ(closes_, 2u);
    EXPECT_EQ(target0(), nullptr);
}

// Every failure step of the open leaves the record closed with no events, and the final
// check clean; the next arrival of the interface opens the port as usual.
class PortOpenFailure : public Port, public ::testing::WithParamInterface<const char*> {};

TEST_P(PortOpenFailure, LeavesThePortClosedUntilTheNextArrival) {
    far_end::reset();
    machine_ = std::make_unique<sim::machine>();
    ASSERT_EQ(machine_->boot(), STATUS_SUCCESS);
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    const std::string routine = GetParam();
    if (routine == "open request") {
        far_end::inject(0, far_end::target::open, far_end::fault::fail(STATUS_DEVICE_BUSY, 1));
    } else {
        faults::fail_always(routine, STATUS_INSUFFICIENT_RESOURCES);
    }
    ASSERT_EQ(smd::install(), STATUS_SUCCESS);
    settle_ms(5000);
    faults::clear();
    EXPECT_EQ(target0(), nullptr);
    EXPECT_EQ(port0().PortContext, nullptr);
    EXPECT_EQ(context()->PortThreads[0], nullptr);
    EXPECT_FALSE(interface_enabled());
    bytes frame{0x01, 5, 0, 0, 7, 1};
    EXPECT_EQ(SmdPortWrite(frame.data(), 6, 0), STATUS_INVALID_DEVICE_STATE);

    ASSERT_EQ(far_end::set_interface_enabled(false), STATUS_SUCCESS);
    ASSERT_EQ(far_end::set_interface_enabled(true), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until(interface_enabled));
    ASSERT_NE(context()->PortThreads[0], nullptr);
}

INSTANTIATE_TEST_SUITE_P(Steps, PortOpenFailure,
                         ::testing::Values("WdfIoTargetCreate", "WdfIoTargetOpen", "open request",
                                           "IoCreateSynchronizationEvent", "PsCreateSystemThread"));

TEST_F(Port, TransmitRefusals) {
    boot(std::nullopt, false);
    ASSERT_TRUE(wait_until([] { return IsPortAttached(0) != FALSE; }));
    bytes frame{0x01, 5, 0, 0, 7, 1};
    EXPECT_EQ(PortSend(29, frame.data(), 6), -1);
    EXPECT_EQ(PortSend(1, frame.data(), 6), -1) << "only port 0 is attached";
    EXPECT_EQ(SmdPortWrite(frame.data(), 0, 0), STATUS_INVALID_PARAMETER_1);
    EXPECT_EQ(SmdPortWrite(frame.data(), 6, 1), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(SmdPortWrite(frame.data(), 6, 29), STATUS_INVALID_PARAMETER_3);

    // An open of a port past the table, or without its owner or record, touches nothing.
    WDFDEVICE owner = ::ControlDevice;
    SMD_PORT_RECORD record{};
    EXPECT_EQ(SmdPortOpen(&owner, 29, &record, TRUE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SmdPortOpen(nullptr, 1, &record, TRUE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SmdPortOpen(&owner, 1, nullptr, TRUE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(record.Device, nullptr);
    EXPECT_EQ(record.IoTarget, nullptr);
    EXPECT_EQ(record.SpareTarget, nullptr);

    // Not open at the far end: the SMD side fails the write, the sender still had success.
    EXPECT_EQ(PortSend(0, frame.data(), 6), 0);
    faults::fail_nth("WdfRequestSend", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PortSend(0, frame.data(), 6), -1);
    faults::fail_nth("WdfMemoryCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SmdPortWrite(frame.data(), 6, 0), STATUS_INSUFFICIENT_RESOURCES);
    settle_ms(10);
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_FRAME).count, 0u)
        << "failed and refused writes leave no request or buffer";
}

TEST_F(Port, WritesRacingACloseFailOrGoThroughButNeverTouchAGoneTarget) {
    bring_up();
    bytes frame{0x01, 5, 0, 0, 7, 1};
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(far_end::close_channel(0), STATUS_SUCCESS);
        for (int i = 0; i < 50; ++i) {
            int r = PortSend(0, frame.data(), 6);
            EXPECT_TRUE(r == 0 || r == -1);
        }
        ASSERT_TRUE(
            wait_until([&] { return far_end::open_requests().size() == size_t(round) + 2; }));
        ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
        ASSERT_TRUE(wait_until(interface_enabled));
    }
    settle_ms(10);
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_FRAME).count, 0u);
}

TEST_F(Port, NotificationsTheDriverIgnoresOrRefuses) {
    bring_up();
    DEVICE_INTERFACE_CHANGE_NOTIFICATION n{};
    n.Event = GUID_DEVICE_INTERFACE_ARRIVAL;
    EXPECT_EQ(SmdInterfaceNotification(&n, nullptr), STATUS_INTERNAL_ERROR);
    EXPECT_EQ(SmdInterfaceNotification(&n, context()), STATUS_SUCCESS) << "second instance";
    n.Event = GUID_TARGET_DEVICE_QUERY_REMOVE;
    EXPECT_EQ(SmdInterfaceNotification(&n, context()), STATUS_UNSUCCESSFUL);

    // A second SMD device beside the first: ignored.
    ASSERT_EQ(far_end::add_device(), STATUS_SUCCESS);
    settle_ms(2000);
    EXPECT_EQ(far_end::open_requests().size(), 1u);

    // Disabling an interface that is off already changes nothing; enabling twice stays on.
    SetDeviceInterface(::ControlDevice, VRAX_INTERFACE_ENABLE);
    EXPECT_TRUE(interface_enabled());
    SetDeviceInterface(::ControlDevice, VRAX_INTERFACE_DISABLE);
    SetDeviceInterface(::ControlDevice, VRAX_INTERFACE_DISABLE);
    EXPECT_FALSE(interface_enabled());
    SetDeviceInterface(::ControlDevice, 3);
    EXPECT_FALSE(interface_enabled());
}

TEST_F(Port, RemovalBeforeAnyArrivalIsIgnoredAndStopWithoutThreadsSucceeds) {
    far_end::reset();
    machine_ = std::make_unique<sim::machine>();
    ASSERT_EQ(machine_->boot(), STATUS_SUCCESS);
    DEVICE_INTERFACE_CHANGE_NOTIFICATION n{};
    n.Event = GUID_DEVICE_INTERFACE_REMOVAL;
    EXPECT_EQ(SmdInterfaceNotification(&n, context()), STATUS_SUCCESS);
    EXPECT_EQ(context()->SmdInterfaceArrived, 0u);
    EXPECT_EQ(SmdPortsStop(::ControlDevice, FALSE), STATUS_SUCCESS);
}

// The interface goes and comes back while the old channel stays open and the service thread
// lives: no second open takes the record; the thread closes and re-opens the port itself.
TEST_F(Port, ArrivalWhileTheServiceThreadLivesRestartsItInsteadOfASecondOpen) {
    bring_up();
    PETHREAD thread = context()->PortThreads[0];
    // A program's stop request made before the arrival is forgotten with the old channel.
    KeSetEvent(&PortStopRequestEvent, 0, FALSE);
    ASSERT_EQ(far_end::set_interface_enabled(false), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return !interface_enabled(); }));
    ASSERT_EQ(far_end::set_interface_enabled(true), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 2; }));
    EXPECT_EQ(context()->PortThreads[0], thread);
    EXPECT_EQ(far_end::close_requests().size(), 1u) << "the thread closed the old channel";
    // The arrival clears the request after it has asked the thread to restart, so the
    // thread's new open can come first.
    EXPECT_TRUE(wait_until([] { return KeReadStateEvent(&PortStopRequestEvent) == 0; }));
    // The routing start-up finds its own demultiplexer registered: the normal path, traced as
    // no failure.
    EXPECT_FALSE(traced("routing result"));
    EXPECT_FALSE(traced("receive handler"));
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until(interface_enabled));
    ASSERT_EQ(far_end::queue_read(0, {0x01, 0x02, 0x03}), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return traced("demux: port 0 frame of 3 bytes dropped"); }));
}

// A re-open that fails ends the service thread; the next arrival of the interface finds it
// ended, lets its reference go and opens the port with a new thread.
TEST_F(Port, AThreadEndedByAFailedReopenIsReplacedAtTheNextArrival) {
    bring_up();
    far_end::inject(0, far_end::target::open, far_end::fault::fail(STATUS_DEVICE_BUSY, 1));
    ASSERT_EQ(far_end::close_channel(0), STATUS_SUCCESS);
    PETHREAD thread = context()->PortThreads[0];
    ASSERT_TRUE(wait_until([&] {
        LARGE_INTEGER now{};
        return KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &now) == STATUS_SUCCESS;
    }));
    EXPECT_EQ(far_end::open_requests().size(), 2u);
    EXPECT_EQ(target0(), nullptr);

    ASSERT_EQ(far_end::set_interface_enabled(false), STATUS_SUCCESS);
    ASSERT_EQ(far_end::set_interface_enabled(true), STATUS_SUCCESS);
    // The removal's work item may see the arrival too: a second open, by a restart.
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() >= 3; }));
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until(interface_enabled));
    ASSERT_NE(context()->PortThreads[0], nullptr);
    ASSERT_EQ(far_end::queue_read(0, {0x01, 0x02, 0x03}), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return traced("demux: port 0 frame of 3 bytes dropped"); }));
}

// The interface arrives again while the thread's re-open is still under way and then fails:
// the thread was alive when the arrival asked it to restart, but ends without taking the
// request. The arrival's port open must not be lost with it.
TEST_F(Port, ArrivalWhileTheThreadsReopenFailsStillOpensThePort) {
    bring_up();
    far_end::inject(0, far_end::target::open, far_end::fault::never(1));
    ASSERT_EQ(far_end::close_channel(0), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 2; }));
    ASSERT_EQ(far_end::set_interface_enabled(false), STATUS_SUCCESS);
    ASSERT_EQ(far_end::set_interface_enabled(true), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return traced("port 0: re-open"); }));
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() >= 3; }))
        << "the port was left closed";
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until(interface_enabled));
    ASSERT_EQ(far_end::queue_read(0, {0x01, 0x02, 0x03}), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return traced("demux: port 0 frame of 3 bytes dropped"); }));
}

// Arrivals that restart a thread still waiting for the SMD side to open: each restart re-opens
// the port, and none leaves a framework object behind (the port-open work item made for the
// first open, which never came, is deleted rather than left to the device).
TEST_F(Port, RestartsBeforeTheChannelOpensLeaveNoObjectsBehind) {
    boot(std::nullopt, /*far_open=*/false);
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 1; }));
    settle_ms(100);
    const std::size_t objects = platform::wdf::fx_object::live_count();
    for (std::size_t i = 0; i < 10; ++i) {
        ASSERT_EQ(far_end::set_interface_enabled(false), STATUS_SUCCESS);
        ASSERT_EQ(far_end::set_interface_enabled(true), STATUS_SUCCESS);
        ASSERT_TRUE(wait_until([&] { return far_end::open_requests().size() >= i + 2; }));
        settle_ms(100);
    }
    // The work item made for the first open is gone; re-opens make none until an open.
    EXPECT_EQ(platform::wdf::fx_object::live_count(), objects - 1);
    EXPECT_EQ(far_end::frames_waiting(0), 0u) << "nothing announced: the channel never opened";
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until(interface_enabled));
}

// The SMD device is surprise-removed (its close never signalled) and a new one arrives: port
// 0 attaches, opens and carries frames again without a restart of VRAX's device.
TEST_F(Port, ANewSmdDeviceAfterASurpriseRemovalCarriesFramesAgain) {
    bring_up();
    ASSERT_EQ(far_end::surprise_remove(), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return !interface_enabled(); }));
    ASSERT_EQ(far_end::add_device(), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 2; }));
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until(interface_enabled));
    EXPECT_TRUE(IsPortAttached(0));
    ASSERT_EQ(far_end::queue_read(0, {0x01, 0x02, 0x03}), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([&] { return traced("demux: port 0 frame of 3 bytes dropped"); }));
    bytes frame{0x01, 5, 0, 0, 7, 1};
    EXPECT_EQ(PortSend(0, frame.data(), 6), 0);
    bool got_frame = false;
    // Before it: notices and the service-table requests of both devices' opens.
    for (int i = 0; i < 8 && !got_frame; ++i) {
        auto f = far_end::next_frame(0, far_end::deadline_in_ms(1000));
        got_frame = f.has_value() && *f == frame;
    }
    EXPECT_TRUE(got_frame);
}

// A thread busy for 5 s after the stop (a restart whose close and open requests the SMD
// side holds until their time limits): the final power-down gives up after 3 s with the
// setting on and waits it out without; either way nothing runs driver code at unload.
void HoldTheThreadFiveSeconds() {
    far_end::inject(0, far_end::target::close, far_end::fault::never());
    far_end::inject(0, far_end::target::open, far_end::fault::never());
    ASSERT_EQ(far_end::set_interface_enabled(false), STATUS_SUCCESS);
    ASSERT_EQ(far_end::set_interface_enabled(true), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return far_end::close_requests().size() == 1; }));
}

TEST_F(Port, BoundedShutdownGivesUpAfterThreeSecondsAndTheDeviceStillWaitsAtCleanup) {
    boot(true);
    ASSERT_TRUE(far_end::next_frame(0, far_end::deadline_in_ms(5000)).has_value());
    ASSERT_TRUE(wait_until(interface_enabled));
    HoldTheThreadFiveSeconds();
    const std::int64_t start = now_ms();
    stop_ports();
    EXPECT_TRUE(traced("port 0 thread did not end in time"));
    EXPECT_TRUE(traced("port 0 late thread ended"));
    EXPECT_GE(now_ms() - start, 4000);
}

TEST_F(Port, UnboundedShutdownWaitsForTheThread) {
    boot(false);
    ASSERT_TRUE(far_end::next_frame(0, far_end::deadline_in_ms(5000)).has_value());
    ASSERT_TRUE(wait_until(interface_enabled));
    HoldTheThreadFiveSeconds();
    stop_ports();
    EXPECT_FALSE(traced("did not end in time"));
    EXPECT_FALSE(traced("late thread ended"));
}

// Holds port 0's service thread at the entry of its next wait: a chunk from the SMD side
// wakes it, and it is held when it comes back to wait for more, having closed nothing.
std::unique_ptr<platform::pause_points::hold> HoldTheServiceThread() {
    namespace pause = platform::pause_points;
    pause::hold_options on_service;
    on_service.filter = [](const pause::site& s) { return s.thread.starts_with("system thread"); };
    auto held = std::make_unique<pause::hold>("KeWaitForMultipleObjects", on_service);
    EXPECT_EQ(far_end::queue_read(0, {0x01, 0x02, 0x03}), STATUS_SUCCESS);
    EXPECT_TRUE(held->wait_arrived()) << held->describe();
    return held;
}

// However long the service thread takes, the device's objects, its port target among them,
// go only after it has ended: the thread's last close request reaches the SMD side through a
// live target. With the setting on, the final power-down still gives up after 3 s; a removal
// of a device that sleeps gets no power-down at all, so nothing has stopped the ports before
// the device's objects are about to go.
TEST_F(Port, AServiceThreadHeldPastTheBoundedWaitEndsBeforeItsTargetGoes) {
    boot(true);
    ASSERT_TRUE(far_end::next_frame(0, far_end::deadline_in_ms(5000)).has_value());
    ASSERT_TRUE(wait_until(interface_enabled));
    auto held = HoldTheServiceThread();
    auto removal = scheduler::get().start_thread("removal", [&] { stop_ports(); });
    settle_ms(5000);
    EXPECT_TRUE(traced("port 0 thread did not end in time"));
    EXPECT_FALSE(removal->finished()) << "the device's objects wait for the thread";
    EXPECT_NE(target0(), nullptr);
    held->release();
    removal->join();
    EXPECT_EQ(closes_, 1u);
    EXPECT_EQ(target0(), nullptr);
}

TEST_F(Port, RemovalWhileAsleepEndsTheServiceThreadBeforeItsTargetGoes) {
    bring_up();
    ASSERT_EQ(machine_->sleep(), STATUS_SUCCESS);
    auto held = HoldTheServiceThread();
    auto removal = scheduler::get().start_thread("removal", [&] { stop_ports(); });
    settle_ms(5000);
    EXPECT_FALSE(removal->finished()) << "the device's objects wait for the thread";
    held->release();
    removal->join();
    EXPECT_EQ(closes_, 1u);
    EXPECT_EQ(target0(), nullptr);
    EXPECT_TRUE(traced("service thread ends"));
}

TEST_F(Port, AThousandReopensLeaveNothingBehind) {
    bring_up();
    settle_ms(10);
    const auto pool_frames = platform::kernel::pool::outstanding(VRAX_TAG_FRAME).count;
    const auto pool_total = platform::kernel::pool::outstanding_total().count;
    const auto handles = platform::ob::kernel_handles().size();
    const auto objects = platform::ob::live_object_count();
    const auto threads = platform::kernel::driver_threads_running(nullptr).size();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(far_end::close_channel(0), STATUS_SUCCESS);
        ASSERT_TRUE(wait_until([&] { return far_end::open_requests().size() == size_t(i) + 2; }));
        ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
        ASSERT_TRUE(wait_until(interface_enabled));
    }
    settle_ms(10);
    EXPECT_EQ(platform::kernel::pool::outstanding(VRAX_TAG_FRAME).count, pool_frames);
    // Each open asks for a service table that never comes; the unanswered requests' records
    // stay, one per transaction id at most.
    const auto transactions = platform::kernel::pool::outstanding(VRAX_TAG_DRIVER).count;
    EXPECT_LE(transactions, 255u + 1u);
    EXPECT_LE(platform::kernel::pool::outstanding_total().count - transactions, pool_total + 4);
    EXPECT_EQ(platform::ob::kernel_handles().size(), handles);
    EXPECT_LE(platform::ob::live_object_count(), objects + 4);
    EXPECT_EQ(platform::kernel::driver_threads_running(nullptr).size(), threads);
}

}  // namespace
