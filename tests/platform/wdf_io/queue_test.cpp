// Queues: sequential presentation, manual retrieval, forwarding, stop/purge semantics, the
// state bits, zero-length requests and routing of IRPs to queues.
#include <gtest/gtest.h>

#include <wdf.h>

#include <thread>
#include <vector>

#include "core/faults.h"
#include "wdf_io_harness.h"

using namespace wdf_io_test;

namespace {

// What the callbacks saw. Guarded by the scheduler lock (callbacks write through `note`).
struct seen_t {
    std::vector<WDFREQUEST> presented;
    std::vector<std::thread::id> threads;
    std::vector<int> irqls;
    int active = 0;      // callbacks running now
    int max_active = 0;  // most callbacks ever running at once
    std::vector<WDFREQUEST> canceled_on_queue;
    WDFQUEUE manual = nullptr;
    bool forward_from_callback = false;
    int forwarded = 0;
    int state_callbacks = 0;
};
seen_t seen;

size_t presented_count() {
    return seen.presented.size();
}

VOID keep_read(WDFQUEUE, WDFREQUEST request, size_t) {
    note([&] {
        seen.presented.push_back(request);
        seen.threads.push_back(std::this_thread::get_id());
        seen.irqls.push_back(scheduler::get().current_locked().irql);
        seen.max_active = std::max(seen.max_active, ++seen.active);
    });
    note([&] { --seen.active; });
}

VOID keep_default(WDFQUEUE, WDFREQUEST request) {
    note([&] { seen.presented.push_back(request); });
}

VOID forward_read(WDFQUEUE, WDFREQUEST request, size_t) {
    NTSTATUS st = WdfRequestForwardToIoQueue(request, seen.manual);
    if (!NT_SUCCESS(st))
        WdfRequestComplete(request, st);
    note([&] {
        seen.forward_from_callback = true;
        if (NT_SUCCESS(st))
            ++seen.forwarded;
    });
}

VOID canceled_on_queue(WDFQUEUE, WDFREQUEST request) {
    note([&] { seen.canceled_on_queue.push_back(request); });
    WdfRequestComplete(request, STATUS_CANCELLED);
}

VOID state_done(WDFQUEUE, WDFCONTEXT) {
    note([&] { ++seen.state_callbacks; });
}

class queue_test : public io_fixture {
  protected:
    void SetUp() override {
        seen = {};
        attach();
    }
    WDFQUEUE default_queue(WDF_IO_QUEUE_DISPATCH_TYPE type, PFN_WDF_IO_QUEUE_IO_READ read,
                           bool zero = false) {
        WDF_IO_QUEUE_CONFIG cfg;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&cfg, type);
        cfg.EvtIoRead = read;
        cfg.PowerManaged = WdfFalse;
        cfg.AllowZeroLengthRequests = zero ? TRUE : FALSE;
        WDFQUEUE q = nullptr;
        EXPECT_EQ(WdfIoQueueCreate(handle(), &cfg, WDF_NO_OBJECT_ATTRIBUTES, &q), STATUS_SUCCESS);
        return q;
    }
    WDFQUEUE manual_queue(PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE canceled = nullptr) {
        WDF_IO_QUEUE_CONFIG cfg;
        WDF_IO_QUEUE_CONFIG_INIT(&cfg, WdfIoQueueDispatchManual);
        cfg.PowerManaged = WdfFalse;
        cfg.EvtIoCanceledOnQueue = canceled;
        WDFQUEUE q = nullptr;
        EXPECT_EQ(WdfIoQueueCreate(handle(), &cfg, WDF_NO_OBJECT_ATTRIBUTES, &q), STATUS_SUCCESS);
        return q;
    }
    WDFREQUEST presented(size_t i) {
        std::lock_guard g(scheduler::get().lock());
        return seen.presented.at(i);
    }
};

