// IRQL, dispatcher objects (events and threads), waits, delays, time and system threads.
//
// Every dispatcher object's signal state is read and changed under the scheduler lock, so a
// waiter's predicate and the consumption of a synchronization event happen in one critical
// section: a set synchronization event releases exactly one waiter.
#include <wdm.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/bugcheck.h"
#include "core/driver_call.h"
#include "core/faults.h"
#include "core/pause_points.h"
#include "core/lock_tracker.h"
#include "core/scheduler.h"
#include "core/symbolizer.h"
#include "kernel/kernel.h"
#include "kernel/named_events.h"
#include "kernel/object_manager.h"
#include "kernel/strings.h"

// The thread body drivers see: a dispatcher header first, as the kernel's own thread.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
};
struct _ETHREAD {
    _KTHREAD Tcb;
};

namespace platform::kernel {

namespace {

// Dispatcher header types, as the kernel numbers them.
constexpr UCHAR event_notification_type = 0;
constexpr UCHAR event_synchronization_type = 1;
constexpr UCHAR thread_type = 6;
constexpr UCHAR event_size = sizeof(KEVENT) / sizeof(LONG);
// Timers (timer.cpp) are dispatcher objects too.
constexpr UCHAR timer_notification_type = 8;
constexpr UCHAR timer_synchronization_type = 9;
constexpr UCHAR timer_size = sizeof(KTIMER) / sizeof(LONG);

thread_record& self() {
    return scheduler::get().current();
}

[[noreturn]] void irql_violation(const char* what, KIRQL irql, std::uint64_t p2 = 0) {
    bug_check(bug_code::irql_not_less_or_equal, what, irql, p2);
}

}  // namespace

class thread_object : public ob::object {
  public:
    explicit thread_object(bool system_thread)
        : ob::object(ob::kind::thread, &body_), system_thread_(system_thread) {
        body_.Tcb.Header.Type = thread_type;
        body_.Tcb.Header.Size = sizeof(_ETHREAD) / sizeof(LONG);
        InitializeListHead(&body_.Tcb.Header.WaitListHead);
    }
    PETHREAD ethread() { return &body_; }
    bool system_thread() const { return system_thread_; }

    // Guarded by the scheduler lock.
    NTSTATUS exit_status = STATUS_PENDING;
    KPRIORITY priority = 8;
    std::uint64_t thread_id = 0;

    // Marks the thread terminated and wakes its waiters.
    void terminate(NTSTATUS status) {
        auto& s = scheduler::get();
        std::lock_guard g(s.lock());
        exit_status = status;
        body_.Tcb.Header.SignalState = 1;
        s.wake();
    }

