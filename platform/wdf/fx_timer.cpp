// Framework timers: WdfTimerCreate, WdfTimerStart, WdfTimerStop, WdfTimerGetParentObject.
//
// Each WDFTIMER owns a kernel timer and a DPC whose routine is the framework's thunk. At
// dispatch level (the default) the thunk calls EvtTimerFunc in the DPC; a passive-level timer
// (attributes with WdfExecutionLevelPassive, one-shot only) has the thunk hand the call to a
// worker thread, one call at a time (FxTimer::_FxTimerDpcThunk, FxSystemWorkItem).
//
// Stopping with Wait (FxTimer::Stop): the stopping thread is recorded so a start racing with
// it is aborted (and reported as "was in the queue"), and a start from a callback that was
// already running is caught by stopping again. Deleting the timer (or its parent) stops it
// and waits for its callback; a deletion at DISPATCH_LEVEL, such as from the timer's own
// dispatch-level callback, hands that wait to a worker thread, as the framework defers a
// passive dispose.
//
// Serialisation: a timer created with AutomaticSerialization under a parent whose
// synchronisation scope is the queue or the device takes that scope's callback lock around
// EvtTimerFunc (FxTimer::TimerHandler, FxObject::_GetEffectiveLock); the look-up is
// `effective_callback_lock`, shared with queues and work items.
//
// State below is guarded by the scheduler lock (the stop waits on it).
#include <wdf.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/driver_call.h"
#include "core/faults.h"
#include "core/scheduler.h"
#include "kernel/timer.h"
#include "wdf/fx_callback_lock.h"
#include "wdf/fx_device.h"
#include "wdf/fx_driver.h"

namespace platform::wdf {

namespace {

// Earlier sizes of WDF_TIMER_CONFIG the framework still accepts: before TolerableDelay
// (1.7) and before UseHighResolutionTimer (1.11).
struct timer_config_v1_7 {
    ULONG Size;
    PFN_WDF_TIMER EvtTimerFunc;
    ULONG Period;
    BOOLEAN AutomaticSerialization;
};
struct timer_config_v1_11 {
    ULONG Size;
    PFN_WDF_TIMER EvtTimerFunc;
    ULONG Period;
    BOOLEAN AutomaticSerialization;
    ULONG TolerableDelay;
};

// Short-lived platform threads at PASSIVE_LEVEL: passive-level timer callbacks and deferred
// timer rundowns. Finished threads are joined when the next one starts, the rest at exit.
struct passive_threads {
    std::mutex mutex;
    std::vector<std::shared_ptr<scheduler::joinable>> threads;
};

passive_threads& workers() {
    static auto* w = new passive_threads;
    return *w;
}

void join_workers_at_exit() {
    std::vector<std::shared_ptr<scheduler::joinable>> threads;
    {
        std::lock_guard g(workers().mutex);
        threads.swap(workers().threads);
    }
    for (auto& j : threads) {
        j->join();
    }
}

void run_at_passive(std::string name, std::function<void()> body) {
    static const bool registered = [] { return std::atexit(join_workers_at_exit) == 0; }();
    (void)registered;
    auto thread = scheduler::get().start_thread(std::move(name), std::move(body));
    std::vector<std::shared_ptr<scheduler::joinable>> done;
    {
        auto& w = workers();
        std::lock_guard g(w.mutex);
        auto it = std::partition(w.threads.begin(), w.threads.end(),
                                 [](auto& j) { return !j->finished(); });
        done.assign(std::make_move_iterator(it), std::make_move_iterator(w.threads.end()));
        w.threads.erase(it, w.threads.end());
        w.threads.push_back(std::move(thread));
    }
    for (auto& j : done) {
        j->join();
    }
}

fx_device* device_of(fx_object* object) {
    for (fx_object* o = object; o != nullptr; o = o->parent()) {
        if (o->type() == fx_type::device) {
            return static_cast<fx_device*>(o);
        }
    }
    return nullptr;
}

class fx_timer : public fx_object {
  public:
    fx_timer() : fx_object(fx_type::timer) {
        KeInitializeTimerEx(&timer_, NotificationTimer);
        KeInitializeDpc(&dpc_, dpc_thunk, this);
        kernel::timers::mark_platform_dpc(&dpc_);
    }

    PFN_WDF_TIMER callback = nullptr;
    ULONG period_ms = 0;
    ULONG tolerable_delay_ms = 0;
    bool passive = false;
    fx_callback_lock* serialising_lock = nullptr;  // held around EvtTimerFunc, if any
    fx_driver* driver = nullptr;

    BOOLEAN start(LONGLONG due_time);
    BOOLEAN stop(bool wait, const char* routine);

  protected:
    ~fx_timer() override { kernel::timers::forget_platform_dpc(&dpc_); }
    void dispose() override;