TEST_F(queue_test, create_validates_configuration) {
    WDF_IO_QUEUE_CONFIG cfg;
    WDFQUEUE q = nullptr;
    WDF_IO_QUEUE_CONFIG_INIT(&cfg, WdfIoQueueDispatchSequential);
    cfg.Size = sizeof(cfg) - 4;
    EXPECT_EQ(WdfIoQueueCreate(handle(), &cfg, nullptr, &q), STATUS_INFO_LENGTH_MISMATCH);

    WDF_IO_QUEUE_CONFIG_INIT(&cfg, WdfIoQueueDispatchSequential);
    EXPECT_EQ(WdfIoQueueCreate(handle(), &cfg, nullptr, &q), STATUS_WDF_NO_CALLBACK);

    WDF_IO_QUEUE_CONFIG_INIT(&cfg, WdfIoQueueDispatchManual);
    cfg.EvtIoRead = keep_read;
    EXPECT_EQ(WdfIoQueueCreate(handle(), &cfg, nullptr, &q), STATUS_INVALID_PARAMETER);

    WDF_IO_QUEUE_CONFIG_INIT(&cfg, WdfIoQueueDispatchInvalid);
    cfg.EvtIoRead = keep_read;
    EXPECT_EQ(WdfIoQueueCreate(handle(), &cfg, nullptr, &q), STATUS_INVALID_PARAMETER);

    WDF_IO_QUEUE_CONFIG_INIT(&cfg, WdfIoQueueDispatchManual);
    EXPECT_EQ(WdfIoQueueCreate(handle(), &cfg, nullptr, nullptr), STATUS_INVALID_PARAMETER_4);

    // One default queue per device; the device answers with it.
    WDFQUEUE first = default_queue(WdfIoQueueDispatchSequential, keep_read);
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&cfg, WdfIoQueueDispatchParallel);
    cfg.EvtIoRead = keep_read;
    EXPECT_EQ(WdfIoQueueCreate(handle(), &cfg, nullptr, &q), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(platform::wdf::io_default_queue(device), first);
    EXPECT_EQ(WdfIoQueueGetDevice(first), handle());
}

