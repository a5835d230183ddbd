// Power-managed queues around D0 exit and entry, and every queue at removal.
#include <gtest/gtest.h>

#include <wdf.h>

#include <thread>
#include <vector>

#include "wdf/queue.h"
#include "wdf_io_harness.h"

using namespace wdf_io_test;

namespace {

struct seen_t {
    std::vector<WDFREQUEST> presented;
    std::vector<std::thread::id> stop_threads;
    std::vector<std::thread::id> resume_threads;
    std::vector<ULONG> stop_flags;
    std::vector<WDFREQUEST> resumed;
    bool ack_in_stop = true;
    bool requeue = false;
    int cancels = 0;
};
seen_t seen;

VOID keep(WDFQUEUE, WDFREQUEST request, size_t) {
    note([&] { seen.presented.push_back(request); });
}

VOID on_stop(WDFQUEUE, WDFREQUEST request, ULONG flags) {
    note([&] {
        seen.stop_flags.push_back(flags);
        seen.stop_threads.push_back(std::this_thread::get_id());
    });
    if (seen.ack_in_stop)
        WdfRequestStopAcknowledge(request, seen.requeue ? TRUE : FALSE);
}

VOID on_resume(WDFQUEUE, WDFREQUEST request) {
    note([&] {
        seen.resumed.push_back(request);
        seen.resume_threads.push_back(std::this_thread::get_id());
    });
}

// A cancel routine that hands the request to a later completion instead of completing it.
WDFREQUEST handed_off = nullptr;
VOID on_cancel_hand_off(WDFREQUEST request) {
    note([&] {
        ++seen.cancels;
        handed_off = request;
    });
}

VOID on_cancel(WDFREQUEST request) {
    note([&] { ++seen.cancels; });
    WdfRequestComplete(request, STATUS_CANCELLED);
}

class power_test : public io_fixture {
  protected:
    void SetUp() override {
        seen = {};
        attach();
    }
    WDFQUEUE create(WDF_TRI_STATE power_managed) {
        WDF_IO_QUEUE_CONFIG cfg;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&cfg, WdfIoQueueDispatchParallel);
        cfg.EvtIoRead = keep;
        cfg.EvtIoStop = on_stop;
        cfg.EvtIoResume = on_resume;
        cfg.PowerManaged = power_managed;
        WDFQUEUE q = nullptr;
        EXPECT_EQ(WdfIoQueueCreate(handle(), &cfg, nullptr, &q), STATUS_SUCCESS);
        return q;
    }
    WDFREQUEST presented(size_t i) {
        std::lock_guard g(scheduler::get().lock());
        return seen.presented.at(i);
    }
};

TEST_F(power_test, power_managed_queue_suspends_and_resumes) {
    WDFQUEUE q = create(WdfUseDefault);
    auto a = send(IRP_MJ_READ, 0, 4);
    ASSERT_TRUE(wait_until([] { return seen.presented.size() == 1; }));

    platform::wdf::io_power_down(device);
    ASSERT_EQ(seen.stop_flags.size(), 1u);
    EXPECT_EQ(seen.stop_flags[0], static_cast<ULONG>(WdfRequestStopActionSuspend));
    EXPECT_NE(WdfIoQueueGetState(q, nullptr, nullptr) & WdfIoQueuePnpHeld, 0);

    // While powered down, new requests wait.
    auto b = send(IRP_MJ_READ, 0, 4);
    EXPECT_FALSE(wait_until([] { return seen.presented.size() == 2; }, 1000));

    platform::wdf::io_power_up(device);
    ASSERT_EQ(seen.resumed.size(), 1u);
    EXPECT_EQ(seen.resumed[0], presented(0));
    ASSERT_TRUE(wait_until([] { return seen.presented.size() == 2; }));
    EXPECT_EQ(WdfIoQueueGetState(q, nullptr, nullptr) & WdfIoQueuePnpHeld, 0);
    WdfRequestComplete(presented(0), STATUS_SUCCESS);
    WdfRequestComplete(presented(1), STATUS_SUCCESS);
    EXPECT_TRUE(a->wait());
    EXPECT_TRUE(b->wait());
}

