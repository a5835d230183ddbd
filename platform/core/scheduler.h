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

    // State that waiters read has changed; call with lock() held.
    void wake();

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
    thread_record& register_locked(std::string name);
    void unregister_locked(thread_record& rec);

    std::mutex lock_;
    std::condition_variable cv_;
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
