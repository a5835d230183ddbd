// Kernel timers and DPCs: KeInitializeTimer(Ex), KeSetTimer(Ex), KeSetCoalescableTimer,
// KeCancelTimer, KeReadStateTimer, KeInitializeDpc, KeInsertQueueDpc, KeRemoveQueueDpc,
// KeSetImportanceDpc and KeFlushQueuedDpcs.
//
// The timer queue, the DPC queue and every timer's signal state are guarded by the scheduler
// lock, as every dispatcher object's state is (ke.cpp), so a wait on a timer and its expiry
// meet in one critical section. One "dpc" thread expires timers and runs DPC routines; it
// blocks through the scheduler until the earliest due time, or until a DPC is queued or a
// timer set, and ends when no timer is set and no DPC is queued.
#include "kernel/timer.h"

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/bugcheck.h"
#include "core/driver_call.h"
#include "core/scheduler.h"
#include "kernel/kernel.h"
#include "kernel/system_config.h"

namespace platform::kernel::timers {
namespace {

// Dispatcher header types and object types, as the kernel numbers them.
constexpr UCHAR timer_notification_type = 8;
constexpr UCHAR timer_synchronization_type = 9;
constexpr UCHAR timer_size = sizeof(KTIMER) / sizeof(LONG);
constexpr UCHAR dpc_type = 19;
// TIMER_OR_DPC_INVALID: a timer or DPC that is set or queued where that is not permitted.
constexpr auto timer_or_dpc_invalid = static_cast<bug_code>(0xC7);

struct set_timer {
    ticks due;
    ticks period;  // 0 for a one-shot timer
    PKDPC dpc;
    std::uint64_t order;  // ties between timers due at the same time expire in setting order
};

struct queued_dpc {
    PKDPC dpc;
    std::uint64_t seq;  // insertion number, for KeFlushQueuedDpcs
};

struct engine_state {
    // Guarded by the scheduler lock.
    std::unordered_map<PKTIMER, set_timer> timers;
    std::deque<queued_dpc> dpcs;
    std::unordered_set<PKDPC> platform_dpcs;
    std::uint64_t last_seq = 0;
    std::uint64_t running_seq = 0;  // the DPC routine running now, 0 when none
    std::uint64_t next_order = 0;
    std::uint64_t generation = 0;  // changes when a timer is set: the thread re-reads its deadline
    bool thread_alive = false;