  private:
    _ETHREAD body_{};
    bool system_thread_;
};

namespace {

struct thread_terminate_request {
    NTSTATUS status;
};

// What the verifier knows of a system thread: whose it is and whether it still runs the
// driver's code.
struct driver_thread {
    std::string name;
    PDRIVER_OBJECT driver = nullptr;  // null: no particular driver
    const void* start_routine = nullptr;
    const void* created_at = nullptr;  // return address into the driver's PsCreateSystemThread
    std::atomic<bool> in_driver_code{true};
};

// System threads' joinables, reaped once finished so a thread never joins itself; `ending`
// is set when the thread has done everything but leave, so it is safe to join at exit.
struct reaped_thread {
    std::shared_ptr<scheduler::joinable> joinable;
    std::shared_ptr<std::atomic<bool>> ending;
    std::shared_ptr<driver_thread> info;
};
struct reaper {
    std::mutex lock;
    std::vector<reaped_thread> threads;
};
reaper& thread_reaper() {
    static reaper* r = new reaper();
    return *r;
}

// Joins the threads that have finished (all that are ending, at process exit).
void reap_threads(bool at_exit) {
    std::vector<reaped_thread> done;
    {
        auto& r = thread_reaper();
        std::lock_guard g(r.lock);
        for (auto it = r.threads.begin(); it != r.threads.end();) {
            if (it->joinable->finished() || (at_exit && it->ending->load())) {
                done.push_back(std::move(*it));
                it = r.threads.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& t : done) {
        t.joinable->join();
    }
}

std::atomic<PDRIVER_OBJECT (*)()> driver_resolver{nullptr};
thread_local PDRIVER_OBJECT tls_thread_driver = nullptr;  // set on system threads

PDRIVER_OBJECT creating_driver() {
    if (tls_thread_driver != nullptr) {
        return tls_thread_driver;
    }
    auto resolver = driver_resolver.load();
    return resolver != nullptr ? resolver() : nullptr;
}

void reap_finished_threads() {
    reap_threads(false);
}

thread_object* thread_of(const void* p) {
    return ob::as<thread_object>(ob::from_body(p), ob::kind::thread);
}

// Which kind of dispatcher object `p` is; bug-checks anything a thread cannot wait on.
UCHAR dispatcher_type(const void* p, const char* routine) {
    if (p == nullptr) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  std::string(routine) + ": wait on a NULL object");
    }
    auto* h = static_cast<const DISPATCHER_HEADER*>(p);
    if ((h->Type == event_notification_type || h->Type == event_synchronization_type) &&
        h->Size == event_size) {
        return h->Type;
    }
    if (h->Type == thread_type && thread_of(p) != nullptr) {
        return thread_type;
    }
    if ((h->Type == timer_notification_type || h->Type == timer_synchronization_type) &&
        h->Size == timer_size) {
        return h->Type;
    }
    bug_check(bug_code::driver_verifier_detected_violation,
              std::string(routine) + ": the object is not an initialised event, timer or thread",
              reinterpret_cast<std::uintptr_t>(p), h->Type);
}

void check_event(PRKEVENT event, const char* routine) {
    if (event == nullptr ||
        (event->Header.Type != event_notification_type &&
         event->Header.Type != event_synchronization_type) ||
        event->Header.Size != event_size) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  std::string(routine) + ": the event was never initialised",
                  reinterpret_cast<std::uintptr_t>(event));
    }
}

// The IRQL rules of KeWaitForSingleObject and KeWaitForMultipleObjects: a wait that tests
// and returns (a zero time-out) may run at DISPATCH_LEVEL; one that can block (no time-out, or
// a non-zero one) at APC_LEVEL at most. `site` is the driver's call of the routine.
void check_wait_irql(const LARGE_INTEGER* timeout, const char* routine, const void* site) {
    KIRQL irql = self().irql;
    bool zero = timeout != nullptr && timeout->QuadPart == 0;
    if (irql <= APC_LEVEL || (zero && irql <= DISPATCH_LEVEL)) {
        return;
    }
    std::string what = std::string(routine) +
                       (zero                 ? " (a zero time-out)"
                        : timeout == nullptr ? " with no time-out"
                                             : " with a non-zero time-out") +
                       " at IRQL " + std::to_string(irql) +
                       (zero ? " (above DISPATCH_LEVEL)" : " (above APC_LEVEL)") +
                       ", called from " + symbolizer::describe(site);
    std::string call = verifier::describe_current_call();
    if (!call.empty()) {
        what += " " + call;
    }
    irql_violation(what.c_str(), irql, reinterpret_cast<std::uintptr_t>(timeout));
}

bool signalled_locked(void* p) {
    return static_cast<DISPATCHER_HEADER*>(p)->SignalState > 0;
}

void consume_locked(void* p) {
    auto* h = static_cast<DISPATCHER_HEADER*>(p);
    if (h->Type == event_synchronization_type || h->Type == timer_synchronization_type) {
        h->SignalState = 0;
    }
}

std::string describe_wait(const char* routine, ULONG count, void* const* objects) {
    char buf[40];
    std::string out = routine;
    out += "(";
    for (ULONG i = 0; i < count && i < 8; ++i) {
        std::snprintf(buf, sizeof buf, "%s%p", i ? ", " : "", objects[i]);
        out += buf;
    }
    return out + ")";
}