  private:
    static VOID dpc_thunk(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
    void run_callback();
    void enqueue_passive();
    void rundown();
    BOOLEAN stop_and_wait();

    KTIMER timer_;
    KDPC dpc_;
    // Guarded by the scheduler lock.
    bool running_down_ = false;
    thread_record* callback_thread_ = nullptr;  // running EvtTimerFunc now
    thread_record* stop_thread_ = nullptr;      // in WdfTimerStop(Wait=TRUE) now
    bool stop_again_ = false;                   // started while a stop was cancelling
    bool start_aborted_ = false;                // a start refused because of a stop
    bool passive_queued_ = false;               // a passive callback waits for the worker
    bool passive_running_ = false;              // the passive worker is alive
};

VOID fx_timer::dpc_thunk(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
    (void)dpc;
    (void)argument1;
    (void)argument2;
    auto* self = static_cast<fx_timer*>(context);
    if (self->passive) {
        self->enqueue_passive();
    } else {
        self->run_callback();
    }
}

void fx_timer::run_callback() {
    auto& s = scheduler::get();
    {
        std::lock_guard g(s.lock());
        callback_thread_ = &s.current_locked();
    }
    {
        driver_scope scope(driver);
        // Serialisation with the parent: its synchronisation scope's callback lock, if any,
        // taken before the call so the verifier sees the callback's own locks only.
        callback_lock_hold hold(serialising_lock);
        verifier::driver_call call({"EvtTimerFunc", handle()});
        callback(handle_as<WDFTIMER>());
        hold.check_returned("EvtTimerFunc");
        call.returned();
    }
    std::lock_guard g(s.lock());
    callback_thread_ = nullptr;
    s.wake();
}

// A passive-level timer's expiry: the worker calls EvtTimerFunc; an expiry while a call is
// still waiting for the worker adds nothing.
void fx_timer::enqueue_passive() {
    auto& s = scheduler::get();
    {
        std::lock_guard g(s.lock());
        if (passive_queued_) {
            return;
        }
        passive_queued_ = true;
        if (passive_running_) {
            return;  // the running worker takes it next
        }
        passive_running_ = true;
    }
    run_at_passive("wdf-timer", [this] {
        auto& sched = scheduler::get();
        for (;;) {
            {
                std::lock_guard g(sched.lock());
                if (!passive_queued_) {
                    passive_running_ = false;
                    sched.wake();
                    return;  // `this` may be gone from here on
                }
                passive_queued_ = false;
            }
            run_callback();
        }
    });
}

BOOLEAN fx_timer::start(LONGLONG due_time) {
    auto& s = scheduler::get();
    {
        std::lock_guard g(s.lock());
        if (running_down_) {
            // The framework: "will lead to a crash".
            violation("WdfTimerStart on a WDFTIMER that is being deleted " +
                          verifier::describe_current_call(),
                      reinterpret_cast<std::uintptr_t>(handle()));
        }
        if (stop_thread_ != nullptr) {
            start_aborted_ = true;  // the stop in progress wins
            return FALSE;
        }
    }
    fx_ref hold(this);
    LARGE_INTEGER due;
    due.QuadPart = due_time;
    BOOLEAN was_set = KeSetCoalescableTimer(&timer_, due, period_ms, tolerable_delay_ms, &dpc_);
    std::lock_guard g(s.lock());
    if (stop_thread_ != nullptr) {
        stop_again_ = true;
    }
    return was_set;
}

BOOLEAN fx_timer::stop_and_wait() {
    auto& s = scheduler::get();
    std::unique_lock lk(s.lock());
    start_aborted_ = false;
    stop_thread_ = &s.current_locked();
    BOOLEAN was_set;
    do {
        stop_again_ = false;
        lk.unlock();
        was_set = KeCancelTimer(&timer_);
        KeFlushQueuedDpcs();  // the DPC in flight, and a dispatch-level callback with it
        lk.lock();
        std::function<bool()> idle = [this] { return !passive_queued_ && !passive_running_; };
        s.block(lk, idle, no_deadline, "a WDFTIMER's passive-level callback to return");
        // A callback that was running restarted the timer while it was being cancelled.
    } while (!was_set && stop_again_);
    stop_thread_ = nullptr;
    stop_again_ = false;
    if (start_aborted_) {
        was_set = TRUE;
        start_aborted_ = false;
    }
    return was_set;
}

BOOLEAN fx_timer::stop(bool wait, const char* routine) {
    if (!wait) {
        return KeCancelTimer(&timer_);
    }
    auto& s = scheduler::get();
    {
        std::unique_lock lk(s.lock());
        thread_record& me = s.current_locked();
        if (callback_thread_ == &me) {
            lk.unlock();
            verifier_break(
                std::string(routine) +
                "(Wait=TRUE) from the WDFTIMER's own callback (it would wait for itself)");
            return FALSE;
        }
        if (me.irql > PASSIVE_LEVEL) {
            int irql = me.irql;
            lk.unlock();
            verifier_break(std::string(routine) + "(Wait=TRUE) called at IRQL " +
                           std::to_string(irql) + ", above PASSIVE_LEVEL");
            return FALSE;
        }
        if (stop_thread_ != nullptr) {
            lk.unlock();
            verifier_break(std::string(routine) +
                           ": another thread is already stopping this WDFTIMER");
        }
    }
    return stop_and_wait();
}

// The deletion's half of the rundown (FxTimer::FlushAndRundown): no callback is queued or
// running once it returns, so the DPC never sees a freed timer.
void fx_timer::rundown() {
    stop_and_wait();
}

void fx_timer::dispose() {
    auto& s = scheduler::get();
    bool own_callback;
    KIRQL irql;
    {
        std::lock_guard g(s.lock());
        running_down_ = true;
        own_callback = callback_thread_ == &s.current_locked();
        irql = s.current_locked().irql;
    }
    if (irql == PASSIVE_LEVEL && !own_callback) {
        rundown();
        return;
    }
    if (own_callback && passive) {
        violation(
            "a passive-level WDFTIMER deleted from its own callback: the deletion waits "
            "for that callback to return (deadlock) " +
                verifier::describe_current_call(),
            reinterpret_cast<std::uintptr_t>(handle()));
    }
    // At DISPATCH_LEVEL (its own dispatch-level callback, or a parent deleted there): no more
    // expiries from now on; the wait for a callback still in flight goes to a worker, which
    // holds the timer until then.
    KeCancelTimer(&timer_);
    KeRemoveQueueDpc(&dpc_);
    add_ref();
    run_at_passive("wdf-timer-rundown", [this] {
        rundown();
        release();
    });
}

}  // namespace
}  // namespace platform::wdf

using namespace platform;
using namespace platform::wdf;

extern "C" {

NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                        WDFTIMER* Timer) {
    if (auto st = faults::fault_point("WdfTimerCreate"))
        return *st;
    // FxValidateObjectAttributesForParentHandle: attributes with a parent are required.
    if (Attributes == nullptr || Attributes->ParentObject == nullptr)
        return STATUS_WDF_PARENT_NOT_SPECIFIED;
    fx_object* parent = fx_object::get(Attributes->ParentObject, "WdfTimerCreate");
    if (Config == nullptr || Timer == nullptr)
        violation("WdfTimerCreate: NULL config or timer pointer");
    *Timer = nullptr;
    if (Config->Size != sizeof(WDF_TIMER_CONFIG) && Config->Size != sizeof(timer_config_v1_7) &&
        Config->Size != sizeof(timer_config_v1_11)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (Config->Period > MAXLONG)
        return STATUS_INVALID_PARAMETER;
    ULONG tolerable_delay = Config->Size > sizeof(timer_config_v1_7) ? Config->TolerableDelay : 0;
    bool high_resolution =
        Config->Size > sizeof(timer_config_v1_11) && Config->UseHighResolutionTimer;
    if (high_resolution && tolerable_delay > 0)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = validate_attributes(Attributes, attr_exec_level_allowed);
    if (!NT_SUCCESS(status))
        return status;
    bool passive = Attributes->ExecutionLevel == WdfExecutionLevelPassive;
    if (Config->Period > 0 && passive) {
        // A passive-level timer cannot be periodic: the framework asks for a one-shot timer
        // restarted from its callback instead.
        return STATUS_NOT_SUPPORTED;
    }
    if (Config->EvtTimerFunc == nullptr)
        violation("WdfTimerCreate: NULL EvtTimerFunc");
    fx_device* device = device_of(parent);
    if (device == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;  // the parent has no device as an ancestor

    // FxObject::_GetEffectiveLock: serialise with the constraints owner's scope, if any.
    fx_callback_lock* serialising_lock = nullptr;
    status = effective_callback_lock(parent, Config->AutomaticSerialization != FALSE, passive,
                                     &serialising_lock);
    if (!NT_SUCCESS(status))
        return status;

    auto* timer = new fx_timer;
    timer->callback = Config->EvtTimerFunc;
    timer->period_ms = Config->Period;
    timer->tolerable_delay_ms = tolerable_delay;
    timer->passive = passive;
    timer->serialising_lock = serialising_lock;
    timer->driver = device->driver;
    status = timer->commit(Attributes, nullptr, attr_parent_required | attr_exec_level_allowed);
    if (!NT_SUCCESS(status)) {
        fx_object::discard(timer);
        return status;
    }
    *Timer = timer->handle_as<WDFTIMER>();
    return STATUS_SUCCESS;
}

BOOLEAN WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime) {
    return fx_get<fx_timer>(Timer, fx_type::timer, "WdfTimerStart")->start(DueTime);
}

BOOLEAN WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait) {
    return fx_get<fx_timer>(Timer, fx_type::timer, "WdfTimerStop")
        ->stop(Wait != FALSE, "WdfTimerStop");
}

WDFOBJECT WdfTimerGetParentObject(WDFTIMER Timer) {
    auto* timer = fx_get<fx_timer>(Timer, fx_type::timer, "WdfTimerGetParentObject");
    return timer->parent() == nullptr ? nullptr : timer->parent()->handle();
}

}  // extern "C"
