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
// Deterministic mode (platform/core/run_token.cpp). Selected for the process by the
// environment variable VRAX_SCHED_SEED=N, or by a test with `set_deterministic(seed)`, every
// known thread then runs only while it holds the one run token. The token changes hands only
// at the platform's synchronisation points: a thread that blocks gives it up, and
// `sync_point` (lock acquire and release, event set and wait, request completion and cancel,
// work-item queueing and start, interlocked operations) offers it to every thread that could
// run now, the arriving one included. A started thread becomes a candidate at once (the
// starter keeps the token until its next point) and an ending thread passes the token on. The next
// holder is drawn by a generator seeded with the seed from the threads that can run, in the order
// the threads were registered, so the same seed gives the same run step for step. The candidates
// are the threads waiting at a synchronisation point (or starting) and the blocked threads whose
// predicate holds or whose deadline has come; when there are none, every known thread is
// blocked and time jumps to the earliest deadline as in the concurrent mode (no deadline at
// all is the same deadlock report). `wake()` notifies nobody in this mode: the next holder
// reads the predicates when the token moves.
//
// Threads the platform did not start. A thread the scheduler meets for the first time while
// the mode is on is registered ("foreign") and, before the call that met it goes on, waits
// for the token like any starting thread; from its first platform call on it runs only in
// turn. What it does before that call touches nothing of the platform's. Until that call the
// scheduler does not know the thread: waiting for it through the scheduler before then is a
// deadlock in either mode, and it should be waited for through the scheduler (a predicate),
// with std::thread::join only after that wait, since a real join while holding the token
// stops the run. The test's own thread is adopted by tests/support/test_main.cpp before any
// test runs; with VRAX_SCHED_SEED the first thread to reach the scheduler holds the token. A thread
// that was already running when the mode was switched on (it should not be: switch it on while the
// other threads are blocked, before a machine boots) runs on until its next synchronisation
// point or wait and takes its turns from there; while such a thread is running, the token
// may be left with no holder and time does not move. Switching the mode on makes the calling
// thread the holder; switching it off lets every waiting thread go on concurrently.
//
// The run is the sequence of (thread, point) steps; `trace()` returns it when it is recorded
// (set_deterministic(seed, true)). Threads are numbered in the trace by the order in which
// they became known since the mode was set, so a scenario run twice in one process gives the
// same numbers. A bug check, and a test failure (tests/support/test_main.cpp), print the seed
// and the command that replays the run (`replay_note()`).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using ticks = std::int64_t;  // 100-nanosecond units, as the kernel counts time
inline constexpr ticks no_deadline = INT64_MAX;
inline constexpr ticks ticks_per_ms = 10'000;
inline constexpr ticks ticks_per_second = 10'000'000;

enum class time_mode { virtual_time, wall_clock };

