// An asynchronous purge of a manual queue holding requests waiting and one the driver took
// (FxIoQueue::QueuePurge): the call returns at once, waiting requests complete cancelled, the
// driver's cancelable one has its cancel routine run, and the purge-complete callback comes
// only once the driver has completed what it owns. Until started again the queue refuses new
// requests.
#include <gtest/gtest.h>

#include <wdf.h>

#include "wdf_io_harness.h"

using namespace wdf_io_test;

namespace {

struct seen_t {
    WDFQUEUE manual = nullptr;
    int purge_done = 0;
    WDFCONTEXT purge_context = nullptr;
    int cancel_routine = 0;
    WDFREQUEST cancelled = nullptr;
};
seen_t seen;

VOID purge_done(WDFQUEUE, WDFCONTEXT context) {
    note([&] {
        ++seen.purge_done;
        seen.purge_context = context;
    });
}

// The driver keeps the request; the cancel routine records it and leaves the completion to
// the test, as a driver that finishes its cancelled requests elsewhere does.
VOID held_cancel(WDFREQUEST request) {
    note([&] {
        ++seen.cancel_routine;
        seen.cancelled = request;
    });
}

VOID read_forward(WDFQUEUE, WDFREQUEST request, size_t) {
    NTSTATUS st = WdfRequestForwardToIoQueue(request, seen.manual);
    if (!NT_SUCCESS(st))
        WdfRequestComplete(request, st);
}

class manual_queue_test : public io_fixture {
  protected:
    void SetUp() override {
        seen = {};
        attach();
        WDF_IO_QUEUE_CONFIG qc;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&qc, WdfIoQueueDispatchSequential);
        qc.EvtIoRead = read_forward;
        ASSERT_EQ(WdfIoQueueCreate(handle(), &qc, nullptr, nullptr), STATUS_SUCCESS);
        WDF_IO_QUEUE_CONFIG_INIT(&qc, WdfIoQueueDispatchManual);
        ASSERT_EQ(WdfIoQueueCreate(handle(), &qc, nullptr, &seen.manual), STATUS_SUCCESS);
    }
};

TEST_F(manual_queue_test, asynchronous_purge_reports_once_the_driver_finished_its_request) {
    // The sequential queue is free again after each forward: all three reach the manual queue.
    auto held = send(IRP_MJ_READ, 0, 4);
    auto waiting1 = send(IRP_MJ_READ, 0, 4);
    auto waiting2 = send(IRP_MJ_READ, 0, 4);
    ULONG queued = 0;
    WdfIoQueueGetState(seen.manual, &queued, nullptr);
    EXPECT_EQ(queued, 3u);
    WDFREQUEST mine = nullptr;
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(seen.manual, &mine), STATUS_SUCCESS);
    WdfRequestMarkCancelable(mine, held_cancel);

    int context_marker = 0;
    WdfIoQueuePurge(seen.manual, purge_done, &context_marker);
    // Returned at once: the waiting ones are cancelled, the driver's cancel routine ran, the
    // purge is not complete while the driver owns the request.
    ASSERT_TRUE(waiting1->completed());
    ASSERT_TRUE(waiting2->completed());
    EXPECT_EQ(waiting1->status, STATUS_CANCELLED);
    EXPECT_EQ(waiting2->status, STATUS_CANCELLED);
    ASSERT_TRUE(wait_until([] { return seen.cancel_routine == 1; }));
    EXPECT_EQ(seen.cancelled, mine);
    EXPECT_FALSE(wait_until([] { return seen.purge_done != 0; }, 500));
    EXPECT_FALSE(held->completed());

    // New requests are refused while purged, whether sent or forwarded.
    auto late = send(IRP_MJ_READ, 0, 4);
    ASSERT_TRUE(late->completed());
    EXPECT_EQ(late->status, STATUS_DEVICE_BUSY);  // STATUS_WDF_BUSY from the forward, mapped
    WDFREQUEST none = mine;
    EXPECT_EQ(WdfIoQueueRetrieveNextRequest(seen.manual, &none), STATUS_NO_MORE_ENTRIES);

    WdfRequestComplete(mine, STATUS_CANCELLED);
    ASSERT_TRUE(wait_until([] { return seen.purge_done == 1; }));
    EXPECT_EQ(seen.purge_context, &context_marker);
    EXPECT_EQ(held->status, STATUS_CANCELLED);
    EXPECT_TRUE(WDF_IO_QUEUE_PURGED(WdfIoQueueGetState(seen.manual, nullptr, nullptr)));

    // Started again, it takes requests.
    WdfIoQueueStart(seen.manual);
    auto again = send(IRP_MJ_READ, 0, 4);
    EXPECT_FALSE(again->completed());
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(seen.manual, &mine), STATUS_SUCCESS);
    WdfRequestComplete(mine, STATUS_SUCCESS);
    EXPECT_TRUE(again->completed());
}

TEST_F(manual_queue_test, purge_without_a_callback_cancels_and_refuses_the_same) {
    auto waiting = send(IRP_MJ_READ, 0, 4);
    WdfIoQueuePurge(seen.manual, nullptr, nullptr);
    ASSERT_TRUE(waiting->completed());
    EXPECT_EQ(waiting->status, STATUS_CANCELLED);
    EXPECT_TRUE(WDF_IO_QUEUE_PURGED(WdfIoQueueGetState(seen.manual, nullptr, nullptr)));
    // Forwarding into it fails inside the sequential queue's callback, which completes the
    // request with the forward's status.
    auto late = send(IRP_MJ_READ, 0, 4);
    ASSERT_TRUE(late->completed());
    EXPECT_EQ(late->status, STATUS_DEVICE_BUSY);  // STATUS_WDF_BUSY from the forward, mapped
}

}  // namespace