TEST_F(queue_test, creation_can_be_made_to_fail) {
    platform::faults::fail_nth("WdfIoQueueCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    WDF_IO_QUEUE_CONFIG cfg;
    WDF_IO_QUEUE_CONFIG_INIT(&cfg, WdfIoQueueDispatchManual);
    WDFQUEUE q = nullptr;
    EXPECT_EQ(WdfIoQueueCreate(handle(), &cfg, nullptr, &q), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(q, nullptr);
    EXPECT_EQ(WdfIoQueueCreate(handle(), &cfg, nullptr, &q), STATUS_SUCCESS);
}

TEST_F(queue_test, sequential_presents_one_at_a_time_on_its_own_thread) {
    default_queue(WdfIoQueueDispatchSequential, keep_read);
    auto a = send(IRP_MJ_READ, 0, 8);
    auto b = send(IRP_MJ_READ, 0, 8);
    ASSERT_TRUE(wait_until([] { return presented_count() == 1; }));
    // The driver keeps the first request: the second waits, however long.
    EXPECT_FALSE(wait_until([] { return presented_count() == 2; }, 1000));
    ULONG queued = 0, owned = 0;
    WDF_IO_QUEUE_STATE st =
        WdfIoQueueGetState(platform::wdf::io_default_queue(device), &queued, &owned);
    EXPECT_EQ(queued, 1u);
    EXPECT_EQ(owned, 1u);
    EXPECT_EQ(st & (WdfIoQueueNoRequests | WdfIoQueueDriverNoRequests), 0);

    WdfRequestCompleteWithInformation(presented(0), STATUS_SUCCESS, 8);
    ASSERT_TRUE(a->wait());
    EXPECT_EQ(a->status, STATUS_SUCCESS);
    EXPECT_EQ(a->information, 8u);
    ASSERT_TRUE(wait_until([] { return presented_count() == 2; }));
    WdfRequestComplete(presented(1), STATUS_SUCCESS);
    ASSERT_TRUE(b->wait());

    std::lock_guard g(scheduler::get().lock());
    EXPECT_EQ(seen.max_active, 1);
    for (int irql : seen.irqls)
        EXPECT_EQ(irql, PASSIVE_LEVEL);
    // Never on the stack of the thread that sent or completed the request.
    for (auto id : seen.threads)
        EXPECT_NE(id, std::this_thread::get_id());
}

TEST_F(queue_test, parallel_presents_without_waiting_for_completion) {
    default_queue(WdfIoQueueDispatchParallel, keep_read);
    auto a = send(IRP_MJ_READ, 0, 8);
    auto b = send(IRP_MJ_READ, 0, 8);
    ASSERT_TRUE(wait_until([] { return presented_count() == 2; }));
    WdfRequestComplete(presented(1), STATUS_SUCCESS);
    WdfRequestComplete(presented(0), STATUS_SUCCESS);
    EXPECT_TRUE(a->wait());
    EXPECT_TRUE(b->wait());
}

TEST_F(queue_test, manual_queue_retrieve_and_forward) {
    seen.manual = manual_queue();
    default_queue(WdfIoQueueDispatchSequential, forward_read);
    WDFREQUEST r = nullptr;
    EXPECT_EQ(WdfIoQueueRetrieveNextRequest(seen.manual, &r), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(r, nullptr);

    // Forwarding frees the sequential queue at once: both reads reach the manual queue.
    auto a = send(IRP_MJ_READ, 0, 4);
    auto b = send(IRP_MJ_READ, 0, 4);
    ASSERT_TRUE(wait_until([] { return seen.forwarded == 2; }));
    ULONG queued = 0;
    WdfIoQueueGetState(seen.manual, &queued, nullptr);
    EXPECT_EQ(queued, 2u);
    WDFREQUEST first = nullptr, second = nullptr;
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(seen.manual, &first), STATUS_SUCCESS);
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(seen.manual, &second), STATUS_SUCCESS);
    EXPECT_EQ(WdfRequestGetIoQueue(first), seen.manual);
    EXPECT_EQ(WdfRequestWdmGetIrp(first), a->irp.get());  // arrival order
    EXPECT_EQ(WdfRequestWdmGetIrp(second), b->irp.get());
    EXPECT_EQ(WdfIoQueueRetrieveNextRequest(seen.manual, &r), STATUS_NO_MORE_ENTRIES);
    WdfRequestComplete(first, STATUS_SUCCESS);
    WdfRequestComplete(second, STATUS_SUCCESS);
    EXPECT_TRUE(a->wait());
    EXPECT_TRUE(b->wait());
}

TEST_F(queue_test, forward_to_a_purged_queue_fails_and_keeps_the_request) {
    seen.manual = manual_queue();
    WdfIoQueuePurgeSynchronously(seen.manual);
    default_queue(WdfIoQueueDispatchSequential, forward_read);
    auto a = send(IRP_MJ_READ, 0, 4);
    ASSERT_TRUE(a->wait());
    EXPECT_EQ(a->status, STATUS_WDF_BUSY);  // the callback completed it with the forward's status
}

TEST_F(queue_test, purge_cancels_queued_and_refuses_new_until_started) {
    WDFQUEUE q = default_queue(WdfIoQueueDispatchSequential, keep_read);
    auto a = send(IRP_MJ_READ, 0, 4);
    auto b = send(IRP_MJ_READ, 0, 4);
    ASSERT_TRUE(wait_until([] { return presented_count() == 1; }));

    // The synchronous purge returns only once the driver's own request is completed.
    auto completer = scheduler::get().start_thread("completer", [&] {
        wait_until([&] { return b->done; });
        WdfRequestComplete(presented(0), STATUS_SUCCESS);
    });
    WdfIoQueuePurgeSynchronously(q);
    EXPECT_TRUE(a->completed());
    completer->join();
    EXPECT_EQ(b->status, STATUS_CANCELLED);
    EXPECT_EQ(a->status, STATUS_SUCCESS);

    WDF_IO_QUEUE_STATE st = WdfIoQueueGetState(q, nullptr, nullptr);
    EXPECT_TRUE(WDF_IO_QUEUE_PURGED(st));
    EXPECT_EQ(st, WdfIoQueueDispatchRequests | WdfIoQueueNoRequests | WdfIoQueueDriverNoRequests);
    auto c = send(IRP_MJ_READ, 0, 4);
    ASSERT_TRUE(c->completed());
    EXPECT_EQ(c->status, STATUS_INVALID_DEVICE_STATE);

    WdfIoQueueStart(q);
    auto d = send(IRP_MJ_READ, 0, 4);
    ASSERT_TRUE(wait_until([] { return presented_count() == 2; }));
    WdfRequestComplete(presented(1), STATUS_SUCCESS);
    EXPECT_TRUE(d->wait());
}

TEST_F(queue_test, stop_and_purge_keeps_new_requests_until_started) {
    WDFQUEUE q = default_queue(WdfIoQueueDispatchSequential, keep_read);
    auto a = send(IRP_MJ_READ, 0, 4);
    ASSERT_TRUE(wait_until([] { return presented_count() == 1; }));
    auto b = send(IRP_MJ_READ, 0, 4);
    auto completer = scheduler::get().start_thread("completer", [&] {
        wait_until([&] { return b->done; });
        WdfRequestComplete(presented(0), STATUS_SUCCESS);
    });
    WdfIoQueueStopAndPurgeSynchronously(q);
    completer->join();
    EXPECT_EQ(b->status, STATUS_CANCELLED);

    WDF_IO_QUEUE_STATE st = WdfIoQueueGetState(q, nullptr, nullptr);
    EXPECT_TRUE(WDF_IO_QUEUE_STOPPED(st));
    EXPECT_EQ(st, WdfIoQueueAcceptRequests | WdfIoQueueNoRequests | WdfIoQueueDriverNoRequests);
    auto c = send(IRP_MJ_READ, 0, 4);
    EXPECT_FALSE(wait_until([] { return presented_count() == 2; }, 1000));
    EXPECT_FALSE(c->completed());
    ULONG queued = 0;
    WdfIoQueueGetState(q, &queued, nullptr);
    EXPECT_EQ(queued, 1u);

    WdfIoQueueStart(q);
    ASSERT_TRUE(wait_until([] { return presented_count() == 2; }));
    EXPECT_EQ(WdfIoQueueGetState(q, nullptr, nullptr) &
                  (WdfIoQueueAcceptRequests | WdfIoQueueDispatchRequests),
              WdfIoQueueAcceptRequests | WdfIoQueueDispatchRequests);
    WdfRequestComplete(presented(1), STATUS_SUCCESS);
    EXPECT_TRUE(c->wait());
    EXPECT_EQ(c->status, STATUS_SUCCESS);
}

TEST_F(queue_test, stop_and_drain_and_their_callbacks) {
    WDFQUEUE q = default_queue(WdfIoQueueDispatchSequential, keep_read);
    auto a = send(IRP_MJ_READ, 0, 4);
    ASSERT_TRUE(wait_until([] { return presented_count() == 1; }));
    WdfIoQueueStop(q, state_done, nullptr);
    EXPECT_FALSE(wait_until([] { return seen.state_callbacks == 1; }, 500));
    auto b = send(IRP_MJ_READ, 0, 4);  // accepted, not presented
    WdfRequestComplete(presented(0), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return seen.state_callbacks == 1; }));
    EXPECT_FALSE(b->completed());

    // Drain: refuses new requests, presents what is queued, reports when all are done.
    WdfIoQueueStart(q);
    ASSERT_TRUE(wait_until([] { return presented_count() == 2; }));
    WdfIoQueueDrain(q, state_done, nullptr);
    auto c = send(IRP_MJ_READ, 0, 4);
    EXPECT_TRUE(c->completed());
    EXPECT_EQ(c->status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(seen.state_callbacks, 1);
    WdfRequestComplete(presented(1), STATUS_SUCCESS);
    ASSERT_TRUE(wait_until([] { return seen.state_callbacks == 2; }));
    EXPECT_TRUE(WDF_IO_QUEUE_DRAINED(WdfIoQueueGetState(q, nullptr, nullptr)));
}

