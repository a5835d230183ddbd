// Requests: buffers and parameters, cancellation, completion and the verifier's rules.
#include <gtest/gtest.h>

#include <wdf.h>

#include <cstring>
#include <vector>

#include "wdf_io_harness.h"

using namespace wdf_io_test;

namespace {

struct seen_t {
    std::vector<WDFREQUEST> presented;
    std::vector<WDFREQUEST> cancelled;
    int cancel_calls = 0;
    bool cancel_ran_inside_mark = false;
};
seen_t seen;

VOID cancel_only_note(WDFREQUEST request);
constexpr ULONG self_cancel_code = CTL_CODE(0x22, 0x9FF, METHOD_BUFFERED, FILE_ANY_ACCESS);

VOID keep_ioctl(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG code) {
    if (code == self_cancel_code) {
        // Inside the queue's own callback a cancel is delivered only after it returns, so
        // unmarking loses the race and completing here breaks the rule.
        WdfRequestMarkCancelable(request, cancel_only_note);
        platform::io::cancel_irp(WdfRequestWdmGetIrp(request));
        if (WdfRequestUnmarkCancelable(request) == STATUS_CANCELLED) {
            WdfRequestComplete(request, STATUS_SUCCESS);
        }
        return;
    }
    note([&] { seen.presented.push_back(request); });
}

VOID cancel_and_complete(WDFREQUEST request) {
    note([&] {
        ++seen.cancel_calls;
        seen.cancelled.push_back(request);
    });
    WdfRequestComplete(request, STATUS_CANCELLED);
}

VOID cancel_only_note(WDFREQUEST request) {
    note([&] {
        ++seen.cancel_calls;
        seen.cancelled.push_back(request);
    });
}

constexpr ULONG buffered_code = CTL_CODE(0x22, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);

class request_test : public io_fixture {
  protected:
    void SetUp() override {
        seen = {};
        attach();
        // Reads and writes wait in a manual default queue and the test retrieves them, so no
        // queue callback is running when the test acts on them. Device controls go to a
        // parallel queue that presents them.
        WDF_IO_QUEUE_CONFIG cfg;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&cfg, WdfIoQueueDispatchManual);
        cfg.PowerManaged = WdfFalse;
        ASSERT_EQ(WdfIoQueueCreate(handle(), &cfg, nullptr, &queue), STATUS_SUCCESS);
        WDF_IO_QUEUE_CONFIG_INIT(&cfg, WdfIoQueueDispatchParallel);
        cfg.EvtIoDeviceControl = keep_ioctl;
        cfg.PowerManaged = WdfFalse;
        ASSERT_EQ(WdfIoQueueCreate(handle(), &cfg, nullptr, &ioctl_queue), STATUS_SUCCESS);
        ASSERT_EQ(WdfDeviceConfigureRequestDispatching(handle(), ioctl_queue,
                                                       WdfRequestTypeDeviceControl),
                  STATUS_SUCCESS);
    }
    WDFREQUEST presented(size_t i) {
        std::lock_guard g(scheduler::get().lock());
        return seen.presented.at(i);
    }
    // Sends an IRP and returns the request the driver receives for it.
    WDFREQUEST arrive(const std::shared_ptr<irp_box>& box) {
        keep_alive.push_back(box);  // the IRP must outlive its request
        if (box->irp->major != IRP_MJ_DEVICE_CONTROL) {
            send(box);
            WDFREQUEST r = nullptr;
            EXPECT_EQ(WdfIoQueueRetrieveNextRequest(queue, &r), STATUS_SUCCESS);
            return r;
        }
        size_t before;
        {
            std::lock_guard g(scheduler::get().lock());
            before = seen.presented.size();
        }
        send(box);
        EXPECT_TRUE(wait_until([&] { return seen.presented.size() > before; }));
        return presented(before);
    }
    WDFQUEUE queue = nullptr;
    WDFQUEUE ioctl_queue = nullptr;
    std::vector<std::shared_ptr<irp_box>> keep_alive;
};

