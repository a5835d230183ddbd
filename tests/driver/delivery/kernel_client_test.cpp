// The kernel client interface as another driver uses it: the interface taken with a
// query-interface request to VRAX's device, registration and deregistration, sends of
// control requests and service messages, and what the monitor hook hands each client's
// callback (unicasts by key, control responses renumbered per client).
#include <array>
#include <vector>

#include "core/faults.h"
#include "core/lock_tracker.h"
#include "kernel/pool.h"

#include "delivery_machine.h"
#include "ioctl/kernel_client.h"
#include "protocol/routing.h"
#include "protocol/routing_table.h"
#include "session/session.h"
#include "session/delivery.h"
#include "vrax_device.h"
#include "vrax_pool.h"

namespace {

using namespace delivery_test;

struct received {
    ULONG port, service, client, flags;
    bytes message;
    std::size_t locks_held;
};

// Callbacks carry no context, so each slot has its own routine.
std::array<std::vector<received>, 3> calls;

template <int Slot>
VOID NTAPI receive(ULONG PortIndex, ULONG ServiceType, ULONG ClientId, ULONG Flags, PUCHAR Message,
                   ULONG MessageLength) {
    calls[Slot].push_back({PortIndex, ServiceType, ClientId, Flags,
                           bytes(Message, Message + MessageLength),
                           platform::lock_tracker::held_count()});
}

// Key of the i-th open session.
ULONG session_key(ULONG i) {
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    ULONG key = GetClientContext(WdfCollectionGetItem(ClientSessions, i))->SessionKey;
    WdfWaitLockRelease(ClientSessionsLock);
    return key;
}

ULONG key_of(VRAX_KERNEL_CLIENT_HANDLE h) {
    size_t size = 0;
    auto* record =
        static_cast<PVRAX_KERNEL_CLIENT>(WdfMemoryGetBuffer(static_cast<WDFMEMORY>(h), &size));
    EXPECT_EQ(size, 156u);
    return record->Key;
}

std::size_t pool_count(ULONG tag) {
    return platform::kernel::pool::outstanding(tag).count;
}

class KernelClient : public DeliveryMachine {
  protected:
    void SetUp() override {
        for (auto& c : calls) {
            c.clear();
        }
        bring_up();
        if (HasFatalFailure()) {
            return;
        }
        iface_ = kernel_interface();
        ASSERT_NE(iface_.KernelClientRegister, nullptr);
    }
    VRAX_KERNEL_CLIENT_HANDLE enrol(PVRAX_KERNEL_RECEIVE_CALLBACK callback) {
        VRAX_KERNEL_CLIENT_HANDLE h = nullptr;
        EXPECT_EQ(iface_.KernelClientRegister(callback, nullptr, nullptr, &h, nullptr), 0);
        EXPECT_NE(h, nullptr);
        return h;
    }
    // A unicast for `key` as the demultiplexer offers it: under the port's routing lock.
    void offer(ULONG key, ULONG marker, bytes message, ULONG port = 0) {
        OfferToMonitors(key, port, 5, 7, 0x40, marker, message.data(),
                        static_cast<ULONG>(message.size()));
        EXPECT_EQ(platform::lock_tracker::held_count(), 0u);
    }
    VRAX_KERNEL_INTERFACE iface_{};
};

TEST_F(KernelClient, InterfaceCarriesTheFourRoutinesInOrder) {
    EXPECT_EQ(iface_.InterfaceHeader.Size, sizeof(VRAX_KERNEL_INTERFACE));
    EXPECT_EQ(iface_.InterfaceHeader.Version, 0);
    EXPECT_EQ(iface_.InterfaceHeader.Context, nullptr);
    // Reference and dereference are the framework's no-ops, as the driver gives none.
    EXPECT_EQ(iface_.KernelClientRegister, &KernelClientRegister);
    EXPECT_EQ(iface_.KernelClientDeregister, &KernelClientDeregister);
    EXPECT_EQ(iface_.KernelClientSendControl, &KernelClientSendControl);
    EXPECT_EQ(iface_.KernelClientSendMessage, &KernelClientSendMessage);
}

TEST_F(KernelClient, RegistrationWithoutAHandlePointerCreatesNothing) {
    EXPECT_EQ(iface_.KernelClientRegister(receive<0>, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(WdfCollectionGetCount(KernelClients), 0u);
    EXPECT_EQ(pool_count(VRAX_TAG_KERNEL_CLIENT), 0u);

    // A record that cannot be listed is deleted again and no handle is handed out.
    platform::faults::fail_nth("WdfCollectionAdd", 1, STATUS_INSUFFICIENT_RESOURCES);
    VRAX_KERNEL_CLIENT_HANDLE h = reinterpret_cast<VRAX_KERNEL_CLIENT_HANDLE>(1);
    EXPECT_EQ(iface_.KernelClientRegister(receive<0>, nullptr, nullptr, &h, nullptr), -1);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(WdfCollectionGetCount(KernelClients), 0u);
    EXPECT_EQ(pool_count(VRAX_TAG_KERNEL_CLIENT), 0u);
}

TEST_F(KernelClient, EachRegistrationDrawsItsOwnKeyAndStartsItsCounterAtZero) {
    VRAX_KERNEL_CLIENT_HANDLE a = enrol(receive<0>);
    VRAX_KERNEL_CLIENT_HANDLE b = enrol(receive<1>);
    EXPECT_NE(a, b);
    EXPECT_EQ(key_of(b), key_of(a) + 1) << "one counter, one step per registration";
    size_t size = 0;
    auto* record =
        static_cast<PVRAX_KERNEL_CLIENT>(WdfMemoryGetBuffer(static_cast<WDFMEMORY>(a), &size));
    EXPECT_EQ(record->TransactionCounter, 0);
    EXPECT_EQ(record->ReceiveCallback, &receive<0>);
    EXPECT_EQ(pool_count(VRAX_TAG_KERNEL_CLIENT), 2u);

    // Sessions draw from the same counter: a session, a client and a session never share.
    handle first;
    VRAX_KERNEL_CLIENT_HANDLE c = enrol(receive<2>);
    handle second;
    ASSERT_EQ(second.status(), STATUS_SUCCESS);
    EXPECT_EQ(session_key(0), key_of(b) + 1);
    EXPECT_EQ(key_of(c), session_key(0) + 1);
    EXPECT_EQ(session_key(1), key_of(c) + 1);
}

TEST_F(KernelClient, AFrameForAnIdTheClientOwnsReachesItsCallbackOnTheServiceThread) {
    VRAX_KERNEL_CLIENT_HANDLE a = enrol(receive<0>);
    WdfWaitLockAcquire(RoutingTable[0].RoutingLock, nullptr);
    ASSERT_EQ(RegisterClientId(key_of(a), 0, 5, 7), 0);
    WdfWaitLockRelease(RoutingTable[0].RoutingLock);
    const bytes message{0x04, 0x01, 0x00, 0x30, 0x00, 0x00, 0x00};
    queue_read(frame(5, 7, message, 0x80));
    ASSERT_TRUE(wait_until([] { return !calls[0].empty(); }));
    EXPECT_EQ(calls[0][0].message, message);
    EXPECT_EQ(calls[0][0].flags, 0x80u);
    EXPECT_EQ(calls[0][0].locks_held, 2u) << "the routing lock and KernelClientsLock";
    EXPECT_EQ(WdfCollectionGetCount(ClientSessions), 0u) << "no session was opened for it";
}

TEST_F(KernelClient, DeregisteringTheFirstLeavesTheOthersReachable) {
    VRAX_KERNEL_CLIENT_HANDLE a = enrol(receive<0>);
    VRAX_KERNEL_CLIENT_HANDLE b = enrol(receive<1>);
    VRAX_KERNEL_CLIENT_HANDLE c = enrol(receive<2>);
    const ULONG ka = key_of(a), kb = key_of(b), kc = key_of(c);

    EXPECT_EQ(iface_.KernelClientDeregister(a), 0);
    EXPECT_EQ(WdfCollectionGetCount(KernelClients), 2u);
    EXPECT_EQ(pool_count(VRAX_TAG_KERNEL_CLIENT), 2u);
    for (ULONG key : {ka, kb, kc}) {
        offer(key, 0, {0x02, 0x01, 0x00, 0x10, 0x00, 0x00, 0x00});
    }
    EXPECT_TRUE(calls[0].empty()) << "a deregistered client is never called";
    ASSERT_EQ(calls[1].size(), 1u);
    ASSERT_EQ(calls[2].size(), 1u);

    // A handle that is gone, or none at all, is refused without being read.
    EXPECT_EQ(iface_.KernelClientDeregister(a), -1);
    EXPECT_EQ(iface_.KernelClientDeregister(nullptr), -1);
    EXPECT_EQ(WdfCollectionGetCount(KernelClients), 2u);
    EXPECT_EQ(iface_.KernelClientDeregister(c), 0);
    EXPECT_EQ(iface_.KernelClientDeregister(b), 0);
    EXPECT_EQ(pool_count(VRAX_TAG_KERNEL_CLIENT), 0u);
    EXPECT_EQ(platform::lock_tracker::held_count(), 0u);
}

TEST_F(KernelClient, UnicastsReachTheOwningKeyUnchangedUnderTheClientsLock) {
    VRAX_KERNEL_CLIENT_HANDLE a = enrol(receive<0>);
    VRAX_KERNEL_CLIENT_HANDLE b = enrol(receive<1>);
    const bytes message{0x02, 0x09, 0x00, 0x10, 0x00, 0x00, 0x00};
    offer(key_of(b), 0, message, 3);
    EXPECT_TRUE(calls[0].empty());
    ASSERT_EQ(calls[1].size(), 1u);
    const received& r = calls[1][0];
    EXPECT_EQ(r.port, 3u);
    EXPECT_EQ(r.service, 5u);
    EXPECT_EQ(r.client, 7u);
    EXPECT_EQ(r.flags, 0x40u);
    EXPECT_EQ(r.message, message) << "marker 0: the transaction id is left alone";
    EXPECT_EQ(r.locks_held, 1u) << "KernelClientsLock, and nothing else";
    offer(key_of(a) + 100, 0, message);
    EXPECT_EQ(calls[0].size() + calls[1].size(), 1u) << "nobody owns that key";
}

TEST_F(KernelClient, ControlResponsesCarryEachClientsOwnRunningNumber) {
    VRAX_KERNEL_CLIENT_HANDLE a = enrol(receive<0>);
    VRAX_KERNEL_CLIENT_HANDLE b = enrol(receive<1>);
    bytes request{0x00, 0x63, 0x22, 0x00, 0x00, 0x00};
    ASSERT_EQ(iface_.KernelClientSendControl(a, 0, request.data(), 6), 0);
    ASSERT_EQ(iface_.KernelClientSendControl(b, 2, request.data(), 6), 0);

    // On the wire the responses carry transaction ids 40, 41, ...; a client sees 1, 2, 3.
    for (UCHAR wire = 40; wire < 43; ++wire) {
        offer(key_of(a), wire, {0x01, wire, 0x22, 0x00, 0x00, 0x00});
    }
    ASSERT_EQ(calls[0].size(), 3u);
    for (UCHAR n = 0; n < 3; ++n) {
        EXPECT_EQ(calls[0][n].message[1], n + 1);
    }
    // A response on a port other than the client's last request is not the client's.
    offer(key_of(b), 9, {0x01, 9, 0x22, 0x00, 0x00, 0x00}, 0);
    EXPECT_TRUE(calls[1].empty());
    offer(key_of(b), 9, {0x01, 9, 0x22, 0x00, 0x00, 0x00}, 2);
    ASSERT_EQ(calls[1].size(), 1u);
    EXPECT_EQ(calls[1][0].message[1], 1) << "b's counter is its own";

    // The counter wraps after 255 to 0; a one-byte message has no byte 1 to renumber.
    for (int n = 4; n <= 257; ++n) {
        offer(key_of(a), 7, {0x01, 7, 0x22, 0x00, 0x00, 0x00});
    }
    EXPECT_EQ(calls[0][254].message[1], 255);
    EXPECT_EQ(calls[0][255].message[1], 0);
    EXPECT_EQ(calls[0][256].message[1], 1);
    offer(key_of(a), 7, {0x01});
    EXPECT_EQ(calls[0].back().message, bytes{0x01});
}

// End to end through the far end: the client's control request goes out under an id the
// driver draws; the control service's answer to that id is handled by the response handler,
// which registers the granted id for the client and hands the client the answer numbered by
// its own counter. A second answer to the same id reaches nobody.
TEST_F(KernelClient, AControlAnswerFromTheFarEndReachesTheClientRenumbered) {
    VRAX_KERNEL_CLIENT_HANDLE a = enrol(receive<0>);
    bytes request{0x00, 0x63, 0x22, 0x00, 0x04, 0x00, 0x01, 0x01, 0x00, 0x05};
    const bytes answer_tlvs{0x02, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x05, 0x09};
    for (UCHAR n = 1; n <= 2; ++n) {
        ASSERT_EQ(iface_.KernelClientSendControl(a, 0, request.data(),
                                                 static_cast<ULONG>(request.size())),
                  0);
        auto sent = next_frame();
        ASSERT_TRUE(sent.has_value());
        const UCHAR wire = (*sent)[VRAX_FRAME_HEADER_SIZE + 1];
        bytes expected_request = request;
        expected_request[1] = wire;
        EXPECT_EQ(*sent, frame(0, 0, expected_request)) << "the client's TLVs under a drawn id";

        bytes answer{0x01, wire, 0x22, 0x00, static_cast<UCHAR>(answer_tlvs.size()), 0x00};
        answer.insert(answer.end(), answer_tlvs.begin(), answer_tlvs.end());
        queue_read(frame(0, 0, answer));
        ASSERT_TRUE(wait_until([&] { return calls[0].size() == n; }));
        bytes renumbered = answer;
        renumbered[1] = n;
        EXPECT_EQ(calls[0].back().message, renumbered) << "answer " << int{n};
        EXPECT_EQ(calls[0].back().service, 0u);
        EXPECT_EQ(calls[0].back().client, 0u);

        queue_read(frame(0, 0, answer));
        settle_ms(100);
        EXPECT_EQ(calls[0].size(), n) << "a repeated answer finds its transaction finished";
    }

    // The granted id is the client's: a frame for it reaches the same callback unchanged.
    const bytes message{0x02, 0x01, 0x00, 0x30, 0x00, 0x00, 0x00};
    queue_read(frame(5, 9, message));
    ASSERT_TRUE(wait_until([] { return calls[0].size() == 3; }));
    EXPECT_EQ(calls[0][2].message, message);
    EXPECT_EQ(calls[0][2].service, 5u);
    EXPECT_EQ(calls[0][2].client, 9u);
}

TEST_F(KernelClient, ControlMessagesShorterThanTheHeaderAreRefusedAndNothingLeaks) {
    VRAX_KERNEL_CLIENT_HANDLE a = enrol(receive<0>);
    bytes request{0x00, 0x01, 0x22, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x05};
    for (ULONG length : {0u, 1u, 5u}) {
        EXPECT_EQ(iface_.KernelClientSendControl(a, 0, request.data(), length), -1) << length;
    }
    EXPECT_EQ(iface_.KernelClientSendControl(a, 0, nullptr, 6), -1);
    EXPECT_EQ(iface_.KernelClientSendControl(nullptr, 0, request.data(), 6), -1);
    EXPECT_EQ(iface_.KernelClientSendControl(a, 0, request.data(), 0x10000), -1);

    // Exactly the header, and with TLVs: accepted whatever the send does; the buffer goes.
    EXPECT_EQ(iface_.KernelClientSendControl(a, 4, request.data(), 6), 0);
    EXPECT_EQ(iface_.KernelClientSendControl(a, 0, request.data(), 10), 0);
    EXPECT_EQ(pool_count(VRAX_TAG_SEND), 0u);

    // Without memory for the copy: refused.
    platform::faults::fail_nth("ExAllocatePoolWithTag", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(iface_.KernelClientSendControl(a, 0, request.data(), 6), -1);
    EXPECT_EQ(platform::lock_tracker::held_count(), 0u);
}

TEST_F(KernelClient, ServiceMessagesAreFramedOnTheOpenPortAndRefusedElsewhere) {
    bytes message{0x00, 0x01, 0x00, 0x20, 0x00, 0x00, 0x00};
    EXPECT_EQ(iface_.KernelClientSendMessage(nullptr, 0, 3, 9, message.data(), 7), 0);
    auto written = next_frame();
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(*written, frame(3, 9, message));

    // A port that is not open for routing, a port out of range, values that do not fit a
    // frame's bytes: -1, and no buffer left behind.
    EXPECT_EQ(iface_.KernelClientSendMessage(nullptr, 1, 3, 9, message.data(), 7), -1);
    EXPECT_EQ(iface_.KernelClientSendMessage(nullptr, 29, 3, 9, message.data(), 7), -1);
    EXPECT_EQ(iface_.KernelClientSendMessage(nullptr, 0, 0x103, 9, message.data(), 7), -1);
    EXPECT_EQ(iface_.KernelClientSendMessage(nullptr, 0, 3, 0x109, message.data(), 7), -1);
    EXPECT_EQ(iface_.KernelClientSendMessage(nullptr, 0, 3, 9, nullptr, 7), -1);
    EXPECT_EQ(iface_.KernelClientSendMessage(nullptr, 0, 3, 9, message.data(), 0xFFFFFFFFu), -1);
    EXPECT_EQ(pool_count(VRAX_TAG_SEND), 0u);
    EXPECT_FALSE(next_frame(100).has_value());

    // The longest message a frame's length field describes goes out; one byte more does not.
    bytes longest(VRAX_MESSAGE_MAX_SIZE + 1, 0x6B);
    EXPECT_EQ(
        iface_.KernelClientSendMessage(nullptr, 0, 3, 9, longest.data(), VRAX_MESSAGE_MAX_SIZE + 1),
        -1);
    EXPECT_FALSE(next_frame(100).has_value());
    EXPECT_EQ(
        iface_.KernelClientSendMessage(nullptr, 0, 3, 9, longest.data(), VRAX_MESSAGE_MAX_SIZE), 0);
    longest.pop_back();
    written = next_frame();
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(*written, frame(3, 9, longest));
    EXPECT_EQ(pool_count(VRAX_TAG_SEND), 0u);
}

// A callback may send: the send paths do not take KernelClientsLock, which the hook holds.
VRAX_KERNEL_INTERFACE* echo_interface = nullptr;
VOID NTAPI echo(ULONG PortIndex, ULONG ServiceType, ULONG ClientId, ULONG Flags, PUCHAR Message,
                ULONG MessageLength) {
    UNREFERENCED_PARAMETER(Flags);
    calls[0].push_back({PortIndex, ServiceType, ClientId, Flags,
                        bytes(Message, Message + MessageLength),
                        platform::lock_tracker::held_count()});
    calls[0].back().flags = static_cast<ULONG>(echo_interface->KernelClientSendMessage(
        nullptr, PortIndex, ServiceType, ClientId, Message, MessageLength));
}

TEST_F(KernelClient, ACallbackCanSendFromInsideTheHook) {
    echo_interface = &iface_;
    VRAX_KERNEL_CLIENT_HANDLE a = enrol(echo);
    const bytes message{0x02, 0x05, 0x00, 0x11, 0x00, 0x00, 0x00};
    offer(key_of(a), 0, message);
    ASSERT_EQ(calls[0].size(), 1u);
    EXPECT_EQ(calls[0][0].flags, 0u) << "the send from the callback succeeded";
    auto written = next_frame();
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(*written, frame(5, 7, message));
}

}  // namespace
