// A driver's cancel routine and another thread completing the same request: the framework
// holds a reference on the request while EvtRequestCancel runs (FxIoQueue::
// ProcessCancelledRequests releases the queue's reference only once InvokeCancel has
// returned), so a routine that wakes the request's owner and then still touches the request
// finds the object and its context alive, even if the owner has completed it meanwhile. The
// request goes once the routine has returned.
#include <gtest/gtest.h>
#include <wdf.h>

#include <string>
#include <vector>

#include "../wdf_io/wdf_io_harness.h"

using namespace wdf_io_test;

namespace {

constexpr ULONG park_code = CTL_CODE(0x22, 0x920, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG marker = 0x5A17C0DE;

struct park_context {
    ULONG marker;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(park_context, get_park_context)

// What the routine does once the owner has completed the request.
enum class after_completion { read_context, get_file_object };

// The fragment's state: `parked` and `log` are changed through note() (scheduler lock).
struct fragment {
    KEVENT cancel_seen;          // set by the cancel routine for the owner
    KEVENT completed_elsewhere;  // set by the owner once it has completed the request
    WDFREQUEST parked = nullptr;
    after_completion then = after_completion::read_context;
    std::vector<std::string> log;
};
fragment frag;

void log(std::string what) {
    note([&] { frag.log.push_back(std::move(what)); });
}

VOID park_destroyed(WDFOBJECT) {
    log("request destroyed");
}

// Wakes the owner, waits until it has completed the request, then touches the request.
VOID park_cancel(WDFREQUEST request) {
    park_context* context = get_park_context(request);
    KeSetEvent(&frag.cancel_seen, 0, FALSE);
    (VOID) KeWaitForSingleObject(&frag.completed_elsewhere, Executive, KernelMode, FALSE, nullptr);
    if (frag.then == after_completion::get_file_object) {
        (VOID) WdfRequestGetFileObject(request);
        return;
    }
    const bool same = get_park_context(request) == context;
    log(same && context->marker == marker ? "routine saw its context" : "routine lost it");
}

VOID park_ioctl(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
    get_park_context(request)->marker = marker;
    WdfRequestMarkCancelable(request, park_cancel);
    note([&] { frag.parked = request; });
}

// The owner: completes the request as soon as the cancel routine says so.
void own() {
    (VOID) KeWaitForSingleObject(&frag.cancel_seen, Executive, KernelMode, FALSE, nullptr);
    WDFREQUEST request = nullptr;
    note([&] { request = frag.parked; });
    WdfRequestComplete(request, STATUS_CANCELLED);
    log("owner completed");
    KeSetEvent(&frag.completed_elsewhere, 0, FALSE);
}

class cancel_reference : public io_fixture {
  protected:
    void SetUp() override {
        frag.parked = nullptr;
        frag.then = after_completion::read_context;
        frag.log.clear();
        KeInitializeEvent(&frag.cancel_seen, NotificationEvent, FALSE);
        KeInitializeEvent(&frag.completed_elsewhere, NotificationEvent, FALSE);
        platform::wdf::io_device_config cfg;
        cfg.has_request_attributes = true;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&cfg.request_attributes, park_context);
        cfg.request_attributes.EvtDestroyCallback = park_destroyed;
        attach(cfg);
        WDF_IO_QUEUE_CONFIG queue_config;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queue_config, WdfIoQueueDispatchParallel);
        queue_config.EvtIoDeviceControl = park_ioctl;
        queue_config.PowerManaged = WdfFalse;
        ASSERT_EQ(WdfIoQueueCreate(handle(), &queue_config, nullptr, &queue), STATUS_SUCCESS);
    }
    // Parks a control, starts the owner and cancels the IRP on this thread.
    std::shared_ptr<irp_box> park_and_cancel() {
        auto box = make(IRP_MJ_DEVICE_CONTROL, 0, 4, nullptr, park_code);
        send(box);
        EXPECT_TRUE(wait_until([] { return frag.parked != nullptr; }));
        owner = scheduler::get().start_thread("owner", own);
        EXPECT_TRUE(platform::io::cancel_irp(box->irp.get()));
        owner->join();
        return box;
    }
    std::vector<std::string> log_so_far() {
        std::lock_guard g(scheduler::get().lock());
        return frag.log;
    }
    WDFQUEUE queue = nullptr;
    std::shared_ptr<scheduler::joinable> owner;
};

TEST_F(cancel_reference, TheRequestOutlivesACompletionElsewhereUntilTheRoutineReturns) {
    auto box = park_and_cancel();
    ASSERT_TRUE(box->completed());
    EXPECT_EQ(box->status, STATUS_CANCELLED);
    EXPECT_EQ(log_so_far(), (std::vector<std::string>{"owner completed", "routine saw its context",
                                                      "request destroyed"}));
}

using cancel_reference_death_test = cancel_reference;

// The reference keeps the object, not the request: a completed request is still completed.
TEST_F(cancel_reference_death_test, RequestCallsAfterTheCompletionElsewhereAreStillCaught) {
    EXPECT_DEATH(
        {
            frag.then = after_completion::get_file_object;
            park_and_cancel();
        },
        "0x0000010D.*WdfRequestGetFileObject: the request has already been completed");
}

}  // namespace