// `interrupted` (read under the scheduler lock, may be null) ends the wait early with
// STATUS_USER_APC, as the termination of a user-mode thread ends its wait on Windows.
NTSTATUS wait_objects(ULONG count, void* const* objects, WAIT_TYPE type,
                      const LARGE_INTEGER* timeout, const char* routine, const void* site,
                      const std::function<bool()>* interrupted = nullptr) {
    check_wait_irql(timeout, routine, site);
    for (ULONG i = 0; i < count; ++i) {
        dispatcher_type(objects[i], routine);
    }
    ticks deadline = timeout != nullptr ? deadline_of(&timeout->QuadPart) : no_deadline;
    bool zero = timeout != nullptr && timeout->QuadPart == 0;
    auto& s = scheduler::get();
    std::string what = describe_wait(routine, count, objects);
    std::unique_lock lk(s.lock());
    auto satisfied = [&]() -> LONG {
        if (type == WaitAny) {
            for (ULONG i = 0; i < count; ++i) {
                if (signalled_locked(objects[i])) {
                    return static_cast<LONG>(i);
                }
            }
            return -1;
        }
        for (ULONG i = 0; i < count; ++i) {
            if (!signalled_locked(objects[i])) {
                return -1;
            }
        }
        return 0;
    };
    std::function<bool()> ready = [&] {
        return satisfied() >= 0 || (interrupted != nullptr && (*interrupted)());
    };
    bool ok = zero ? ready() : s.block(lk, ready, deadline, what);
    LONG index = satisfied();
    if (index < 0 && ok) {
        return STATUS_USER_APC;
    }
    if (!ok) {
        return STATUS_TIMEOUT;
    }
    if (type == WaitAny) {
        consume_locked(objects[index]);
    } else {
        for (ULONG i = 0; i < count; ++i) {
            consume_locked(objects[i]);
        }
    }
    return STATUS_WAIT_0 + index;
}

}  // namespace

ticks deadline_of(const LONGLONG* timeout) {
    if (timeout == nullptr) {
        return no_deadline;
    }
    LONGLONG t = *timeout;
    ticks now = scheduler::get().now();
    if (t < 0) {
        return t == INT64_MIN || now > no_deadline + t ? no_deadline : now - t;
    }
    return t - boot_system_time;  // may already have passed
}

void set_driver_resolver(PDRIVER_OBJECT (*resolver)()) {
    driver_resolver.store(resolver);
}

PDRIVER_OBJECT system_thread_driver() {
    return tls_thread_driver;
}

std::vector<std::string> driver_threads_running(PDRIVER_OBJECT driver) {
    std::vector<std::string> out;
    auto& r = thread_reaper();
    std::lock_guard g(r.lock);
    for (auto& t : r.threads) {
        const driver_thread& info = *t.info;
        if (!info.in_driver_code.load() || (driver != nullptr && info.driver != driver)) {
            continue;
        }
        out.push_back("system thread '" + info.name +
                      "' still running driver code: start routine " +
                      symbolizer::describe_code(info.start_routine) + ", created at " +
                      symbolizer::describe(info.created_at));
    }
    return out;
}

void expect_no_driver_threads(PDRIVER_OBJECT driver) {
    std::vector<std::string> running = driver_threads_running(driver);
    if (running.empty()) {
        return;
    }
    std::string what = "driver ";
    what += driver != nullptr ? "'" + to_utf8(&driver->DriverName) + "'" : std::string("code");
    what += " unloaded while its system threads still run:";
    for (auto& line : running) {
        what += "\n  " + line;
    }
    bug_check(bug_code::driver_unloaded_without_cancelling_pending_operations, what,
              reinterpret_cast<std::uintptr_t>(driver), running.size());
}

thread_object* current_thread_object() {
    thread_record& rec = self();
    if (rec.kernel_thread == nullptr) {
        // A thread the platform started without a kernel thread object (the test's own thread,
        // a worker): give it one, owned by the thread record, signalled when the thread ends.
        auto* t = new thread_object(false);
        t->mark_system();
        t->thread_id = rec.id;
        rec.kernel_thread = t;
        rec.at_exit.push_back([t] {
            t->terminate(STATUS_SUCCESS);
            t->release();
        });
    }
    return static_cast<thread_object*>(rec.kernel_thread);
}

