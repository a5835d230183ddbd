// The service table of a port reaching the driver through the demultiplexer: the version
// words it stores, and the port-ready restart of the client queue, which presents the
// requests that waited in the stopped queue on the port service thread once the routing
// lock is released. The control-service response handler and the control dispatcher are
// replaced here: the first hands the frame's bytes after the control header to
// StoreServiceTable as the record, the second records where and with which locks each
// control was presented and then takes every routing lock, as a submitted control of kind 5
// does.
#include <atomic>
#include <cstring>
#include <vector>

#include "core/lock_tracker.h"
#include "smd/far_end.h"

#include "delivery_machine.h"
#include "ioctl/ioctl_dispatch.h"
#include "protocol/control_responses.h"
#include "protocol/routing.h"
#include "session/delivery.h"
#include "vrax_device.h"
#include "vrax_wire.h"

namespace {

struct presented {
    PETHREAD thread;
    std::size_t locks_held;
    std::string locks;
};
std::vector<presented> controls;

}  // namespace

VOID HandleControlMessage(ULONG PortIndex, PUCHAR Message, ULONG Length) {
    std::vector<UCHAR> record(VRAX_SERVICE_TABLE_SIZE, 0);
    if (Length > VRAX_CONTROL_HEADER_SIZE) {
        std::memcpy(record.data(), Message + VRAX_CONTROL_HEADER_SIZE,
                    std::min<std::size_t>(Length - VRAX_CONTROL_HEADER_SIZE, record.size()));
    }
    StoreServiceTable(PortIndex, 0, record.data());
}

VOID EvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                        size_t InputBufferLength, ULONG IoControlCode) {
    UNREFERENCED_PARAMETER(Queue);
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    UNREFERENCED_PARAMETER(IoControlCode);
    controls.push_back({PsGetCurrentThread(), platform::lock_tracker::held_count(),
                        platform::lock_tracker::describe_held()});
    PurgeSessionClients(0x7777);
    WdfRequestComplete(Request, STATUS_SUCCESS);
}

