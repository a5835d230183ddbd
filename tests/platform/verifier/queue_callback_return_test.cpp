// Verifier: an I/O callback or a cancel routine that returns holding a wait lock or a spin
// lock, or at a raised IRQL. The bug check names the callback.
#include "queue_verifier.h"

using namespace queue_verifier;

namespace {

WDFWAITLOCK held_wait_lock = nullptr;
WDFSPINLOCK held_spin_lock = nullptr;
enum class misdeed { wait_lock, spin_lock, raised_irql };
misdeed what_to_do = misdeed::wait_lock;

void misbehave() {
    switch (what_to_do) {
        case misdeed::wait_lock:
            WdfWaitLockAcquire(held_wait_lock, nullptr);
            break;
        case misdeed::spin_lock:
            WdfSpinLockAcquire(held_spin_lock);
            break;
        case misdeed::raised_irql: {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            break;
        }
    }
}

VOID misbehaving_read(WDFQUEUE, WDFREQUEST request, size_t) {
    WdfRequestComplete(request, STATUS_SUCCESS);
    misbehave();
}

VOID misbehaving_cancel(WDFREQUEST request) {
    WdfRequestComplete(request, STATUS_CANCELLED);
    misbehave();
}

class queue_callback_return_death_test : public queue_fixture {
  protected:
    void SetUp() override {
        queue_fixture::SetUp();
        ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &held_wait_lock), STATUS_SUCCESS);
        ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &held_spin_lock), STATUS_SUCCESS);
    }
    void io_callback(misdeed d) {
        what_to_do = d;
        make_queue(misbehaving_read);
        send_read();
    }
    void cancel_routine(misdeed d) {
        what_to_do = d;
        make_queue();
        send_read();
        WdfRequestMarkCancelable(kept_at(0), misbehaving_cancel);
        platform::io::cancel_irp(boxes[0]->irp.get());
    }
};

TEST_F(queue_callback_return_death_test, io_callback_returns_holding_a_wait_lock) {
    EXPECT_DEATH(io_callback(misdeed::wait_lock),
                 "lock still held when EvtIoRead \\(.*read\\) returned: wait lock .* acquired "
                 "at .*queue_callback_return_test.cpp");
}

TEST_F(queue_callback_return_death_test, io_callback_returns_holding_a_spin_lock) {
    EXPECT_DEATH(io_callback(misdeed::spin_lock),
                 "lock still held when EvtIoRead \\(.*read\\) returned: framework spin lock .* "
                 "acquired at .*queue_callback_return_test.cpp");
}

TEST_F(queue_callback_return_death_test, io_callback_returns_at_dispatch_level) {
    EXPECT_DEATH(io_callback(misdeed::raised_irql),
                 "EvtIoRead \\(.*read\\) returned at IRQL 2, called at 0");
}

TEST_F(queue_callback_return_death_test, cancel_routine_returns_holding_a_wait_lock) {
    EXPECT_DEATH(cancel_routine(misdeed::wait_lock),
                 "lock still held when EvtRequestCancel \\(.*read\\) returned: wait lock .* "
                 "acquired at .*queue_callback_return_test.cpp");
}

TEST_F(queue_callback_return_death_test, cancel_routine_returns_holding_a_spin_lock) {
    EXPECT_DEATH(cancel_routine(misdeed::spin_lock),
                 "lock still held when EvtRequestCancel \\(.*read\\) returned: framework spin "
                 "lock .* acquired at .*queue_callback_return_test.cpp");
}

TEST_F(queue_callback_return_death_test, cancel_routine_returns_at_dispatch_level) {
    EXPECT_DEATH(cancel_routine(misdeed::raised_irql),
                 "EvtRequestCancel \\(.*read\\) returned at IRQL 2, called at 0");
}

}  // namespace
