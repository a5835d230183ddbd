// The held wait (see held_wait.h). Defining WaitForAnswer here keeps the driver's own
// deferred_wait object out of this binary.
#include "held_wait.h"

#include <mutex>

#include "core/scheduler.h"

#include "vrax_device.h"

namespace held_wait {
namespace {

std::mutex hook_lock;
std::function<void(VRAX_ANSWER)> after_wait;
// Guarded by the scheduler's lock.
bool held = false;
bool released = false;

}  // namespace

void set_after_wait(std::function<void(VRAX_ANSWER)> hook) {
    {
        auto& s = platform::scheduler::get();
        std::lock_guard lk(s.lock());
        held = false;
        released = false;
    }
    std::lock_guard g(hook_lock);
    after_wait = std::move(hook);
}

void hold() {
    auto& s = platform::scheduler::get();
    std::unique_lock lk(s.lock());
    held = true;
    s.wake();
    s.block(
        lk, [] { return released; }, platform::no_deadline, "test: work item held");
}

void wait_until_held() {
    auto& s = platform::scheduler::get();
    std::unique_lock lk(s.lock());
    s.block(
        lk, [] { return held; }, platform::no_deadline, "test: waiting for the hold");
}

void release() {
    auto& s = platform::scheduler::get();
    std::lock_guard lk(s.lock());
    released = true;
    s.wake();
}

}  // namespace held_wait

_Use_decl_annotations_ VRAX_ANSWER WaitForAnswer(PKEVENT Answer, PKEVENT Abort) {
    PVOID objects[2] = {Answer, Abort};
    LARGE_INTEGER timeout;
    timeout.QuadPart = VRAX_TIMEOUT_CONTROL_ANSWER;
    NTSTATUS status = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE,
                                               &timeout, nullptr);
    VRAX_ANSWER answer = status == STATUS_WAIT_0   ? VraxAnswered
                         : status == STATUS_WAIT_1 ? VraxAborted
                                                   : VraxTimedOut;
    std::function<void(VRAX_ANSWER)> hook;
    {
        std::lock_guard g(held_wait::hook_lock);
        hook = held_wait::after_wait;
    }
    if (hook) {
        hook(answer);
    }
    return answer;
}
