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

TEST_F(queue_test, sequential_presents_one_at_a_time) {
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
    // At the IRQL of the thread that sent or completed the request (the where_test cases
    // pin down which thread that is).
    for (int irql : seen.irqls)
        EXPECT_EQ(irql, PASSIVE_LEVEL);
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
    // The callback completed it with the forward's status, which the framework maps.
    EXPECT_EQ(a->status, STATUS_DEVICE_BUSY);
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

// ---- Where callbacks run (FxIoQueue::DispatchEvents and its callers) ------------------------

// What one presentation saw: the thread, its IRQL, and whether the sender's or completer's
// call was still on the stack.
struct where_t {
    std::thread::id thread;
    int irql = 0;
    bool inside_call = false;
};
std::vector<where_t> where_seen;  // guarded by the scheduler lock
bool inside_call = false;         // set by the test around the call it expects to present
int active_now = 0;
int most_active = 0;
bool hold_until_two = false;

VOID record_read(WDFQUEUE, WDFREQUEST request, size_t) {
    note([&] {
        seen.presented.push_back(request);
        where_seen.push_back(
            {std::this_thread::get_id(), scheduler::get().current_locked().irql, inside_call});
        most_active = std::max(most_active, ++active_now);
    });
    if (hold_until_two)
        wait_until([] { return active_now >= 2; }, 1000);
    note([&] { --active_now; });
}

VOID complete_in_callback(WDFQUEUE q, WDFREQUEST request, size_t length) {
    record_read(q, request, length);
    WdfRequestComplete(request, STATUS_SUCCESS);
}

class where_test : public queue_test {
  protected:
    void SetUp() override {
        queue_test::SetUp();
        where_seen.clear();
        inside_call = false;
        active_now = most_active = 0;
        hold_until_two = false;
    }
    WDFQUEUE create(WDF_IO_QUEUE_DISPATCH_TYPE type, PFN_WDF_IO_QUEUE_IO_READ read,
                    bool passive = false, bool is_default = true) {
        WDF_IO_QUEUE_CONFIG cfg;
        if (is_default) {
            WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&cfg, type);
        } else {
            WDF_IO_QUEUE_CONFIG_INIT(&cfg, type);
        }
        cfg.EvtIoRead = read;
        cfg.PowerManaged = WdfFalse;
        WDF_OBJECT_ATTRIBUTES attrs;
        WDF_OBJECT_ATTRIBUTES_INIT(&attrs);
        if (passive)
            attrs.ExecutionLevel = WdfExecutionLevelPassive;
        WDFQUEUE q = nullptr;
        EXPECT_EQ(WdfIoQueueCreate(handle(), &cfg, &attrs, &q), STATUS_SUCCESS);
        return q;
    }
    // Runs `body` on a new platform thread at `irql` and waits for it.
    void on_thread(KIRQL irql, const std::function<void()>& body) {
        auto t = scheduler::get().start_thread("other", [&] {
            KIRQL old = PASSIVE_LEVEL;
            if (irql != PASSIVE_LEVEL)
                KeRaiseIrql(irql, &old);
            body();
            if (irql != PASSIVE_LEVEL)
                KeLowerIrql(old);
        });
        t->join();
    }
    where_t where(size_t i) {
        std::lock_guard g(scheduler::get().lock());
        return where_seen.at(i);
    }
};

TEST_F(where_test, new_request_is_presented_inside_the_senders_call) {
    create(WdfIoQueueDispatchSequential, record_read);
    inside_call = true;
    auto a = send(IRP_MJ_READ, 0, 4);
    inside_call = false;
    ASSERT_EQ(presented_count(), 1u);
    EXPECT_TRUE(where(0).inside_call);
    EXPECT_EQ(where(0).thread, std::this_thread::get_id());
    EXPECT_EQ(where(0).irql, PASSIVE_LEVEL);
    WdfRequestComplete(presented(0), STATUS_SUCCESS);
    EXPECT_TRUE(a->completed());
}

TEST_F(where_test, callbacks_run_at_the_callers_irql_unless_the_queue_is_passive) {
    create(WdfIoQueueDispatchParallel, record_read);
    std::shared_ptr<irp_box> a;
    std::thread::id sender;
    on_thread(DISPATCH_LEVEL, [&] {
        sender = std::this_thread::get_id();
        a = send(IRP_MJ_READ, 0, 4);
    });
    ASSERT_EQ(presented_count(), 1u);
    EXPECT_EQ(where(0).thread, sender);
    EXPECT_EQ(where(0).irql, DISPATCH_LEVEL);
    WdfRequestComplete(presented(0), STATUS_SUCCESS);
    EXPECT_TRUE(a->completed());
}