TEST_F(queue_test, canceled_on_queue_only_for_requests_the_driver_had) {
    seen.manual = manual_queue(canceled_on_queue);
    default_queue(WdfIoQueueDispatchSequential, forward_read);
    // Presented, then forwarded: a cancel hands it to EvtIoCanceledOnQueue.
    auto a = send(IRP_MJ_READ, 0, 4);
    ASSERT_TRUE(wait_until([] { return seen.forward_from_callback; }));
    platform::io::cancel_irp(a->irp.get());
    ASSERT_TRUE(a->wait());
    EXPECT_EQ(a->status, STATUS_CANCELLED);
    EXPECT_EQ(seen.canceled_on_queue.size(), 1u);
}

TEST_F(queue_test, cancel_while_waiting_completes_cancelled) {
    default_queue(WdfIoQueueDispatchSequential, keep_read);
    auto a = send(IRP_MJ_READ, 0, 4);
    auto b = send(IRP_MJ_READ, 0, 4);
    ASSERT_TRUE(wait_until([] { return presented_count() == 1; }));
    EXPECT_TRUE(platform::io::cancel_irp(b->irp.get()));
    ASSERT_TRUE(b->wait());
    EXPECT_EQ(b->status, STATUS_CANCELLED);
    // A request already cancelled never enters the queue.
    auto c = make(IRP_MJ_READ, 0, 4);
    platform::io::cancel_irp(c->irp.get());
    send(c);
    EXPECT_TRUE(c->completed());
    EXPECT_EQ(c->status, STATUS_CANCELLED);
    WdfRequestComplete(presented(0), STATUS_SUCCESS);
    EXPECT_TRUE(a->wait());
    EXPECT_FALSE(wait_until([] { return presented_count() == 2; }, 500));
}

TEST_F(queue_test, zero_length_transfers_follow_the_queue_setting) {
    default_queue(WdfIoQueueDispatchSequential, keep_read);
    auto a = send(IRP_MJ_READ, 0, 0);
    ASSERT_TRUE(a->wait());
    EXPECT_EQ(a->status, STATUS_SUCCESS);
    EXPECT_EQ(a->information, 0u);
    EXPECT_EQ(presented_count(), 0u);
}