    std::mutex threads_mutex;  // guards `threads`
    std::vector<std::shared_ptr<scheduler::joinable>> threads;
};

engine_state& engine() {
    static auto* e = new engine_state;  // never destroyed: the thread may outlive main
    return *e;
}

[[noreturn]] void invalid(const std::string& what, const void* object, std::uint64_t p2 = 0) {
    bug_check(bug_code::driver_verifier_detected_violation, what,
              reinterpret_cast<std::uintptr_t>(object), p2);
}

void check_timer(const KTIMER* timer, const char* routine) {
    if (timer == nullptr ||
        (timer->Header.Type != timer_notification_type &&
         timer->Header.Type != timer_synchronization_type) ||
        timer->Header.Size != timer_size) {
        invalid(std::string(routine) + ": the timer was never initialised", timer);
    }
}

void check_dpc(const KDPC* dpc, const char* routine) {
    if (dpc == nullptr || dpc->Type != dpc_type || dpc->DeferredRoutine == nullptr) {
        invalid(std::string(routine) + ": the DPC was never initialised", dpc);
    }
}

void check_irql_at_most(KIRQL most, const char* routine) {
    KIRQL irql = scheduler::get().current().irql;
    if (irql > most) {
        bug_check(bug_code::irql_not_less_or_equal,
                  std::string(routine) + " called at IRQL " + std::to_string(irql) + " (at most " +
                      std::to_string(most) + ") " + verifier::describe_current_call(),
                  irql, most);
    }
}

bool dpc_queued_locked(const KDPC* dpc) {
    auto& e = engine();
    return std::any_of(e.dpcs.begin(), e.dpcs.end(),
                       [dpc](const queued_dpc& q) { return q.dpc == dpc; });
}

// Queues `dpc` unless it is queued already. Called with the scheduler lock held.
bool insert_dpc_locked(PKDPC dpc, PVOID argument1, PVOID argument2) {
    auto& e = engine();
    if (dpc->DpcData != nullptr) {
        return false;
    }
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    dpc->DpcData = &e;
    queued_dpc q{dpc, ++e.last_seq};
    if (dpc->Importance == HighImportance) {
        e.dpcs.push_front(q);
    } else {
        e.dpcs.push_back(q);
    }
    return true;
}

// The timer's due time has come: it is signalled (waiters see it under this lock), its DPC
// is queued and a periodic timer is set again. Returns whether the timer stays set.
bool fire_locked(PKTIMER timer, set_timer& entry, ticks now) {
    timer->Header.SignalState = 1;
    if (entry.dpc != nullptr) {
        // The expiry's system time, in two halves, as the kernel passes it to a timer DPC.
        ULARGE_INTEGER when;
        when.QuadPart = static_cast<ULONGLONG>(boot_system_time + entry.due);
        insert_dpc_locked(entry.dpc, reinterpret_cast<PVOID>(std::uintptr_t(when.LowPart)),
                          reinterpret_cast<PVOID>(std::uintptr_t(when.HighPart)));
    }
    if (entry.period <= 0) {
        return false;
    }
    entry.due += entry.period;
    if (entry.due <= now) {
        entry.due = now + entry.period;  // wall-clock time ran past several periods
    }
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(entry.due);
    return true;
}

void expire_due_locked(ticks now) {
    auto& e = engine();
    std::vector<std::pair<PKTIMER, set_timer*>> due;
    for (auto& [timer, entry] : e.timers) {
        if (entry.due <= now) {
            due.emplace_back(timer, &entry);
        }
    }
    std::sort(due.begin(), due.end(), [](const auto& a, const auto& b) {
        return a.second->due != b.second->due ? a.second->due < b.second->due
                                              : a.second->order < b.second->order;
    });
    for (auto& [timer, entry] : due) {
        if (!fire_locked(timer, *entry, now)) {
            e.timers.erase(timer);
        }
    }
    if (!due.empty()) {
        scheduler::get().wake();
    }
}

ticks earliest_due_locked() {
    ticks earliest = no_deadline;
    for (auto& [timer, entry] : engine().timers) {
        earliest = std::min(earliest, entry.due);
    }
    return earliest;
}

// Runs the DPC at the head of the queue, with the lock released around the routine.
void run_one_dpc(std::unique_lock<std::mutex>& lk, thread_record& me) {
    auto& e = engine();
    queued_dpc q = e.dpcs.front();
    e.dpcs.pop_front();
    PKDPC dpc = q.dpc;
    // Everything the call needs is read now: the routine may free the DPC's memory.
    dpc->DpcData = nullptr;
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID argument1 = dpc->SystemArgument1;
    PVOID argument2 = dpc->SystemArgument2;
    bool platform_routine = e.platform_dpcs.count(dpc) != 0;
    e.running_seq = q.seq;
    lk.unlock();
    me.irql = DISPATCH_LEVEL;
    if (platform_routine) {
        routine(dpc, context, argument1, argument2);
    } else {
        verifier::driver_call call({"DPC routine", dpc});
        routine(dpc, context, argument1, argument2);
    }
    me.irql = PASSIVE_LEVEL;
    lk.lock();
    e.running_seq = 0;
    scheduler::get().wake();
}

void engine_body() {
    auto& s = scheduler::get();
    auto& e = engine();
    thread_record& me = s.current();
    for (;;) {
        ticks now = s.now();  // stands still while this thread runs (virtual time)
        std::unique_lock lk(s.lock());
        expire_due_locked(now);
        if (!e.dpcs.empty()) {
            run_one_dpc(lk, me);
            continue;
        }
        if (e.timers.empty()) {
            e.thread_alive = false;
            return;
        }
        std::uint64_t generation = e.generation;
        std::function<bool()> ready = [&e, generation] {
            return !e.dpcs.empty() || e.generation != generation;
        };
        s.block(lk, ready, earliest_due_locked(), "the next timer expiry or a queued DPC");
    }
}

// Claims the job of starting the thread when none is alive. Called with the lock held; the
// caller starts it (start_engine) once the lock is released.
bool need_engine_locked() {
    auto& e = engine();
    if (e.thread_alive) {
        return false;
    }
    e.thread_alive = true;
    return true;
}

// At exit the threads that have ended are joined, and so is the live one when nothing is
// set or queued (it is on its way out); one still serving a timer left set is left to the
// process's end.
void join_engine_at_exit() {
    auto& e = engine();
    bool idle;
    {
        std::lock_guard g(scheduler::get().lock());
        idle = e.timers.empty() && e.dpcs.empty();
    }
    std::vector<std::shared_ptr<scheduler::joinable>> threads;
    {
        std::lock_guard g(e.threads_mutex);
        threads.swap(e.threads);
    }
    std::vector<std::shared_ptr<scheduler::joinable>> left;
    for (auto& j : threads) {
        if (idle || j->finished()) {
            j->join();
        } else {
            left.push_back(std::move(j));  // kept: dropping the handle would wait for it
        }
    }
    std::lock_guard g(e.threads_mutex);
    for (auto& j : left) {
        e.threads.push_back(std::move(j));
    }
}

void start_engine() {
    static const bool registered = [] { return std::atexit(join_engine_at_exit) == 0; }();
    (void)registered;
    auto& e = engine();
    auto thread = scheduler::get().start_thread("dpc", engine_body);
    std::vector<std::shared_ptr<scheduler::joinable>> done;
    {
        std::lock_guard g(e.threads_mutex);
        auto it = std::partition(e.threads.begin(), e.threads.end(),
                                 [](auto& j) { return !j->finished(); });
        done.assign(std::make_move_iterator(it), std::make_move_iterator(e.threads.end()));
        e.threads.erase(it, e.threads.end());
        e.threads.push_back(std::move(thread));
    }
    for (auto& j : done) {
        j->join();
    }
}

// The scheduler time a kernel due time names: negative is relative to now, positive is
// absolute system time (one already past is due now).
ticks due_of(LONGLONG due_time, ticks now) {
    if (due_time < 0) {
        return due_time == INT64_MIN || now > no_deadline + due_time ? no_deadline : now - due_time;
    }
    return std::max(now, due_time - boot_system_time);
}

BOOLEAN set_timer_common(PKTIMER timer, LONGLONG due_time, LONG period, PKDPC dpc,
                         const char* routine) {
    check_timer(timer, routine);
    check_irql_at_most(DISPATCH_LEVEL, routine);
    if (period < 0) {
        invalid(std::string(routine) + ": negative period", timer, static_cast<ULONG>(period));
    }
    if (dpc != nullptr) {
        check_dpc(dpc, routine);
    }
    auto& s = scheduler::get();
    auto& e = engine();
    ticks now = s.now();
    bool start = false;
    bool was_set;
    {
        std::lock_guard g(s.lock());
        was_set = e.timers.erase(timer) != 0;
        // Setting a timer makes it not signalled until it expires again.
        timer->Header.SignalState = 0;
        timer->Period = period;
        timer->Dpc = dpc;
        set_timer entry{due_of(due_time, now), ticks(period) * ticks_per_ms, dpc, ++e.next_order};
        timer->DueTime.QuadPart = static_cast<ULONGLONG>(entry.due);
        // A due time already reached expires the timer at once, inside this call.
        if (entry.due > now || fire_locked(timer, entry, now)) {
            e.timers.emplace(timer, entry);
        }
        ++e.generation;
        if (!e.timers.empty() || !e.dpcs.empty()) {
            start = need_engine_locked();
        }
        s.wake();
    }
    if (start) {
        start_engine();
    }
    return was_set ? TRUE : FALSE;
}

}  // namespace

void mark_platform_dpc(PKDPC dpc) {
    std::lock_guard g(scheduler::get().lock());
    engine().platform_dpcs.insert(dpc);
}

void forget_platform_dpc(PKDPC dpc) {
    std::lock_guard g(scheduler::get().lock());
    engine().platform_dpcs.erase(dpc);
}

std::size_t set_timer_count() {
    std::lock_guard g(scheduler::get().lock());
    return engine().timers.size();
}

std::size_t queued_dpc_count() {
    std::lock_guard g(scheduler::get().lock());
    return engine().dpcs.size();
}

}  // namespace platform::kernel::timers

