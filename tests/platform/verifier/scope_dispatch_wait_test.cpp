// Verifier: waits inside the callback of a dispatch-level scoped queue. The framework holds the
// queue's spin lock around the callback, so it runs at DISPATCH_LEVEL, where a kernel wait with
// a time-out, a wait lock acquired without a zero time-out, or a passive callback lock cannot
// block; each report names the driver's call and the callback.
#include "queue_verifier.h"

using namespace queue_verifier;

namespace {

KEVENT never_set;
WDFWAITLOCK wait_lock = nullptr;
WDFQUEUE passive_queue = nullptr;

VOID waits_for_an_event(WDFQUEUE, WDFREQUEST request, size_t) {
    LARGE_INTEGER ten_ms;
    ten_ms.QuadPart = -10 * 10'000;
    KeWaitForSingleObject(&never_set, Executive, KernelMode, FALSE, &ten_ms);
    note([&] { kept().push_back(request); });
}

VOID takes_a_wait_lock(WDFQUEUE, WDFREQUEST request, size_t) {
    WdfWaitLockAcquire(wait_lock, nullptr);
    note([&] { kept().push_back(request); });
    WdfWaitLockRelease(wait_lock);
}

VOID takes_a_passive_queues_lock(WDFQUEUE, WDFREQUEST request, size_t) {
    WdfObjectAcquireLock(passive_queue);
    note([&] { kept().push_back(request); });
    WdfObjectReleaseLock(passive_queue);
}

class scope_dispatch_wait_death_test : public queue_fixture {
  protected:
    void SetUp() override {
        queue_fixture::SetUp();
        KeInitializeEvent(&never_set, NotificationEvent, FALSE);
        ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &wait_lock), STATUS_SUCCESS);
    }
    void TearDown() override {
        WdfObjectDelete(wait_lock);
        queue_fixture::TearDown();
    }
    // The default queue, dispatch level with queue scope, and reads sent to it.
    void read_through(PFN_WDF_IO_QUEUE_IO_READ on_read) {
        WDF_IO_QUEUE_CONFIG cfg;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&cfg, WdfIoQueueDispatchSequential);
        cfg.EvtIoRead = on_read;
        cfg.PowerManaged = WdfFalse;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ExecutionLevel = WdfExecutionLevelDispatch;
        attributes.SynchronizationScope = WdfSynchronizationScopeQueue;
        WDFQUEUE q = nullptr;
        ASSERT_EQ(WdfIoQueueCreate(handle(), &cfg, &attributes, &q), STATUS_SUCCESS);
        send_read();
    }
};

TEST_F(scope_dispatch_wait_death_test, a_kernel_wait_with_a_time_out) {
    EXPECT_DEATH(read_through(waits_for_an_event),
                 "0x0000000A: KeWaitForSingleObject with a non-zero time-out at IRQL 2 \\(above "
                 "APC_LEVEL\\), called from .*waits_for_an_event \\(tests/platform/verifier/"
                 "scope_dispatch_wait_test.cpp:[0-9]+\\) in EvtIoRead \\(object 0x");
}

TEST_F(scope_dispatch_wait_death_test, a_wait_lock_without_a_zero_time_out) {
    EXPECT_DEATH(read_through(takes_a_wait_lock),
                 "0x0000000A: wait lock 0x[0-9a-f]+ acquired with no time-out at IRQL 2 .*called "
                 "from .*takes_a_wait_lock .* in EvtIoRead \\(object 0x");
}

TEST_F(scope_dispatch_wait_death_test, the_callback_lock_of_a_passive_level_queue) {
    EXPECT_DEATH(
        {
            WDF_IO_QUEUE_CONFIG cfg;
            WDF_IO_QUEUE_CONFIG_INIT(&cfg, WdfIoQueueDispatchManual);
            cfg.PowerManaged = WdfFalse;
            WDF_OBJECT_ATTRIBUTES attributes;
            WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
            attributes.ExecutionLevel = WdfExecutionLevelPassive;
            ASSERT_EQ(WdfIoQueueCreate(handle(), &cfg, &attributes, &passive_queue),
                      STATUS_SUCCESS);
            read_through(takes_a_passive_queues_lock);
        },
        "0x0000000A: WDFQUEUE callback lock 0x[0-9a-f]+ acquired with no time-out at IRQL 2 "
        ".*called from .*takes_a_passive_queues_lock .* in EvtIoRead \\(object 0x");
}

}  // namespace
