// Cancellation racing an answer, each order forced with pause points, on a driver fragment
// that parks a device control cancelable until an answer comes. The fragment follows the
// documented pattern for WdfRequestUnmarkCancelable: the answer unmarks under a lock that the
// cancel routine also takes, so the routine cannot complete the request while the answer is
// still unmarking it, and the answer completes only when unmarking succeeded.
#include <gtest/gtest.h>
#include <wdf.h>

#include <cstring>

#include "../wdf_io/wdf_io_harness.h"
#include "core/pause_points.h"

using namespace wdf_io_test;
namespace pp = platform::pause_points;

namespace {

constexpr ULONG park_code = CTL_CODE(0x22, 0x910, METHOD_BUFFERED, FILE_ANY_ACCESS);

// The fragment's state; the slot is guarded by `lock`, the counters by the scheduler lock.
struct fragment {
    WDFSPINLOCK lock = nullptr;
    WDFREQUEST slot = nullptr;
    int cancel_calls = 0;
    NTSTATUS mark_status = STATUS_PENDING;
};
fragment frag;

VOID park_cancel(WDFREQUEST request) {
    WdfSpinLockAcquire(frag.lock);
    if (frag.slot == request)
        frag.slot = nullptr;
    WdfSpinLockRelease(frag.lock);
    note([] { ++frag.cancel_calls; });
    WdfRequestComplete(request, STATUS_CANCELLED);
}

VOID park_ioctl(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
    WdfSpinLockAcquire(frag.lock);
    NTSTATUS st = WdfRequestMarkCancelableEx(request, park_cancel);
    if (NT_SUCCESS(st))
        frag.slot = request;
    WdfSpinLockRelease(frag.lock);
    note([st] { frag.mark_status = st; });
    if (!NT_SUCCESS(st))
        WdfRequestComplete(request, st);
}

// The answer path. Returns what unmarking reported (STATUS_NOT_FOUND when nothing was
// parked). `faulty` completes even when unmarking lost, which the verifier must catch.
NTSTATUS answer(bool faulty = false) {
    WdfSpinLockAcquire(frag.lock);
    WDFREQUEST r = frag.slot;
    frag.slot = nullptr;
    NTSTATUS st = r != nullptr ? WdfRequestUnmarkCancelable(r) : STATUS_NOT_FOUND;
    WdfSpinLockRelease(frag.lock);
    if (st == STATUS_SUCCESS || (faulty && st == STATUS_CANCELLED)) {
        PVOID out = nullptr;
        if (NT_SUCCESS(WdfRequestRetrieveOutputBuffer(r, 4, &out, nullptr)))
            std::memcpy(out, "ANSR", 4);
        WdfRequestCompleteWithInformation(r, STATUS_SUCCESS, 4);
    }
    return st;
}

class cancel_race : public io_fixture {
  protected:
    void SetUp() override {
        frag = {};
        attach();
        WDF_IO_QUEUE_CONFIG cfg;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&cfg, WdfIoQueueDispatchParallel);
        cfg.EvtIoDeviceControl = park_ioctl;
        cfg.PowerManaged = WdfFalse;
        ASSERT_EQ(WdfIoQueueCreate(handle(), &cfg, nullptr, &queue), STATUS_SUCCESS);
        WDF_OBJECT_ATTRIBUTES attrs;
        WDF_OBJECT_ATTRIBUTES_INIT(&attrs);
        attrs.ParentObject = handle();
        ASSERT_EQ(WdfSpinLockCreate(&attrs, &frag.lock), STATUS_SUCCESS);
    }
    // Sends the control and waits until the fragment has parked it.
    std::shared_ptr<irp_box> park() {
        auto box = make(IRP_MJ_DEVICE_CONTROL, 0, 4, nullptr, park_code);
        send(box);
        EXPECT_TRUE(wait_until([] { return frag.mark_status != STATUS_PENDING; }));
        EXPECT_EQ(frag.mark_status, STATUS_SUCCESS);
        return box;
    }
    // IoCancelIrp on a thread of its own.
    std::shared_ptr<scheduler::joinable> cancel_on_thread(PIRP irp) {
        return scheduler::get().start_thread("canceller", [irp] { platform::io::cancel_irp(irp); });
    }
    int cancel_calls() {
        std::lock_guard g(scheduler::get().lock());
        return frag.cancel_calls;
    }
    WDFQUEUE queue = nullptr;
};

