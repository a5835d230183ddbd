// The one scheduler every blocking call goes through.
//
// Every thread the platform knows (system threads, work-item workers, program threads, the
// test's own thread) has a `thread_record`. A thread blocks only through `scheduler::block`,
// with the scheduler lock held and a predicate over state that the same lock guards. All
// state a waiter's predicate reads must be changed under `scheduler::lock()`, followed by
// `scheduler::wake()`.
//
// Time is virtual by default: it stands still while any known thread can run, and when every
// known thread is blocked (and no blocked thread's predicate is already true) it jumps to the
// earliest deadline. All threads blocked with no deadline is a deadlock: the scheduler prints
// each thread's wait and bug-checks. In wall-clock mode deadlines are real time.
//
// Waking. Each blocked thread sleeps on its own condition variable. `wake()` runs, on the
// waking thread and under the lock, the predicate of every blocked thread and notifies only
// those whose predicate now holds (or, in virtual time, whose deadline has come), so a state
// change costs one evaluation per blocked thread instead of a context switch per blocked
// thread. A notified thread still re-checks its predicate itself: it may have become false
// again before the thread ran. Predicates must therefore be pure reads of state guarded by
// the lock (no side effects, nothing thread-local, no call that takes the lock), which the
// deadlock check has always required too. `set_broadcast_wakes(true)` restores waking every
// blocked thread on each change (a baseline for benchmarks, and a way to rule the targeting
// out when a wake-up seems lost).
//
// A later mode that runs one thread at a time in a seeded order hooks in at two places:
// `notify_ready_locked` is where the scheduler decides which blocked threads may run (it
// would pick one of the ready ones by the seed and notify it alone), and `block` is where a
// running thread hands the turn back (before it waits on its own condition variable it would
// pass the turn to the next ready thread, chosen the same way). Thread start and exit
// already go through `register_locked` and `unregister_locked`, where a turn would be given
// to or taken from a thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using ticks = std::int64_t;  // 100-nanosecond units, as the kernel counts time
inline constexpr ticks no_deadline = INT64_MAX;
inline constexpr ticks ticks_per_ms = 10'000;
inline constexpr ticks ticks_per_second = 10'000'000;

enum class time_mode { virtual_time, wall_clock };

struct thread_record {
    std::uint64_t id = 0;
    std::string name;
    std::uint8_t irql = 0;  // emulated IRQL: 0 passive, 1 APC, 2 dispatch
    // Set while blocked in scheduler::block.
    bool blocked = false;
    ticks deadline = no_deadline;
    std::string waiting_for;
    const std::function<bool()>* ready = nullptr;
    std::condition_variable wakeup;  // notified when this thread's wait may be over
    std::uint64_t wakeups = 0;       // notifications received while blocked (for tests)
    bool exited = false;
    void* kernel_thread = nullptr;               // the kernel's thread object, when there is one
    void* user_process = nullptr;                // the Win32 process the thread belongs to, if any
    std::vector<std::function<void()>> at_exit;  // run on the thread before it leaves
};

class scheduler {
  public:
    static scheduler& get();

    // The lock that guards every piece of state a waiter's predicate may read.
    std::mutex& lock() { return lock_; }

    ticks now();  // current time; safe with or without the lock
    time_mode mode() const { return mode_; }
    void set_mode(time_mode mode);  // before any thread blocks

    // Blocks the calling thread, `lk` holding lock(), until `ready()` is true (returns true)
    // or `deadline` (absolute, in ticks) has passed (returns false). `what` names the wait in
    // a deadlock report.
    bool block(std::unique_lock<std::mutex>& lk, const std::function<bool()>& ready, ticks deadline,
               std::string_view what);

    // State that waiters read has changed; call with lock() held. Notifies the blocked
    // threads whose predicate now holds.
    void wake();

    // Every blocked thread notified on each change (true) or only those whose wait may be
    // over (false, the default). Either way a thread returns from block() only when its
    // predicate holds or its deadline has passed: nothing a test observes depends on this.
    void set_broadcast_wakes(bool broadcast);

    // The calling thread's record; a thread the platform did not start is registered on
    // first use under the name "foreign".
    thread_record& current();
    thread_record& current_locked();  // same, with lock() already held

    // Registers the calling thread (the program's main thread, usually) under `name`.
    void adopt_current_thread(std::string name);

    // Starts a known thread. The record exists before the thread runs, so virtual time
    // cannot move while it is starting. The returned handle joins through the scheduler.
    class joinable;
    std::shared_ptr<joinable> start_thread(std::string name, std::function<void()> body);

    // Describes every known thread and its wait, one line each.
    std::string describe_threads();
    std::size_t thread_count();

  private:
    scheduler();
    void maybe_advance(std::unique_lock<std::mutex>& lk);
    void notify_ready_locked();
    thread_record& register_locked(std::string name);
    void unregister_locked(thread_record& rec);

    std::mutex lock_;
    bool broadcast_ = false;
    time_mode mode_ = time_mode::virtual_time;
    ticks virtual_now_ = 0;
    std::int64_t wall_origin_ns_ = 0;
    std::uint64_t next_id_ = 1;
    std::list<std::unique_ptr<thread_record>> threads_;
};

class scheduler::joinable {
  public:
    ~joinable();
    // Waits (through the scheduler) until the thread has finished.
    void join();
    bool finished();
    thread_record* record() { return record_; }

  private:
    friend class scheduler;
    thread_record* record_ = nullptr;
    bool done_ = false;
    bool joined_ = false;
    std::unique_ptr<std::thread> thread_;
};

// Convenience: now() in milliseconds.
inline std::int64_t now_ms() {
    return scheduler::get().now() / ticks_per_ms;
}

}  // namespace platform