// One step of a deterministic run: the thread (numbered as the trace numbers them) and the
// synchronisation point at which it offered the run token.
struct sched_step {
    std::uint64_t thread = 0;
    std::string point;
    bool operator==(const sched_step&) const = default;
};

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
    // Deterministic mode: waiting at a synchronisation point (or starting) for the run token,
    // and the thread's number in the trace.
    bool wants_turn = false;
    std::uint64_t turn_id = 0;
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
    // Same, with lock() already held (the new thread waits for it before its body runs).
    std::shared_ptr<joinable> start_thread_locked(std::string name, std::function<void()> body);

    // Deterministic mode (see the top of this header). `set_deterministic` makes the calling
    // thread the holder of the run token and needs virtual time; `record_trace` keeps every
    // step for `trace()`. `set_concurrent` returns to the ordinary mode.
    void set_deterministic(std::uint64_t seed, bool record_trace = false);
    // The same for one run of a sequence in one process (VRAX_SCHED_SEEDS, see
    // tests/support/test_main.cpp) that ran seeds `first` to `seed - 1` before it. The threads
    // the platform keeps for the life of the process (the PnP manager's, the work-item and DPC
    // workers, the deferred closes) and whatever earlier runs left with them take part in the
    // order, so such a run replays only after the runs before it: `replay_note` then names the
    // range from `first` to `seed`.
    void set_deterministic_in_sequence(std::uint64_t first, std::uint64_t seed);
    // A seed as the environment gives one: decimal digits only, within 64 bits.
    static std::optional<std::uint64_t> parse_seed(std::string_view text);
    void set_concurrent();
    bool deterministic() const { return deterministic_.load(std::memory_order_acquire); }
    std::uint64_t seed() const { return seed_.load(std::memory_order_relaxed); }
    // A synchronisation point: in the deterministic mode the calling thread offers the token
    // and waits until it is drawn again; otherwise returns at once. Call it with no platform
    // lock held (the scheduler's least of all), as pause points are.
    void sync_point(std::string_view point);
    std::vector<sched_step> trace();
    std::uint64_t steps();  // synchronisation points passed since the mode was set
    // A hash of the run's steps (thread and point) since the mode was set: two runs of a
    // scenario took the same order when it and `steps()` agree. Kept while the trace is
    // recorded, or after `keep_order_fingerprint(true)` without the trace's cost (the hash
    // costs instructions at every step, which the benchmarks' counts should not carry).
    void keep_order_fingerprint(bool on);
    std::uint64_t order_fingerprint();
    // "deterministic scheduler, seed N; replay: VRAX_SCHED_SEED=N <this command line>" (in a
    // sequence, "seed N of a sequence; replay: VRAX_SCHED_SEEDS=FIRST-N <command line>"), or ""
    // in the concurrent mode. Takes no lock: a bug check may print it while the lock is held.
    static std::string replay_note();

    // Describes every known thread and its wait, one line each.
    std::string describe_threads();
    std::size_t thread_count();

  private:
    scheduler();
    void maybe_advance(std::unique_lock<std::mutex>& lk);
    void notify_ready_locked();
    void release_thread_locked(thread_record& rec);
    void after_exit_locked(std::unique_lock<std::mutex>& lk);
    std::string describe_threads_locked();
    // Deterministic mode, with the lock held.
    void join_rotation_locked(std::unique_lock<std::mutex>& lk, thread_record& self);
    void pass_turn_locked();
    void switch_to_deterministic(std::uint64_t seed, bool record_trace,
                                 std::optional<std::uint64_t> sequence_first);
    void enable_deterministic_locked(std::uint64_t seed, bool record_trace, thread_record* holder);
    void await_turn_locked(std::unique_lock<std::mutex>& lk, thread_record& self);
    void record_step_locked(const thread_record& self, std::string_view point);
    void fingerprint_step_locked(std::uint64_t thread, std::string_view point);
    [[noreturn]] void report_deadlock_locked();
    thread_record& register_locked(std::string name);
    void unregister_locked(thread_record& rec);

    std::mutex lock_;
    bool broadcast_ = false;
    time_mode mode_ = time_mode::virtual_time;
    ticks virtual_now_ = 0;
    std::int64_t wall_origin_ns_ = 0;
    std::uint64_t next_id_ = 1;
    std::list<std::unique_ptr<thread_record>> threads_;

    // Deterministic mode; all but the atomics are guarded by the lock.
    std::atomic<bool> deterministic_{false};
    std::atomic<std::uint64_t> seed_{0};
    std::atomic<bool> in_sequence_{false};
    std::atomic<std::uint64_t> sequence_first_{0};
    std::uint64_t rng_ = 0;  // the generator's state
    thread_record* holder_ = nullptr;
    std::uint64_t next_turn_id_ = 1;
    std::uint64_t steps_ = 0;
    std::uint64_t order_ = 0;
    bool fingerprint_ = false;
    bool record_trace_ = false;
    std::vector<sched_step> trace_;
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

// The hook wdm.h's interlocked macros call: scheduler::get().sync_point(point).
extern "C" void platform_sync_point(const char* point);