namespace {

using namespace delivery_test;
namespace far_end = smd::far_end;

PVRAX_DEVICE_CONTEXT context() {
    return GetVraxDeviceContext(::ControlDevice);
}

// A service-table answer whose record has the given entries in both lists.
struct entry {
    UCHAR service;
    USHORT w0, w1, w2, w3;
};
bytes service_table(const std::vector<entry>& entries, LONG count) {
    bytes record(VRAX_SERVICE_TABLE_SIZE, 0);
    for (int i = 0; i < 4; ++i) {
        record[i] = static_cast<UCHAR>(static_cast<ULONG>(count) >> (8 * i));
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        UCHAR* first = &record[VRAX_SERVICE_TABLE_FIRST_LIST + i * 6];
        UCHAR* second = &record[VRAX_SERVICE_TABLE_SECOND_LIST + i * 6];
        first[0] = second[0] = entries[i].service;
        VraxWriteU16(first + 2, entries[i].w0);
        VraxWriteU16(first + 4, entries[i].w1);
        VraxWriteU16(second + 2, entries[i].w2);
        VraxWriteU16(second + 4, entries[i].w3);
    }
    bytes message{0x01, 0x02, 0x21, 0x00, 0x00, 0x00};
    message.insert(message.end(), record.begin(), record.end());
    return frame(0, 0, message);
}

// A version word, read under the lock the port's thread stores a table under.
USHORT version_word(ULONG port, ULONG service, ULONG word) {
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    const USHORT value = ServiceVersionTable[port][service].Words[word];
    WdfWaitLockRelease(ClientSessionsLock);
    return value;
}

bool queue_stopped() {
    WdfWaitLockAcquire(ClientQueueLock, nullptr);
    bool stopped = ClientQueueStopped != FALSE;
    WdfWaitLockRelease(ClientQueueLock);
    return stopped;
}

class QueueRestart : public DeliveryMachine {
  protected:
    void SetUp() override {
        controls.clear();
        bring_up();
    }
    // The SMD side closes port 0 and opens it again: the client queue is stopped.
    void lose_port() {
        ASSERT_EQ(far_end::close_channel(0), STATUS_SUCCESS);
        ASSERT_TRUE(wait_until([] { return far_end::open_requests().size() == 2; }));
        ASSERT_TRUE(queue_stopped());
        ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
        ASSERT_TRUE(wait_until([] { return VraxInterfaceEnabled(context()) != FALSE; }));
    }
    void send_table(const std::vector<entry>& entries = {{1, 1, 2, 3, 4}}) {
        queue_read(service_table(entries, static_cast<LONG>(entries.size())));
    }
};

TEST_F(QueueRestart, AControlWaitingInTheStoppedQueueIsPresentedWithNoLockHeld) {
    send_table();
    ASSERT_TRUE(wait_until([] { return !queue_stopped(); }));
    handle h;
    ASSERT_EQ(h.status(), STATUS_SUCCESS);
    lose_port();

    UCHAR buffer[16] = {};
    auto waiting = h.start(IRP_MJ_DEVICE_CONTROL, 0x12400, buffer, sizeof buffer);
    settle_ms(500);
    EXPECT_TRUE(controls.empty()) << "the stopped queue holds the control";

    send_table();
    ASSERT_EQ(platform::io::wait_request(waiting), STATUS_SUCCESS);
    ASSERT_EQ(controls.size(), 1u);
    EXPECT_EQ(controls[0].thread, context()->PortThreads[0]) << "presented by the start";
    // ClientQueueLock only: the start and the flag change together under it.
    EXPECT_EQ(controls[0].locks_held, 1u) << controls[0].locks;
    EXPECT_EQ(controls[0].locks.find("demux"), std::string::npos) << controls[0].locks;
    EXPECT_FALSE(queue_stopped());

    // Later tables find the queue running and leave it so: a control goes straight in.
    send_table();
    settle_ms(100);
    auto direct = h.start(IRP_MJ_DEVICE_CONTROL, 0x12400, buffer, sizeof buffer);
    ASSERT_EQ(platform::io::wait_request(direct), STATUS_SUCCESS);
    ASSERT_EQ(controls.size(), 2u);
    EXPECT_NE(controls[1].thread, context()->PortThreads[0]);
    EXPECT_FALSE(queue_stopped());
}

TEST_F(QueueRestart, TheTableFillsThePortsVersionWordsAndMarksThePortReady) {
    KeClearEvent(&PortReadyEvent);
    ServiceVersionTable[0][9] = {{9, 9, 9, 9}};
    send_table(
        {{1, 0x0101, 0x0102, 0x0103, 0x0104}, {255, 7, 7, 7, 7}, {254, 0xFFFF, 0, 0x8000, 1}});
    ASSERT_TRUE(wait_until([] { return KeReadStateEvent(&PortReadyEvent) != 0; }));
    EXPECT_EQ(ServiceVersionTable[0][1].Words[0], 0x0101);
    EXPECT_EQ(ServiceVersionTable[0][1].Words[3], 0x0104);
    EXPECT_EQ(ServiceVersionTable[0][254].Words[0], 0xFFFF);
    EXPECT_EQ(ServiceVersionTable[0][254].Words[2], 0x8000);
    EXPECT_EQ(ServiceVersionTable[0][9].Words[1], 9) << "services not listed keep their words";
    EXPECT_EQ(ServiceVersionTable[1][1].Words[0], 0) << "only the port the table came on";

    // A count of 0 or below stores nothing; one above what the record holds is cut and
    // never read past the record (the sanitizer build watches).
    queue_read(service_table({{2, 5, 5, 5, 5}}, 0));
    queue_read(service_table({{3, 5, 5, 5, 5}}, -4));
    queue_read(service_table({{4, 6, 6, 6, 6}}, 100000));
    ASSERT_TRUE(wait_until([] { return version_word(0, 4, 0) == 6; }));
    EXPECT_EQ(ServiceVersionTable[0][2].Words[0], 0);
    EXPECT_EQ(ServiceVersionTable[0][3].Words[0], 0);

    // A lost port's row is cleared; the next table fills it again.
    lose_port();
    EXPECT_EQ(ServiceVersionTable[0][1].Words[0], 0);
    send_table();
    ASSERT_TRUE(wait_until([] { return version_word(0, 1, 0) == 1; }));
}

}  // namespace