TEST_F(where_test, passive_queue_defers_a_dispatch_level_sender_to_a_worker) {
    create(WdfIoQueueDispatchSequential, record_read, true);
    std::shared_ptr<irp_box> a;
    std::thread::id sender;
    on_thread(DISPATCH_LEVEL, [&] {
        sender = std::this_thread::get_id();
        a = send(IRP_MJ_READ, 0, 4);
    });
    ASSERT_TRUE(wait_until([] { return presented_count() == 1; }));
    EXPECT_NE(where(0).thread, sender);
    EXPECT_NE(where(0).thread, std::this_thread::get_id());
    EXPECT_EQ(where(0).irql, PASSIVE_LEVEL);
    // A passive sender is served on its own thread, once the worker's loop has ended (time
    // moves only when every other thread is blocked).
    WdfRequestComplete(presented(0), STATUS_SUCCESS);
    wait_until([] { return false; }, 10);
    auto b = send(IRP_MJ_READ, 0, 4);
    ASSERT_EQ(presented_count(), 2u);
    EXPECT_EQ(where(1).thread, std::this_thread::get_id());
    WdfRequestComplete(presented(1), STATUS_SUCCESS);
    EXPECT_TRUE(b->completed());
}

// The worker thread stands for the framework's work item or DPC: it exists once work was
// deferred to it. Queues served on their callers' threads (manual queues, or any queue whose
// senders may present) never start one.
TEST_F(where_test, a_queue_starts_its_worker_only_when_work_is_deferred_to_it) {
    auto& s = scheduler::get();
    const std::size_t before = s.thread_count();
    WDFQUEUE manual = create(WdfIoQueueDispatchManual, nullptr, true, false);
    create(WdfIoQueueDispatchSequential, record_read, true);  // the default queue
    auto direct = send(IRP_MJ_READ, 0, 4);
    ASSERT_EQ(presented_count(), 1u);
    WdfRequestComplete(presented(0), STATUS_SUCCESS);
    EXPECT_TRUE(direct->completed());
    EXPECT_EQ(s.thread_count(), before);

    std::shared_ptr<irp_box> deferred;
    on_thread(DISPATCH_LEVEL, [&] { deferred = send(IRP_MJ_READ, 0, 4); });
    ASSERT_TRUE(wait_until([] { return presented_count() == 2; }));
    EXPECT_EQ(s.thread_count(), before + 1);
    WdfRequestComplete(presented(1), STATUS_SUCCESS);
    EXPECT_TRUE(deferred->completed());

    WdfObjectDelete(manual);
    EXPECT_EQ(s.thread_count(), before + 1);
}

TEST_F(where_test, next_request_is_presented_inside_complete_on_the_completing_thread) {
    create(WdfIoQueueDispatchSequential, record_read);
    auto a = send(IRP_MJ_READ, 0, 4);
    auto b = send(IRP_MJ_READ, 0, 4);
    ASSERT_EQ(presented_count(), 1u);
    std::thread::id completer;
    size_t presented_on_return = 0;
    on_thread(PASSIVE_LEVEL, [&] {
        completer = std::this_thread::get_id();
        inside_call = true;
        WdfRequestComplete(presented(0), STATUS_SUCCESS);
        inside_call = false;
        presented_on_return = presented_count();
    });
    EXPECT_EQ(presented_on_return, 2u);
    EXPECT_EQ(where(1).thread, completer);
    EXPECT_TRUE(where(1).inside_call);
    WdfRequestComplete(presented(1), STATUS_SUCCESS);
    EXPECT_TRUE(b->completed());
}

TEST_F(where_test, completion_inside_the_callback_presents_after_it_returns) {
    WDFQUEUE q = create(WdfIoQueueDispatchSequential, complete_in_callback);
    WdfIoQueueStopSynchronously(q);
    auto a = send(IRP_MJ_READ, 0, 4);
    auto b = send(IRP_MJ_READ, 0, 4);
    auto c = send(IRP_MJ_READ, 0, 4);
    EXPECT_EQ(presented_count(), 0u);
    // The starting thread runs the loop: each callback completes its request, which presents
    // nothing; the loop presents the next one once the callback has returned.
    WdfIoQueueStart(q);
    EXPECT_EQ(presented_count(), 3u);
    EXPECT_EQ(most_active, 1);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(where(i).thread, std::this_thread::get_id());
    EXPECT_TRUE(a->completed() && b->completed() && c->completed());
}