NTSTATUS thread_exit_status(PETHREAD thread) {
    thread_object* t = thread_of(thread);
    if (t == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard g(scheduler::get().lock());
    return t->exit_status;
}

bool thread_terminated(PETHREAD thread) {
    thread_object* t = thread_of(thread);
    if (t == nullptr) {
        return false;
    }
    std::lock_guard g(scheduler::get().lock());
    return thread->Tcb.Header.SignalState > 0;
}

}  // namespace platform::kernel

using namespace platform;
using platform::kernel::thread_object;

// ---- IRQL --------------------------------------------------------------------------------

extern "C" KIRQL KeGetCurrentIrql(VOID) {
    return scheduler::get().current().irql;
}

extern "C" VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    thread_record& rec = scheduler::get().current();
    if (NewIrql < rec.irql || NewIrql > HIGH_LEVEL) {
        bug_check(bug_code::irql_not_greater_or_equal, "KeRaiseIrql to a lower IRQL", rec.irql,
                  NewIrql);
    }
    if (OldIrql != nullptr) {
        *OldIrql = rec.irql;
    }
    rec.irql = NewIrql;
}

extern "C" VOID KeLowerIrql(KIRQL NewIrql) {
    thread_record& rec = scheduler::get().current();
    if (NewIrql > rec.irql) {
        bug_check(bug_code::irql_not_less_or_equal, "KeLowerIrql to a higher IRQL", rec.irql,
                  NewIrql);
    }
    rec.irql = NewIrql;
}

extern "C" KIRQL KeRaiseIrqlToDpcLevel(VOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

extern "C" VOID KeCheckPagedCode(PCSTR File, ULONG Line) {
    KIRQL irql = scheduler::get().current().irql;
    if (irql > APC_LEVEL) {
        std::string what = "pageable code entered at IRQL " + std::to_string(irql) + " (" +
                           (File ? File : "?") + ":" + std::to_string(Line) + ")";
        bug_check(bug_code::irql_not_less_or_equal, what, irql, Line);
    }
}

// ---- Events ------------------------------------------------------------------------------

extern "C" VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    if (Event == nullptr || (Type != NotificationEvent && Type != SynchronizationEvent)) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  "KeInitializeEvent: NULL event or unknown type",
                  reinterpret_cast<std::uintptr_t>(Event), Type);
    }
    auto& s = scheduler::get();
    std::lock_guard g(s.lock());
    Event->Header.Type = Type == NotificationEvent ? 0 : 1;
    Event->Header.Signalling = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Reserved1 = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

namespace {
void check_set_irql(const char* routine) {
    KIRQL irql = scheduler::get().current().irql;
    if (irql > DISPATCH_LEVEL) {
        bug_check(bug_code::irql_not_less_or_equal, std::string(routine) + " above DISPATCH_LEVEL",
                  irql);
    }
}
}  // namespace

extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    platform::pause_points::reach("KeSetEvent", Event);
    platform::kernel::check_event(Event, "KeSetEvent");
    check_set_irql("KeSetEvent");
    auto& s = scheduler::get();
    std::lock_guard g(s.lock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    s.wake();
    return previous;
}