using namespace platform;
namespace timers = platform::kernel::timers;

// ---- DPCs ----------------------------------------------------------------------------------

extern "C" VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                                PVOID DeferredContext) {
    if (Dpc == nullptr || DeferredRoutine == nullptr) {
        timers::invalid("KeInitializeDpc: NULL DPC or routine", Dpc);
    }
    std::lock_guard g(scheduler::get().lock());
    if (timers::dpc_queued_locked(Dpc)) {
        bug_check(timers::timer_or_dpc_invalid, "KeInitializeDpc on a DPC that is still queued",
                  reinterpret_cast<std::uintptr_t>(Dpc));
    }
    Dpc->Type = timers::dpc_type;
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    InitializeListHead(&Dpc->DpcListEntry);
    Dpc->ProcessorHistory = 0;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

extern "C" BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    timers::check_dpc(Dpc, "KeInsertQueueDpc");
    auto& s = scheduler::get();
    bool inserted;
    bool start = false;
    {
        std::lock_guard g(s.lock());
        inserted = timers::insert_dpc_locked(Dpc, SystemArgument1, SystemArgument2);
        if (inserted) {
            start = timers::need_engine_locked();
            s.wake();
        }
    }
    if (start) {
        timers::start_engine();
    }
    return inserted ? TRUE : FALSE;
}

