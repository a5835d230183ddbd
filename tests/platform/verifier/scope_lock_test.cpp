// Verifier: misuse of a callback lock. The framework holds a scoped queue's lock around each of
// its callbacks, so taking it again there is a recursion; a lock the callback takes must be
// released before it returns; the lock the framework holds is not the driver's to release; and
// objects other than devices, queues and device-scoped file objects have no lock at all.
#include "queue_verifier.h"

using namespace queue_verifier;

namespace {

WDFDEVICE device_handle = nullptr;

VOID takes_its_own_lock(WDFQUEUE queue, WDFREQUEST request, size_t) {
    WdfObjectAcquireLock(queue);
    note([&] { kept().push_back(request); });
    WdfObjectReleaseLock(queue);
}

VOID keeps_the_device_lock(WDFQUEUE, WDFREQUEST request, size_t) {
    WdfObjectAcquireLock(device_handle);
    note([&] { kept().push_back(request); });
}

VOID releases_the_frameworks_lock(WDFQUEUE queue, WDFREQUEST request, size_t) {
    WdfObjectReleaseLock(queue);
    note([&] { kept().push_back(request); });
}

VOID locks_the_request(WDFQUEUE, WDFREQUEST request, size_t) {
    WdfObjectAcquireLock(request);
}

void acquire_twice(WDFQUEUE queue) {
    WdfObjectAcquireLock(queue);
    WdfObjectAcquireLock(queue);
}

class scope_lock_death_test : public queue_fixture {
  protected:
    void SetUp() override {
        queue_fixture::SetUp();
        device_handle = handle();
    }
    // A sequential default queue with queue scope at dispatch level.
    WDFQUEUE scoped_queue(PFN_WDF_IO_QUEUE_IO_READ on_read) {
        WDF_IO_QUEUE_CONFIG cfg;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&cfg, WdfIoQueueDispatchSequential);
        cfg.EvtIoRead = on_read;
        cfg.PowerManaged = WdfFalse;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.SynchronizationScope = WdfSynchronizationScopeQueue;
        WDFQUEUE q = nullptr;
        EXPECT_EQ(WdfIoQueueCreate(handle(), &cfg, &attributes, &q), STATUS_SUCCESS);
        return q;
    }
};

TEST_F(scope_lock_death_test, acquiring_the_queues_lock_inside_its_own_callback) {
    EXPECT_DEATH(
        {
            scoped_queue(takes_its_own_lock);
            send_read();
        },
        "0x0000010D: WDFQUEUE callback spin lock 0x[0-9a-f]+ acquired recursively by "
        "WdfObjectAcquireLock called from .*takes_its_own_lock \\(tests/platform/verifier/"
        "scope_lock_test.cpp:[0-9]+\\) while already held: the framework holds it around the "
        "running callback in EvtIoRead \\(object 0x[0-9a-f]+, request 0x[0-9a-f]+, read\\)");
}

TEST_F(scope_lock_death_test, acquiring_an_object_lock_twice) {
    EXPECT_DEATH(acquire_twice(scoped_queue(keep_read)),
                 "0x0000010D: WDFQUEUE callback spin lock 0x[0-9a-f]+ acquired recursively by "
                 "WdfObjectAcquireLock called from .*acquire_twice .* while already held: the "
                 "driver took it at .*acquire_twice");
}

TEST_F(scope_lock_death_test, returning_from_a_scoped_callback_holding_the_devices_lock) {
    EXPECT_DEATH(
        {
            scoped_queue(keeps_the_device_lock);
            send_read();
        },
        "0x000000C4: lock still held when EvtIoRead \\(object 0x[0-9a-f]+, request "
        "0x[0-9a-f]+, read\\) returned: WDFDEVICE callback spin lock 0x[0-9a-f]+ acquired at "
        ".*keeps_the_device_lock \\(tests/platform/verifier/scope_lock_test.cpp:[0-9]+\\)");
}

TEST_F(scope_lock_death_test, releasing_the_lock_the_framework_holds_for_the_callback) {
    EXPECT_DEATH(
        {
            scoped_queue(releases_the_frameworks_lock);
            send_read();
        },
        "0x0000010D: EvtIoRead returned without the WDFQUEUE callback spin lock 0x[0-9a-f]+ "
        "the framework held for it: the driver released it inside its own callback");
}

TEST_F(scope_lock_death_test, acquiring_the_lock_of_an_object_that_has_none) {
    EXPECT_DEATH(
        {
            scoped_queue(locks_the_request);
            send_read();
        },
        "0x0000010D: WdfObjectAcquireLock: a WDFREQUEST has no callback lock .* in EvtIoRead");
}

}  // namespace