extern "C" LONG KeResetEvent(PRKEVENT Event) {
    platform::kernel::check_event(Event, "KeResetEvent");
    check_set_irql("KeResetEvent");
    std::lock_guard g(scheduler::get().lock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

extern "C" VOID KeClearEvent(PRKEVENT Event) {
    platform::kernel::check_event(Event, "KeClearEvent");
    std::lock_guard g(scheduler::get().lock());
    Event->Header.SignalState = 0;
}

extern "C" LONG KeReadStateEvent(PRKEVENT Event) {
    platform::kernel::check_event(Event, "KeReadStateEvent");
    std::lock_guard g(scheduler::get().lock());
    return Event->Header.SignalState;
}

// ---- Waits -------------------------------------------------------------------------------

extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                          KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                          PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;  // no APCs are delivered here, so an alertable wait is never alerted
    platform::pause_points::reach("KeWaitForSingleObject", Object);
    if (auto st = faults::fault_point("KeWaitForSingleObject")) {
        return *st;
    }
    void* objects[1] = {Object};
    return platform::kernel::wait_objects(1, objects, WaitAny, Timeout, "KeWaitForSingleObject",
                                          __builtin_return_address(0));
}

extern "C" NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                             KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                             BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                             PKWAIT_BLOCK WaitBlockArray) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS) {
        bug_check(bug_code::maximum_wait_objects_exceeded,
                  "KeWaitForMultipleObjects: more than 64 objects (or none)", Count);
    }
    if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr) {
        bug_check(bug_code::maximum_wait_objects_exceeded,
                  "KeWaitForMultipleObjects: more than three objects without a wait-block array",
                  Count);
    }
    if (Object == nullptr || (WaitType != WaitAny && WaitType != WaitAll)) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  "KeWaitForMultipleObjects: NULL object array or unknown wait type", WaitType);
    }
    platform::pause_points::reach("KeWaitForMultipleObjects", Object[0]);
    if (auto st = faults::fault_point("KeWaitForMultipleObjects")) {
        return *st;
    }
    return platform::kernel::wait_objects(Count, Object, WaitType, Timeout,
                                          "KeWaitForMultipleObjects", __builtin_return_address(0));
}

NTSTATUS platform::kernel::wait_for_user(ULONG count, void* const* objects, WAIT_TYPE type,
                                         const LARGE_INTEGER* timeout,
                                         const std::function<bool()>& interrupted) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || objects == nullptr ||
        (type != WaitAny && type != WaitAll)) {
        return STATUS_INVALID_PARAMETER;
    }
    platform::pause_points::reach("KeWaitForMultipleObjects", objects[0]);
    if (auto st = faults::fault_point("KeWaitForMultipleObjects")) {
        return *st;
    }
    return platform::kernel::wait_objects(count, objects, type, timeout, "WaitForMultipleObjects",
                                          __builtin_return_address(0), &interrupted);
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                           PLARGE_INTEGER Interval) {
    (void)WaitMode;
    (void)Alertable;
    if (Interval == nullptr) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  "KeDelayExecutionThread: NULL interval");
    }
    // A delay always gives up the processor, so even a zero interval needs IRQL <= APC_LEVEL.
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) {
        std::string what = "KeDelayExecutionThread at IRQL " + std::to_string(irql) +
                           " (above APC_LEVEL), called from " +
                           symbolizer::describe(__builtin_return_address(0));
        std::string call = verifier::describe_current_call();
        if (!call.empty()) {
            what += " " + call;
        }
        bug_check(bug_code::irql_not_less_or_equal, what, irql);
    }
    if (auto st = faults::fault_point("KeDelayExecutionThread")) {
        return *st;
    }
    if (Interval->QuadPart == 0) {
        return STATUS_SUCCESS;
    }
    ticks deadline = platform::kernel::deadline_of(&Interval->QuadPart);
    auto& s = scheduler::get();
    std::unique_lock lk(s.lock());
    std::function<bool()> never = [] { return false; };
    s.block(lk, never, deadline, "KeDelayExecutionThread");
    return STATUS_SUCCESS;
}

// ---- Time --------------------------------------------------------------------------------

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = platform::kernel::boot_system_time + scheduler::get().now();
}

extern "C" ULONGLONG KeQueryInterruptTime(VOID) {
    return static_cast<ULONGLONG>(scheduler::get().now());
}

// ---- Threads -----------------------------------------------------------------------------