TEST_F(request_test, buffered_control_shares_one_system_buffer) {
    auto box = make(IRP_MJ_DEVICE_CONTROL, 4, 8, nullptr, buffered_code);
    std::memcpy(box->irp->system_buffer.data(), "\x01\x02\x03\x04", 4);
    WDFREQUEST r = arrive(box);

    WDF_REQUEST_PARAMETERS params;
    WDF_REQUEST_PARAMETERS_INIT(&params);
    WdfRequestGetParameters(r, &params);
    EXPECT_EQ(params.Type, WdfRequestTypeDeviceControl);
    EXPECT_EQ(params.Parameters.DeviceIoControl.IoControlCode, buffered_code);
    EXPECT_EQ(params.Parameters.DeviceIoControl.InputBufferLength, 4u);
    EXPECT_EQ(params.Parameters.DeviceIoControl.OutputBufferLength, 8u);

    PVOID in = nullptr, out = nullptr;
    size_t in_len = 0, out_len = 0;
    ASSERT_EQ(WdfRequestRetrieveInputBuffer(r, 4, &in, &in_len), STATUS_SUCCESS);
    ASSERT_EQ(WdfRequestRetrieveOutputBuffer(r, 8, &out, &out_len), STATUS_SUCCESS);
    EXPECT_EQ(in, out);
    EXPECT_EQ(in_len, 4u);
    EXPECT_EQ(out_len, 8u);
    EXPECT_EQ(static_cast<UCHAR*>(in)[0], 1);
    static_cast<UCHAR*>(out)[0] = 0xAA;  // writing output overwrites the input
    EXPECT_EQ(static_cast<UCHAR*>(in)[0], 0xAA);

    EXPECT_EQ(WdfRequestRetrieveOutputBuffer(r, 9, &out, &out_len), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(out_len, 0u);

    WDFMEMORY mem = nullptr;
    ASSERT_EQ(WdfRequestRetrieveOutputMemory(r, &mem), STATUS_SUCCESS);
    size_t mem_len = 0;
    EXPECT_EQ(WdfMemoryGetBuffer(mem, &mem_len), in);
    EXPECT_EQ(mem_len, 8u);

    WdfRequestCompleteWithInformation(r, STATUS_SUCCESS, 1);
    ASSERT_TRUE(box->wait());
    EXPECT_EQ(box->buffer_at_completion.at(0), 0xAA);
    EXPECT_EQ(box->information, 1u);
}

TEST_F(request_test, buffer_rules_by_request_kind) {
    PVOID p = nullptr;
    size_t len = 0;
    // Zero-length input fails even with a minimum of 0.
    WDFREQUEST ioctl = arrive(make(IRP_MJ_DEVICE_CONTROL, 0, 4, nullptr, buffered_code));
    EXPECT_EQ(WdfRequestRetrieveInputBuffer(ioctl, 0, &p, &len), STATUS_BUFFER_TOO_SMALL);
    WDFMEMORY mem = nullptr;
    EXPECT_EQ(WdfRequestRetrieveInputMemory(ioctl, &mem), STATUS_BUFFER_TOO_SMALL);
    WdfRequestComplete(ioctl, STATUS_SUCCESS);

    auto wbox = make(IRP_MJ_WRITE, 6, 0);
    WDFREQUEST write = arrive(wbox);
    EXPECT_EQ(WdfRequestRetrieveOutputBuffer(write, 0, &p, &len), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(WdfRequestRetrieveInputBuffer(write, 6, &p, &len), STATUS_SUCCESS);
    EXPECT_EQ(len, 6u);
    WDF_REQUEST_PARAMETERS params;
    WDF_REQUEST_PARAMETERS_INIT(&params);
    WdfRequestGetParameters(write, &params);
    EXPECT_EQ(params.Type, WdfRequestTypeWrite);
    EXPECT_EQ(params.Parameters.Write.Length, 6u);
    WdfRequestCompleteWithInformation(write, STATUS_SUCCESS, 6);
    ASSERT_TRUE(wbox->wait());

    WDFREQUEST read = arrive(make(IRP_MJ_READ, 0, 5));
    EXPECT_EQ(WdfRequestRetrieveInputBuffer(read, 0, &p, &len), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(WdfRequestRetrieveOutputBuffer(read, 5, &p, &len), STATUS_SUCCESS);
    EXPECT_EQ(WdfRequestGetRequestorMode(read), UserMode);
    WdfRequestComplete(read, STATUS_SUCCESS);

    // A user-mode METHOD_NEITHER control has no buffer the framework can hand out.
    WDFREQUEST neither = arrive(make(IRP_MJ_DEVICE_CONTROL, 4, 4, nullptr,
                                     CTL_CODE(0x22, 0x901, METHOD_NEITHER, FILE_ANY_ACCESS)));
    EXPECT_EQ(WdfRequestRetrieveInputBuffer(neither, 1, &p, &len), STATUS_INVALID_DEVICE_REQUEST);
    WdfRequestComplete(neither, STATUS_SUCCESS);
}

TEST_F(request_test, information_round_trip) {
    auto box = make(IRP_MJ_READ, 0, 16);
    WDFREQUEST r = arrive(box);
    WdfRequestSetInformation(r, 12);
    EXPECT_EQ(WdfRequestGetInformation(r), 12u);
    WdfRequestComplete(r, STATUS_SUCCESS);
    ASSERT_TRUE(box->wait());
    EXPECT_EQ(box->information, 12u);
}

TEST_F(request_test, mark_cancelable_on_cancelled_request_runs_routine_before_returning) {
    auto box = make(IRP_MJ_READ, 0, 4);
    WDFREQUEST r = arrive(box);
    platform::io::cancel_irp(box->irp.get());  // driver-owned, not cancelable: flag only
    EXPECT_TRUE(WdfRequestIsCanceled(r));
    EXPECT_FALSE(box->completed());
    WdfRequestMarkCancelable(r, cancel_and_complete);
    EXPECT_EQ(seen.cancel_calls, 1);
    EXPECT_TRUE(box->completed());
    EXPECT_EQ(box->status, STATUS_CANCELLED);
}

TEST_F(request_test, mark_cancelable_ex_reports_cancelled) {
    auto box = make(IRP_MJ_READ, 0, 4);
    WDFREQUEST r = arrive(box);
    platform::io::cancel_irp(box->irp.get());
    EXPECT_EQ(WdfRequestMarkCancelableEx(r, cancel_and_complete), STATUS_CANCELLED);
    EXPECT_EQ(seen.cancel_calls, 0);
    WdfRequestComplete(r, STATUS_CANCELLED);
    EXPECT_TRUE(box->completed());
}

TEST_F(request_test, cancel_routine_runs_once_and_unmark_then_reports_cancelled) {
    auto box = make(IRP_MJ_READ, 0, 4);
    WDFREQUEST r = arrive(box);
    WdfRequestMarkCancelable(r, cancel_only_note);
    EXPECT_TRUE(platform::io::cancel_irp(box->irp.get()));
    EXPECT_EQ(seen.cancel_calls, 1);
    EXPECT_FALSE(platform::io::cancel_irp(box->irp.get()));  // a second cancel finds no routine
    EXPECT_EQ(WdfRequestUnmarkCancelable(r), STATUS_CANCELLED);
    EXPECT_EQ(seen.cancel_calls, 1);
    // The routine has run, so completing now is the driver's right.
    WdfRequestComplete(r, STATUS_CANCELLED);
    EXPECT_TRUE(box->completed());
}

TEST_F(request_test, unmark_losing_to_a_cancel_in_flight_leaves_the_routine_to_that_cancel) {
    auto box = make(IRP_MJ_READ, 0, 4);
    WDFREQUEST r = arrive(box);
    WdfRequestMarkCancelable(r, cancel_and_complete);
    // A cancel on another thread has taken the IRP's cancel routine but not run it yet.
    PIRP irp = box->irp.get();
    std::function<void(PIRP)> in_flight;
    {
        std::lock_guard g(irp->cancel_lock);
        irp->cancel = true;
        in_flight = std::move(irp->cancel_routine);
        irp->cancel_routine = nullptr;
    }
    ASSERT_TRUE(in_flight);
    // Unmarking loses and delivers nothing itself; the driver's routine runs in that cancel.
    EXPECT_EQ(WdfRequestUnmarkCancelable(r), STATUS_CANCELLED);
    EXPECT_EQ(seen.cancel_calls, 0);
    in_flight(irp);
    EXPECT_EQ(seen.cancel_calls, 1);
    EXPECT_TRUE(box->completed());
    EXPECT_EQ(box->status, STATUS_CANCELLED);
}

TEST_F(request_test, unmark_before_cancel_takes_the_request_back) {
    auto box = make(IRP_MJ_READ, 0, 4);
    WDFREQUEST r = arrive(box);
    WdfRequestMarkCancelable(r, cancel_only_note);
    EXPECT_EQ(WdfRequestUnmarkCancelable(r), STATUS_SUCCESS);
    EXPECT_FALSE(platform::io::cancel_irp(box->irp.get()));
    EXPECT_EQ(seen.cancel_calls, 0);
    EXPECT_TRUE(WdfRequestIsCanceled(r));
    WdfRequestComplete(r, STATUS_SUCCESS);
    ASSERT_TRUE(box->completed());
    EXPECT_EQ(box->status, STATUS_SUCCESS);
}

TEST_F(request_test, purge_runs_cancel_routines_of_driver_cancelable_requests) {
    auto a = make(IRP_MJ_READ, 0, 4);
    auto b = make(IRP_MJ_READ, 0, 4);
    WDFREQUEST ra = arrive(a);
    WDFREQUEST rb = arrive(b);
    WdfRequestMarkCancelable(ra, cancel_and_complete);
    // rb stays non-cancelable: the purge waits for the driver to complete it.
    auto completer = scheduler::get().start_thread("completer", [&] {
        wait_until([&] { return a->done; });
        WdfRequestComplete(rb, STATUS_SUCCESS);
    });
    WdfIoQueuePurgeSynchronously(queue);
    completer->join();
    EXPECT_EQ(a->status, STATUS_CANCELLED);
    EXPECT_EQ(b->status, STATUS_SUCCESS);
    EXPECT_EQ(seen.cancel_calls, 1);

    // A request marked cancelable later, while the queue is still purged but no purge is
    // running, stays cancelable.
    WdfIoQueueStart(queue);
    auto c = make(IRP_MJ_READ, 0, 4);
    WDFREQUEST rc = arrive(c);
    WdfRequestMarkCancelable(rc, cancel_and_complete);
    EXPECT_EQ(seen.cancel_calls, 1);
    EXPECT_EQ(WdfRequestUnmarkCancelable(rc), STATUS_SUCCESS);
    WdfRequestComplete(rc, STATUS_SUCCESS);
}

TEST_F(request_test, cleanup_flushes_only_queued_requests_of_that_handle) {
    // A manual queue holds reads of two handles.
    WDF_IO_QUEUE_CONFIG cfg;
    WDF_IO_QUEUE_CONFIG_INIT(&cfg, WdfIoQueueDispatchManual);
    WDFQUEUE manual = nullptr;
    ASSERT_EQ(WdfIoQueueCreate(handle(), &cfg, nullptr, &manual), STATUS_SUCCESS);
    FILE_OBJECT f1 = make_file(), f2 = make_file();
    auto a = make(IRP_MJ_READ, 0, 4, &f1);
    auto b = make(IRP_MJ_READ, 0, 4, &f2);
    ASSERT_EQ(WdfRequestForwardToIoQueue(arrive(a), manual), STATUS_SUCCESS);
    ASSERT_EQ(WdfRequestForwardToIoQueue(arrive(b), manual), STATUS_SUCCESS);
    auto cleanup = send(IRP_MJ_CLEANUP, 0, 0, &f1);
    ASSERT_TRUE(cleanup->completed());
    EXPECT_EQ(cleanup->status, STATUS_SUCCESS);
    ASSERT_TRUE(a->completed());
    EXPECT_EQ(a->status, STATUS_CANCELLED);
    EXPECT_FALSE(b->completed());
    WDFREQUEST r = nullptr;
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(manual, &r), STATUS_SUCCESS);
    WdfRequestComplete(r, STATUS_SUCCESS);
    EXPECT_TRUE(b->completed());
}

// ---- Verifier ------------------------------------------------------------------------------

using request_death_test = request_test;

TEST_F(request_death_test, completing_twice) {
    EXPECT_DEATH(
        {
            WDFREQUEST r = arrive(make(IRP_MJ_READ, 0, 4));
            WdfRequestComplete(r, STATUS_SUCCESS);
            WdfRequestComplete(r, STATUS_SUCCESS);
        },
        "0x0000010D");
}

TEST_F(request_death_test, completing_twice_while_referenced) {
    EXPECT_DEATH(
        {
            WDFREQUEST r = arrive(make(IRP_MJ_READ, 0, 4));
            WdfObjectReference(r);
            WdfRequestComplete(r, STATUS_SUCCESS);
            WdfRequestComplete(r, STATUS_SUCCESS);
        },
        "0x0000010D.*completed twice: read request .* received by WdfIoQueueRetrieveNextRequest");
}

TEST_F(request_death_test, completing_a_cancelable_request) {
    EXPECT_DEATH(
        {
            WDFREQUEST r = arrive(make(IRP_MJ_READ, 0, 4));
            WdfRequestMarkCancelable(r, cancel_only_note);
            WdfRequestComplete(r, STATUS_SUCCESS);
        },
        "0x0000010D.*still cancelable");
}

TEST_F(request_death_test, completing_after_unmark_lost_to_cancel) {
    EXPECT_DEATH(
        {
            auto box = send(IRP_MJ_DEVICE_CONTROL, 4, 4, nullptr, self_cancel_code);
            box->wait(1000);
        },
        "0x0000010D.*still cancelable");
}

TEST_F(request_death_test, information_beyond_the_read_buffer) {
    EXPECT_DEATH(
        {
            WDFREQUEST r = arrive(make(IRP_MJ_READ, 0, 4));
            WdfRequestCompleteWithInformation(r, STATUS_SUCCESS, 5);
        },
        "0x0000010D.*Information");
}

TEST_F(request_death_test, parameters_not_initialised) {
    EXPECT_DEATH(
        {
            WDFREQUEST r = arrive(make(IRP_MJ_READ, 0, 4));
            WDF_REQUEST_PARAMETERS params{};
            WdfRequestGetParameters(r, &params);
        },
        "0x0000010D");
}

TEST_F(request_death_test, request_objects_are_the_framework_s) {
    EXPECT_DEATH(WdfObjectDelete(arrive(make(IRP_MJ_READ, 0, 4))), "0x0000010D");
}

}  // namespace