extern "C" BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    timers::check_dpc(Dpc, "KeRemoveQueueDpc");
    auto& s = scheduler::get();
    std::lock_guard g(s.lock());
    auto& q = timers::engine().dpcs;
    auto it = std::find_if(q.begin(), q.end(), [Dpc](const auto& e) { return e.dpc == Dpc; });
    if (it == q.end()) {
        return FALSE;
    }
    q.erase(it);
    Dpc->DpcData = nullptr;
    s.wake();  // a flush may be waiting for this DPC
    return TRUE;
}

extern "C" VOID KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) {
    timers::check_dpc(Dpc, "KeSetImportanceDpc");
    if (Importance < LowImportance || Importance > MediumHighImportance) {
        timers::invalid("KeSetImportanceDpc: unknown importance", Dpc, Importance);
    }
    std::lock_guard g(scheduler::get().lock());
    Dpc->Importance = static_cast<UCHAR>(Importance);
}

extern "C" VOID KeFlushQueuedDpcs(VOID) {
    timers::check_irql_at_most(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
    auto& s = scheduler::get();
    auto& e = timers::engine();
    std::unique_lock lk(s.lock());
    std::uint64_t last = e.last_seq;
    std::function<bool()> flushed = [&e, last] {
        bool queued_before = std::any_of(e.dpcs.begin(), e.dpcs.end(),
                                         [last](const auto& q) { return q.seq <= last; });
        return !queued_before && (e.running_seq == 0 || e.running_seq > last);
    };
    s.block(lk, flushed, no_deadline, "KeFlushQueuedDpcs (DPCs queued before the call)");
}

// ---- Timers --------------------------------------------------------------------------------

extern "C" VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    if (Timer == nullptr || (Type != NotificationTimer && Type != SynchronizationTimer)) {
        timers::invalid("KeInitializeTimerEx: NULL timer or unknown type", Timer, Type);
    }
    std::lock_guard g(scheduler::get().lock());
    if (timers::engine().timers.count(Timer) != 0) {
        bug_check(timers::timer_or_dpc_invalid, "KeInitializeTimer(Ex) on a timer that is set",
                  reinterpret_cast<std::uintptr_t>(Timer));
    }
    Timer->Header.Type = Type == NotificationTimer ? timers::timer_notification_type
                                                   : timers::timer_synchronization_type;
    Timer->Header.Signalling = 0;
    Timer->Header.Size = timers::timer_size;
    Timer->Header.Reserved1 = 0;
    Timer->Header.SignalState = 0;
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    InitializeListHead(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
    Timer->Processor = 0;
    Timer->Period = 0;
}

extern "C" VOID KeInitializeTimer(PKTIMER Timer) {
    KeInitializeTimerEx(Timer, NotificationTimer);
}

extern "C" BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    return timers::set_timer_common(Timer, DueTime.QuadPart, Period, Dpc, "KeSetTimerEx");
}