extern "C" NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                         POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                         PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                         PVOID StartContext) {
    if (auto st = faults::fault_point("PsCreateSystemThread")) {
        return *st;
    }
    KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        bug_check(bug_code::irql_not_less_or_equal, "PsCreateSystemThread above PASSIVE_LEVEL",
                  irql);
    }
    if (ThreadHandle == nullptr || StartRoutine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    (void)ProcessHandle;  // every system thread belongs to the system process
    platform::kernel::reap_finished_threads();
    static std::once_flag exit_hook;
    std::call_once(exit_hook, [] { std::atexit([] { platform::kernel::reap_threads(true); }); });

    auto obj = ob::ref<thread_object>(new thread_object(true), true);
    bool kernel_handle =
        (ObjectAttributes != nullptr && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE)) ||
        scheduler::get().current().user_process == nullptr;
    ob::handle_table& table = kernel_handle ? ob::kernel_handles() : ob::table_for(nullptr);
    HANDLE h = table.insert(obj, DesiredAccess == 0 ? THREAD_ALL_ACCESS : DesiredAccess);

    // The running thread holds its own reference until it has signalled its end.
    thread_object* t = obj.get();
    t->add_ref();
    static std::atomic<unsigned> counter{0};
    std::string name = "system thread " + std::to_string(++counter);
    auto ending = std::make_shared<std::atomic<bool>>(false);
    auto info = std::make_shared<platform::kernel::driver_thread>();
    info->name = name;
    info->driver = platform::kernel::creating_driver();
    info->start_routine = reinterpret_cast<const void*>(StartRoutine);
    info->created_at = __builtin_return_address(0);
    auto joinable =
        scheduler::get().start_thread(name, [t, StartRoutine, StartContext, ending, info] {
            thread_record& rec = scheduler::get().current();
            rec.kernel_thread = t;
            rec.irql = PASSIVE_LEVEL;
            platform::kernel::tls_thread_driver = info->driver;
            NTSTATUS exit_status = STATUS_SUCCESS;
            {
                // The kernel calls the start routine as it calls any driver code: it must return
                // (or terminate) at PASSIVE_LEVEL holding no lock it took.
                verifier::driver_call call({"system thread routine", t->ethread()});
                try {
                    StartRoutine(StartContext);
                } catch (const platform::kernel::thread_terminate_request& r) {
                    exit_status = r.status;
                }
                call.returned();
            }
            info->in_driver_code.store(false);
            rec.kernel_thread = nullptr;
            ending->store(true);
            t->terminate(exit_status);
            t->release();
        });
    {
        std::lock_guard g(scheduler::get().lock());
        t->thread_id = joinable->record()->id;
    }
    {
        auto& r = platform::kernel::thread_reaper();
        std::lock_guard g(r.lock);
        r.threads.push_back({std::move(joinable), std::move(ending), std::move(info)});
    }
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(std::uintptr_t(4));
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(std::uintptr_t(t->thread_id * 4));
    }
    *ThreadHandle = h;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    thread_record& rec = scheduler::get().current();
    auto* t = static_cast<thread_object*>(rec.kernel_thread);
    if (t == nullptr || !t->system_thread()) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  "PsTerminateSystemThread called on a thread that is not a system thread");
    }
    throw platform::kernel::thread_terminate_request{ExitStatus};
}

extern "C" PKTHREAD KeGetCurrentThread(VOID) {
    return &platform::kernel::current_thread_object()->ethread()->Tcb;
}

extern "C" PETHREAD PsGetCurrentThread(VOID) {
    return platform::kernel::current_thread_object()->ethread();
}

extern "C" HANDLE PsGetCurrentThreadId(VOID) {
    return reinterpret_cast<HANDLE>(std::uintptr_t(scheduler::get().current().id * 4));
}

extern "C" BOOLEAN PsIsSystemThread(PETHREAD Thread) {
    thread_object* t = platform::kernel::thread_of(Thread);
    return t != nullptr && t->system_thread() ? TRUE : FALSE;
}

extern "C" KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    thread_object* t = platform::kernel::thread_of(Thread);
    if (t == nullptr || Priority < 0 || Priority > 31) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  "KeSetPriorityThread: not a thread or priority out of range",
                  reinterpret_cast<std::uintptr_t>(Thread), static_cast<std::uint64_t>(Priority));
    }
    std::lock_guard g(scheduler::get().lock());
    KPRIORITY old = t->priority;
    t->priority = Priority;
    return old;
}