TEST_F(power_test, stop_acknowledged_with_requeue_is_presented_again) {
    create(WdfTrue);
    seen.requeue = true;
    auto a = send(IRP_MJ_READ, 0, 4);
    ASSERT_TRUE(wait_until([] { return seen.presented.size() == 1; }));
    platform::wdf::io_power_down(device);
    seen.requeue = false;
    platform::wdf::io_power_up(device);
    EXPECT_TRUE(seen.resumed.empty());
    ASSERT_TRUE(wait_until([] { return seen.presented.size() == 2; }));
    EXPECT_EQ(presented(0), presented(1));
    WdfRequestComplete(presented(1), STATUS_SUCCESS);
    EXPECT_TRUE(a->wait());
}

TEST_F(power_test, power_down_waits_for_the_acknowledgement) {
    create(WdfTrue);
    seen.ack_in_stop = false;
    auto a = send(IRP_MJ_READ, 0, 4);
    ASSERT_TRUE(wait_until([] { return seen.presented.size() == 1; }));
    auto acker = scheduler::get().start_thread("acker", [&] {
        wait_until([] { return seen.stop_flags.size() == 1; });
        WdfRequestComplete(presented(0), STATUS_SUCCESS);  // completing also answers the stop
    });
    platform::wdf::io_power_down(device);
    acker->join();
    EXPECT_TRUE(a->completed());
}

TEST_F(power_test, queue_not_power_managed_ignores_power_but_not_removal) {
    WDFQUEUE q = create(WdfFalse);
    auto a = send(IRP_MJ_READ, 0, 4);
    auto b = send(IRP_MJ_READ, 0, 4);
    ASSERT_TRUE(wait_until([] { return seen.presented.size() == 2; }));
    platform::wdf::io_power_down(device);
    EXPECT_TRUE(seen.stop_flags.empty());
    platform::wdf::io_power_up(device);

    WdfRequestMarkCancelable(presented(1), on_cancel);
    seen.ack_in_stop = false;
    auto completer = scheduler::get().start_thread("completer", [&] {
        wait_until([] { return seen.stop_flags.size() == 1; });
        WdfRequestComplete(presented(0), STATUS_SUCCESS);
    });
    platform::wdf::io_remove(device);
    completer->join();
    // The cancelable request was cancelled; the other was told to stop for a purge.
    EXPECT_EQ(seen.cancels, 1);
    ASSERT_EQ(seen.stop_flags.size(), 1u);
    EXPECT_EQ(seen.stop_flags[0], static_cast<ULONG>(WdfRequestStopActionPurge));
    EXPECT_EQ(b->status, STATUS_CANCELLED);
    // Removed for good: starting the queue again accepts nothing.
    WdfIoQueueStart(q);
    auto c = send(IRP_MJ_READ, 0, 4);
    ASSERT_TRUE(c->completed());
    EXPECT_EQ(c->status, STATUS_INVALID_DEVICE_STATE);
}

TEST_F(power_test, stop_flags_mark_cancelable_requests) {
    create(WdfTrue);
    auto a = send(IRP_MJ_READ, 0, 4);
    ASSERT_TRUE(wait_until([] { return seen.presented.size() == 1; }));
    WdfRequestMarkCancelable(presented(0), on_cancel);
    platform::wdf::io_power_down(device);
    ASSERT_EQ(seen.stop_flags.size(), 1u);
    EXPECT_EQ(seen.stop_flags[0],
              static_cast<ULONG>(WdfRequestStopActionSuspend | WdfRequestStopRequestCancelable));
    platform::wdf::io_power_up(device);
    platform::io::cancel_irp(a->irp.get());
    EXPECT_TRUE(a->wait());
    EXPECT_EQ(a->status, STATUS_CANCELLED);
}