extern "C" BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return timers::set_timer_common(Timer, DueTime.QuadPart, 0, Dpc, "KeSetTimer");
}

extern "C" BOOLEAN KeSetCoalescableTimer(PKTIMER Timer, LARGE_INTEGER DueTime, ULONG Period,
                                         ULONG TolerableDelay, PKDPC Dpc) {
    // The platform expires every timer at its due time, which is within any tolerance.
    (void)TolerableDelay;
    if (Period > MAXLONG) {
        timers::invalid("KeSetCoalescableTimer: period above MAXLONG", Timer, Period);
    }
    return timers::set_timer_common(Timer, DueTime.QuadPart, static_cast<LONG>(Period), Dpc,
                                    "KeSetCoalescableTimer");
}

extern "C" BOOLEAN KeCancelTimer(PKTIMER Timer) {
    timers::check_timer(Timer, "KeCancelTimer");
    timers::check_irql_at_most(DISPATCH_LEVEL, "KeCancelTimer");
    auto& s = scheduler::get();
    std::lock_guard g(s.lock());
    bool was_set = timers::engine().timers.erase(Timer) != 0;
    if (was_set) {
        ++timers::engine().generation;
        s.wake();
    }
    return was_set ? TRUE : FALSE;
}

extern "C" BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    timers::check_timer(Timer, "KeReadStateTimer");
    std::lock_guard g(scheduler::get().lock());
    return Timer->Header.SignalState != 0 ? TRUE : FALSE;
}

namespace {

// The routines above, for MmGetSystemRoutineAddress.
const bool routines_registered = [] {
    using platform::kernel::register_routine;
    register_routine(u"KeInitializeDpc", reinterpret_cast<void*>(&KeInitializeDpc));
    register_routine(u"KeInsertQueueDpc", reinterpret_cast<void*>(&KeInsertQueueDpc));
    register_routine(u"KeRemoveQueueDpc", reinterpret_cast<void*>(&KeRemoveQueueDpc));
    register_routine(u"KeSetImportanceDpc", reinterpret_cast<void*>(&KeSetImportanceDpc));
    register_routine(u"KeFlushQueuedDpcs", reinterpret_cast<void*>(&KeFlushQueuedDpcs));
    register_routine(u"KeInitializeTimer", reinterpret_cast<void*>(&KeInitializeTimer));
    register_routine(u"KeInitializeTimerEx", reinterpret_cast<void*>(&KeInitializeTimerEx));
    register_routine(u"KeSetTimer", reinterpret_cast<void*>(&KeSetTimer));
    register_routine(u"KeSetTimerEx", reinterpret_cast<void*>(&KeSetTimerEx));
    register_routine(u"KeSetCoalescableTimer", reinterpret_cast<void*>(&KeSetCoalescableTimer));
    register_routine(u"KeCancelTimer", reinterpret_cast<void*>(&KeCancelTimer));
    register_routine(u"KeReadStateTimer", reinterpret_cast<void*>(&KeReadStateTimer));
    return true;
}();

}  // namespace