TEST_F(where_test, forwarded_request_is_presented_on_the_forwarding_thread) {
    WDFQUEUE manual = manual_queue();
    WDFQUEUE seq = create(WdfIoQueueDispatchSequential, record_read, false, false);
    // Reads wait in the manual queue; the test retrieves one and forwards it.
    ASSERT_EQ(WdfDeviceConfigureRequestDispatching(handle(), manual, WdfRequestTypeRead),
              STATUS_SUCCESS);
    auto a = send(IRP_MJ_READ, 0, 4);
    WDFREQUEST r = nullptr;
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(manual, &r), STATUS_SUCCESS);
    inside_call = true;
    ASSERT_EQ(WdfRequestForwardToIoQueue(r, seq), STATUS_SUCCESS);
    inside_call = false;
    ASSERT_EQ(presented_count(), 1u);
    EXPECT_TRUE(where(0).inside_call);
    EXPECT_EQ(where(0).thread, std::this_thread::get_id());
    WdfRequestComplete(presented(0), STATUS_SUCCESS);
    EXPECT_TRUE(a->completed());
}

TEST_F(where_test, parallel_queue_presents_on_several_threads_at_once) {
    create(WdfIoQueueDispatchParallel, record_read);
    hold_until_two = true;
    std::shared_ptr<irp_box> a, b;
    auto t1 = scheduler::get().start_thread("sender 1", [&] { a = send(IRP_MJ_READ, 0, 4); });
    auto t2 = scheduler::get().start_thread("sender 2", [&] { b = send(IRP_MJ_READ, 0, 4); });
    t1->join();
    t2->join();
    EXPECT_EQ(most_active, 2);
    ASSERT_EQ(presented_count(), 2u);
    EXPECT_NE(where(0).thread, where(1).thread);
    WdfRequestComplete(presented(0), STATUS_SUCCESS);
    WdfRequestComplete(presented(1), STATUS_SUCCESS);
}

TEST_F(where_test, a_refused_request_fails_inside_the_call_with_its_status) {
    WDFQUEUE q = create(WdfIoQueueDispatchSequential, record_read);
    WdfIoQueuePurgeSynchronously(q);
    auto a = make(IRP_MJ_READ, 0, 4);
    EXPECT_EQ(send_status(a), STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(a->completed());
    EXPECT_EQ(a->status, STATUS_INVALID_DEVICE_STATE);
    WdfIoQueueStart(q);
    auto b = make(IRP_MJ_READ, 0, 4);
    EXPECT_EQ(send_status(b), STATUS_PENDING);
    WdfRequestComplete(presented(0), STATUS_SUCCESS);
}

TEST_F(where_test, framework_statuses_reach_the_irp_mapped) {
    create(WdfIoQueueDispatchParallel, record_read);
    const std::pair<NTSTATUS, NTSTATUS> cases[] = {
        {STATUS_WDF_BUSY, STATUS_DEVICE_BUSY},
        {STATUS_WDF_PAUSED, STATUS_DEVICE_BUSY},
        {STATUS_WDF_INTERNAL_ERROR, STATUS_INTERNAL_ERROR},
        {STATUS_WDF_TOO_FRAGMENTED, STATUS_INVALID_DEVICE_REQUEST},
        {STATUS_WDF_TOO_MANY_TRANSFERS, STATUS_INVALID_DEVICE_REQUEST},
        {STATUS_WDF_NOT_ENOUGH_MAP_REGISTERS, STATUS_INSUFFICIENT_RESOURCES},
        {STATUS_WDF_NO_CALLBACK, STATUS_INVALID_DEVICE_REQUEST},
        {STATUS_CANCELLED, STATUS_CANCELLED},
    };
    size_t i = 0;
    for (auto [given, expected] : cases) {
        auto box = send(IRP_MJ_READ, 0, 4);
        ASSERT_EQ(presented_count(), i + 1);
        WdfRequestComplete(presented(i++), given);
        ASSERT_TRUE(box->completed());
        EXPECT_EQ(box->status, expected) << std::hex << given;
    }
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