TEST_F(cancel_race, CancelBeforeAnswerLeavesTheCompletionToTheCancelRoutine) {
    auto box = park();
    // The answer holds the fragment's lock and is held before it unmarks.
    pp::hold at_unmark("WdfRequestUnmarkCancelable");
    NTSTATUS unmarked = STATUS_PENDING;
    auto answerer = scheduler::get().start_thread("answerer", [&] { unmarked = answer(); });
    ASSERT_TRUE(at_unmark.wait_arrived()) << at_unmark.describe();
    // The cancel takes the request from the driver; its routine is due on the cancel thread.
    pp::hold at_routine("cancel-routine");
    auto canceller = cancel_on_thread(box->irp.get());
    ASSERT_TRUE(at_routine.wait_arrived()) << at_routine.describe();
    EXPECT_EQ(at_routine.thread_name(), "canceller");  // no loop was running: it delivers

    at_unmark.release();
    answerer->join();
    EXPECT_EQ(unmarked, STATUS_CANCELLED);
    EXPECT_FALSE(box->completed());  // the answer kept its hands off

    at_routine.release();
    canceller->join();
    ASSERT_TRUE(box->completed());
    EXPECT_EQ(box->status, STATUS_CANCELLED);
    EXPECT_EQ(box->information, 0u);
    EXPECT_EQ(cancel_calls(), 1);
}

TEST_F(cancel_race, CancelTakenButNotYetRunStillMakesTheAnswerLose) {
    // The IRP's cancel routine is taken (Irp->Cancel set, the framework not yet told): the
    // unmark already fails, and the framework's routine still runs once it is told.
    auto box = park();
    pp::hold in_flight("irp-cancel-routine", box->irp.get());
    auto canceller = cancel_on_thread(box->irp.get());
    ASSERT_TRUE(in_flight.wait_arrived()) << in_flight.describe();
    EXPECT_EQ(answer(), STATUS_CANCELLED);
    EXPECT_FALSE(box->completed());
    EXPECT_EQ(cancel_calls(), 0);
    in_flight.release();
    canceller->join();
    ASSERT_TRUE(box->completed());
    EXPECT_EQ(box->status, STATUS_CANCELLED);
    EXPECT_EQ(cancel_calls(), 1);
}

TEST_F(cancel_race, AnswerBeforeCancelCompletesWithTheAnswerAndTheCancelFindsNothing) {
    auto box = park();
    pp::hold at_cancel("IoCancelIrp", box->irp.get());
    auto canceller = cancel_on_thread(box->irp.get());
    ASSERT_TRUE(at_cancel.wait_arrived()) << at_cancel.describe();
    EXPECT_EQ(answer(), STATUS_SUCCESS);
    ASSERT_TRUE(box->completed());
    EXPECT_EQ(box->status, STATUS_SUCCESS);
    EXPECT_EQ(box->information, 4u);
    EXPECT_EQ(std::memcmp(box->buffer_at_completion.data(), "ANSR", 4), 0);
    at_cancel.release();
    canceller->join();
    EXPECT_EQ(cancel_calls(), 0);
}

TEST_F(cancel_race, CancelWhileTheCallbackIsMarkingMakesMarkCancelableExFail) {
    // The presenting thread is held before it marks the request; the cancel then only sets
    // the IRP's flag (the driver owns the request, unmarked). Marking reports
    // STATUS_CANCELLED and does not call the routine.
    pp::hold at_mark("WdfRequestMarkCancelableEx");
    auto box = make(IRP_MJ_DEVICE_CONTROL, 0, 4, nullptr, park_code);
    auto sender = scheduler::get().start_thread("sender", [&] { send(box); });
    ASSERT_TRUE(at_mark.wait_arrived()) << at_mark.describe();
    EXPECT_FALSE(platform::io::cancel_irp(box->irp.get()));  // no routine to call yet
    at_mark.release();
    sender->join();
    EXPECT_EQ(frag.mark_status, STATUS_CANCELLED);
    ASSERT_TRUE(box->completed());
    EXPECT_EQ(box->status, STATUS_CANCELLED);
    EXPECT_EQ(cancel_calls(), 0);
}

using cancel_race_death_test = cancel_race;

TEST_F(cancel_race_death_test, CompletingAfterUnmarkLostIsCaught) {
    EXPECT_DEATH(
        {
            auto box = park();
            pp::hold at_routine("cancel-routine");
            auto canceller = cancel_on_thread(box->irp.get());
            if (!at_routine.wait_arrived())
                return;
            answer(/*faulty=*/true);  // completes although the cancel routine is due
        },
        "0x0000010D.*still cancelable");
}

}  // namespace