TEST_F(power_test, stop_and_resume_run_on_the_thread_that_changes_power) {
    create(WdfTrue);
    auto a = send(IRP_MJ_READ, 0, 4);
    ASSERT_EQ(seen.presented.size(), 1u);
    platform::wdf::io_power_down(device);
    platform::wdf::io_power_up(device);
    ASSERT_EQ(seen.stop_threads.size(), 1u);
    ASSERT_EQ(seen.resume_threads.size(), 1u);
    EXPECT_EQ(seen.stop_threads[0], std::this_thread::get_id());
    EXPECT_EQ(seen.resume_threads[0], std::this_thread::get_id());
    WdfRequestComplete(presented(0), STATUS_SUCCESS);
    EXPECT_TRUE(a->completed());
}

TEST_F(power_test, removal_purge_waits_for_cancelled_requests_the_driver_still_owns) {
    create(WdfFalse);
    auto a = send(IRP_MJ_READ, 0, 4);
    ASSERT_TRUE(wait_until([] { return seen.presented.size() == 1; }));
    WdfRequestMarkCancelable(presented(0), on_cancel_hand_off);
    // The cancel routine keeps the request; the driver completes it a little later.
    auto completer = scheduler::get().start_thread("completer", [&] {
        wait_until([] { return handed_off != nullptr; });
        LARGE_INTEGER delay;
        delay.QuadPart = -100 * 10'000;  // 100 ms, relative
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        WdfRequestComplete(handed_off, STATUS_CANCELLED);
    });
    platform::wdf::io_remove(device);
    EXPECT_EQ(seen.cancels, 1);
    EXPECT_TRUE(a->completed());
    completer->join();
    handed_off = nullptr;
}

TEST_F(power_test, after_surprise_removal_only_power_managed_queues_are_purged) {
    WDFQUEUE managed = create(WdfTrue);
    WDF_IO_QUEUE_CONFIG cfg;
    WDF_IO_QUEUE_CONFIG_INIT(&cfg, WdfIoQueueDispatchSequential);
    cfg.EvtIoWrite = [](WDFQUEUE, WDFREQUEST request, size_t) {
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    cfg.PowerManaged = WdfFalse;
    WDFQUEUE plain = nullptr;
    ASSERT_EQ(WdfIoQueueCreate(handle(), &cfg, nullptr, &plain), STATUS_SUCCESS);
    ASSERT_EQ(WdfDeviceConfigureRequestDispatching(handle(), plain, WdfRequestTypeWrite),
              STATUS_SUCCESS);
    auto a = send(IRP_MJ_READ, 0, 4);
    ASSERT_EQ(seen.presented.size(), 1u);
    seen.ack_in_stop = false;
    auto completer = scheduler::get().start_thread("completer", [&] {
        wait_until([] { return seen.stop_flags.size() == 1; });
        WdfRequestComplete(presented(0), STATUS_SUCCESS);
    });
    for (WDFQUEUE q : {managed, plain})
        platform::wdf::queue_from(q, "test")->purge_for_surprise_removal();
    completer->join();
    EXPECT_EQ(seen.stop_flags.at(0), static_cast<ULONG>(WdfRequestStopActionPurge));
    EXPECT_TRUE(a->completed());
    auto refused = make(IRP_MJ_READ, 0, 4);
    EXPECT_EQ(send_status(refused), STATUS_INVALID_DEVICE_STATE);

    // The queue that is not power-managed still takes and presents writes ...
    auto w = send(IRP_MJ_WRITE, 4, 0);
    ASSERT_TRUE(w->completed());
    EXPECT_EQ(w->status, STATUS_SUCCESS);
    // ... until the final remove purges it too.
    for (WDFQUEUE q : {managed, plain})
        platform::wdf::queue_from(q, "test")->purge_for_remove();
    auto late = make(IRP_MJ_WRITE, 4, 0);
    EXPECT_EQ(send_status(late), STATUS_INVALID_DEVICE_STATE);
}

using power_death_test = power_test;

TEST_F(power_death_test, stop_acknowledge_outside_a_stop) {
    EXPECT_DEATH(
        {
            create(WdfTrue);
            auto a = send(IRP_MJ_READ, 0, 4);
            wait_until([] { return seen.presented.size() == 1; });
            WdfRequestStopAcknowledge(presented(0), FALSE);
        },
        "0x0000010D.*not being stopped");
}

}  // namespace