TEST_F(queue_test, zero_length_presented_when_allowed) {
    default_queue(WdfIoQueueDispatchSequential, keep_read, true);
    auto a = send(IRP_MJ_READ, 0, 0);
    ASSERT_TRUE(wait_until([] { return presented_count() == 1; }));
    WdfRequestComplete(presented(0), STATUS_SUCCESS);
    EXPECT_TRUE(a->wait());
}

TEST_F(queue_test, zero_length_from_a_manual_queue) {
    seen.manual = manual_queue();
    default_queue(WdfIoQueueDispatchSequential, forward_read, true);
    auto a = send(IRP_MJ_READ, 0, 0);
    ASSERT_TRUE(wait_until([] { return seen.forward_from_callback; }));
    WDFREQUEST r = nullptr;
    EXPECT_EQ(WdfIoQueueRetrieveNextRequest(seen.manual, &r), STATUS_NO_MORE_ENTRIES);
    ASSERT_TRUE(a->completed());
    EXPECT_EQ(a->status, STATUS_SUCCESS);
}

TEST_F(queue_test, routing_without_queue_or_callback) {
    auto a = send(IRP_MJ_READ, 0, 4);
    ASSERT_TRUE(a->completed());
    EXPECT_EQ(a->status, STATUS_INVALID_DEVICE_REQUEST);

    default_queue(WdfIoQueueDispatchSequential, keep_read);
    auto b = send(IRP_MJ_DEVICE_CONTROL, 4, 4, nullptr, CTL_CODE(0x22, 1, METHOD_BUFFERED, 0));
    ASSERT_TRUE(b->wait());
    EXPECT_EQ(b->status, STATUS_INVALID_DEVICE_REQUEST);

    // Device controls configured to go to another queue go there.
    WDF_IO_QUEUE_CONFIG cfg;
    WDF_IO_QUEUE_CONFIG_INIT(&cfg, WdfIoQueueDispatchSequential);
    cfg.EvtIoDefault = keep_default;
    WDFQUEUE other = nullptr;
    ASSERT_EQ(WdfIoQueueCreate(handle(), &cfg, nullptr, &other), STATUS_SUCCESS);
    EXPECT_EQ(WdfDeviceConfigureRequestDispatching(
                  handle(), platform::wdf::io_default_queue(device), WdfRequestTypeDeviceControl),
              STATUS_INVALID_DEVICE_REQUEST);
    ASSERT_EQ(WdfDeviceConfigureRequestDispatching(handle(), other, WdfRequestTypeDeviceControl),
              STATUS_SUCCESS);
    auto c = send(IRP_MJ_DEVICE_CONTROL, 4, 4, nullptr, CTL_CODE(0x22, 1, METHOD_BUFFERED, 0));
    ASSERT_TRUE(wait_until([] { return presented_count() == 1; }));
    EXPECT_EQ(WdfRequestGetIoQueue(presented(0)), other);
    WdfRequestComplete(presented(0), STATUS_SUCCESS);
    EXPECT_TRUE(c->wait());
}

TEST_F(queue_test, requests_still_queued_at_deletion_are_cancelled) {
    seen.manual = manual_queue();
    default_queue(WdfIoQueueDispatchSequential, forward_read);
    auto a = send(IRP_MJ_READ, 0, 4);
    ASSERT_TRUE(wait_until([] { return seen.forward_from_callback; }));
    WdfObjectDelete(seen.manual);
    ASSERT_TRUE(a->completed());
    EXPECT_EQ(a->status, STATUS_CANCELLED);
}

// ---- Verifier ------------------------------------------------------------------------------

using queue_death_test = queue_test;

TEST_F(queue_death_test, deleting_a_queue_with_a_request_the_driver_kept) {
    EXPECT_DEATH(
        {
            seen.manual = manual_queue();
            default_queue(WdfIoQueueDispatchSequential, forward_read);
            auto a = send(IRP_MJ_READ, 0, 4);
            wait_until([] { return seen.forward_from_callback; });
            WDFREQUEST r = nullptr;
            WdfIoQueueRetrieveNextRequest(seen.manual, &r);
            WdfObjectDelete(seen.manual);
        },
        "0x0000010D.*never completed");
}

TEST_F(queue_death_test, default_queue_cannot_be_deleted_by_the_driver) {
    EXPECT_DEATH(WdfObjectDelete(default_queue(WdfIoQueueDispatchSequential, keep_read)),
                 "0x0000010D");
}

TEST_F(queue_death_test, stale_queue_handle) {
    EXPECT_DEATH(
        {
            WDFQUEUE q = manual_queue();
            WdfObjectDelete(q);
            WdfIoQueueStart(q);
        },
        "0x0000010D");
}

}  // namespace
