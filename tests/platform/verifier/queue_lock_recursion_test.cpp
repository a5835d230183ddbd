// Verifier: completing a request from outside the queue's dispatch (here a system thread; a
// work item or a timer routine is the same case) while holding a lock that the queue's next
// callback takes. The completion presents the next request of the sequential queue on the
// completing thread, inside WdfRequestComplete, so the callback acquires the lock its own thread
// holds: a deadlock on Windows, reported here as the recursive acquisition it is.
#include "queue_verifier.h"

using namespace queue_verifier;

namespace {

WDFWAITLOCK shared_lock = nullptr;

// The callback takes the driver's lock to record the request, then keeps it.
VOID locked_read(WDFQUEUE, WDFREQUEST request, size_t) {
    WdfWaitLockAcquire(shared_lock, nullptr);
    note([&] { kept().push_back(request); });
    WdfWaitLockRelease(shared_lock);
}

// Completes the first kept request while holding the driver's lock.
void complete_under_the_lock() {
    WdfWaitLockAcquire(shared_lock, nullptr);
    WdfRequestComplete(kept_at(0), STATUS_SUCCESS);
    WdfWaitLockRelease(shared_lock);
}

VOID complete_from_system_thread(PVOID) {
    complete_under_the_lock();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

class queue_lock_recursion_death_test : public queue_fixture {
  protected:
    void SetUp() override {
        queue_fixture::SetUp();
        ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &shared_lock), STATUS_SUCCESS);
    }
    // Two reads: the first is kept by the callback, the second waits behind it.
    void two_reads() {
        make_queue(locked_read);
        send_read();
        send_read();
    }
};

TEST_F(queue_lock_recursion_death_test, completing_from_a_system_thread_under_the_callbacks_lock) {
    EXPECT_DEATH(
        {
            two_reads();
            HANDLE h = nullptr;
            ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                           complete_from_system_thread, nullptr),
                      STATUS_SUCCESS);
            wait_until([] { return false; }, 1000);
        },
        "wait lock .* acquired recursively by its owner: acquired at .*locked_read .* while "
        "already acquired at .*complete_under_the_lock");
}

}  // namespace
