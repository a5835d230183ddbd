// The scheduler's deterministic mode: one run token, handed from thread to thread at the
// platform's synchronisation points in an order drawn from a seeded generator (see the top
// of scheduler.h). Everything here runs with the scheduler lock held unless it says
// otherwise.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>

#include "core/scheduler.h"

namespace platform {
namespace {

// splitmix64: small, fast, and the same sequence on every host and compiler, which a
// standard distribution does not promise.
std::uint64_t next_random(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// A thread that waits this long in real time for its turn is reported once: the holder has
// most likely blocked outside the scheduler (on a lock of the host's own), which the
// deterministic mode cannot see and would otherwise turn into a silent hang.
constexpr auto turn_watchdog = std::chrono::seconds(30);
std::atomic<bool> watchdog_reported{false};

// The process's command line, each argument quoted for a POSIX shell.
std::string command_line() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string out;
    std::size_t start = 0;
    while (start < raw.size()) {
        std::size_t end = raw.find('\0', start);
        if (end == std::string::npos) {
            end = raw.size();
        }
        std::string arg = raw.substr(start, end - start);
        if (!out.empty()) {
            out += ' ';
        }
        out += '\'';
        for (char c : arg) {
            if (c == '\'') {
                out += "'\\''";
            } else {
                out += c;
            }
        }
        out += '\'';
        start = end + 1;
    }
    return out;
}

}  // namespace

void scheduler::set_deterministic(std::uint64_t seed, bool record_trace) {
    switch_to_deterministic(seed, record_trace, std::nullopt);
}

void scheduler::set_deterministic_in_sequence(std::uint64_t first, std::uint64_t seed) {
    switch_to_deterministic(seed, false, first);
}

void scheduler::switch_to_deterministic(std::uint64_t seed, bool record_trace,
                                        std::optional<std::uint64_t> sequence_first) {
    std::unique_lock lk(lock_);
    thread_record& self = current_locked();  // registered before the mode is on: no wait
    if (deterministic() && holder_ != &self) {
        join_rotation_locked(lk, self);  // reseeding takes a turn like anything else
    }
    sequence_first_.store(sequence_first.value_or(0), std::memory_order_relaxed);
    in_sequence_.store(sequence_first.has_value(), std::memory_order_relaxed);
    enable_deterministic_locked(seed, record_trace, &self);
}

// With `holder` null (the mode chosen by the environment, before any thread is known), the
// first thread to reach the scheduler draws the token. The process's first thread is not
// registered here: a thread registered on first contact leaves the books when it ends, and
// the main thread ends only after the static destructors that still wait for others.
void scheduler::enable_deterministic_locked(std::uint64_t seed, bool record_trace,
                                            thread_record* holder) {
    if (mode_ != time_mode::virtual_time) {
        std::fprintf(stderr, "the scheduler's deterministic mode runs in virtual time only\n");
        std::abort();
    }
    seed_.store(seed, std::memory_order_relaxed);
    rng_ = seed;
    steps_ = 0;
    order_ = 0xCBF29CE484222325ULL;
    record_trace_ = record_trace;
    trace_.clear();
    // Number the known threads afresh, in the order they became known, so a scenario run
    // twice in one process numbers its threads the same.
    next_turn_id_ = 1;
    for (auto& t : threads_) {
        t->turn_id = next_turn_id_++;
    }
    holder_ = holder;
    deterministic_.store(true, std::memory_order_release);
}

void scheduler::set_concurrent() {
    std::lock_guard g(lock_);
    if (!deterministic()) {
        return;
    }
    deterministic_.store(false, std::memory_order_release);
    holder_ = nullptr;
    // Every thread waiting for a turn, or blocked waiting to be drawn, goes back to the
    // ordinary waits.
    for (auto& t : threads_) {
        t->wants_turn = false;
        t->wakeup.notify_one();
    }
}

void scheduler::sync_point(std::string_view point) {
    if (!deterministic()) {
        return;
    }
    std::unique_lock lk(lock_);
    if (!deterministic()) {
        return;
    }
    thread_record& self = current_locked();
    record_step_locked(self, point);
    self.wants_turn = true;
    if (holder_ == &self) {
        holder_ = nullptr;
    }
    if (holder_ == nullptr) {
        pass_turn_locked();
    }
    await_turn_locked(lk, self);
}

std::vector<sched_step> scheduler::trace() {
    std::lock_guard g(lock_);
    return trace_;
}

std::uint64_t scheduler::steps() {
    std::lock_guard g(lock_);
    return steps_;
}

void scheduler::keep_order_fingerprint(bool on) {
    std::lock_guard g(lock_);
    fingerprint_ = on;
}

std::uint64_t scheduler::order_fingerprint() {
    std::lock_guard g(lock_);
    return order_;
}

std::string scheduler::replay_note() {
    scheduler& s = get();
    if (!s.deterministic()) {
        return "";
    }
    std::string seed = std::to_string(s.seed());
    if (s.in_sequence_.load(std::memory_order_relaxed)) {
        std::string first = std::to_string(s.sequence_first_.load(std::memory_order_relaxed));
        return "deterministic scheduler, seed " + seed +
               " of a sequence; replay: VRAX_SCHED_SEEDS=" + first + "-" + seed + " " +
               command_line();
    }
    return "deterministic scheduler, seed " + seed + "; replay: VRAX_SCHED_SEED=" + seed + " " +
           command_line();
}

void scheduler::record_step_locked(const thread_record& self, std::string_view point) {
    if (!deterministic()) {
        return;
    }
    ++steps_;
    if (fingerprint_ || record_trace_) {
        fingerprint_step_locked(self.turn_id, point);
    }
    if (record_trace_) {
        trace_.push_back({self.turn_id, std::string(point)});
    }
}

// FNV-1a over the thread's number and the point's name: two runs took the same order when
// their step counts and fingerprints agree.
void scheduler::fingerprint_step_locked(std::uint64_t thread, std::string_view point) {
    auto mix = [this](std::uint64_t byte) { order_ = (order_ ^ byte) * 0x100000001B3ULL; };
    for (int shift = 0; shift < 64; shift += 8) {
        mix((thread >> shift) & 0xFF);
    }
    for (char c : point) {
        mix(static_cast<unsigned char>(c));
    }
}

// A thread that is new to the scheduler (a starting thread, or one it meets for the first
// time) waits for its first turn before it does anything else.
void scheduler::join_rotation_locked(std::unique_lock<std::mutex>& lk, thread_record& self) {
    if (!deterministic()) {
        return;
    }
    self.wants_turn = true;
    if (holder_ == nullptr) {
        pass_turn_locked();
    }
    await_turn_locked(lk, self);
}

// A thread leaves the books: a token it holds is free again (the caller passes it on).
void scheduler::release_thread_locked(thread_record& rec) {
    if (holder_ == &rec) {
        holder_ = nullptr;
    }
}

// Draws the next holder from the threads that can run now, in the order they were
// registered. With none, every known thread is blocked: time jumps to the earliest deadline
// and the threads whose deadline that is become the candidates; no deadline at all is a
// deadlock. A thread running outside the rotation (it was running when the mode was switched
// on) may still change what the others wait for: the token is then left free, without moving
// time, and that thread takes it at its next synchronisation point or wait.
void scheduler::pass_turn_locked() {
    std::vector<thread_record*> candidates;
    for (;;) {
        candidates.clear();
        bool outside_rotation = false;
        ticks earliest = no_deadline;
        for (auto& t : threads_) {
            if (t->wants_turn) {
                candidates.push_back(t.get());
            } else if (t->blocked) {
                if ((t->ready != nullptr && (*t->ready)()) || t->deadline <= virtual_now_) {
                    candidates.push_back(t.get());
                } else if (t->deadline < earliest) {
                    earliest = t->deadline;
                }
            } else {
                outside_rotation = true;
            }
        }
        if (!candidates.empty()) {
            break;
        }
        holder_ = nullptr;
        if (outside_rotation || threads_.empty()) {
            return;
        }
        if (earliest == no_deadline) {
            report_deadlock_locked();
        }
        virtual_now_ = std::max(virtual_now_, earliest);
    }
    holder_ = candidates[next_random(rng_) % candidates.size()];
    holder_->wakeup.notify_one();
}

void scheduler::await_turn_locked(std::unique_lock<std::mutex>& lk, thread_record& self) {
    while (deterministic() && holder_ != &self) {
        if (self.wakeup.wait_for(lk, turn_watchdog) == std::cv_status::timeout && deterministic() &&
            holder_ != &self && !watchdog_reported.exchange(true)) {
            std::string holder = holder_ != nullptr ? "'" + holder_->name + "'" : "no thread";
            std::fprintf(stderr,
                         "deterministic scheduler: thread '%s' has waited %lld s of real time for "
                         "the run token, held by %s; a thread holding the token that blocks "
                         "outside the scheduler stops the run.\n%s%s\n",
                         self.name.c_str(), static_cast<long long>(turn_watchdog.count()),
                         holder.c_str(), describe_threads_locked().c_str(), replay_note().c_str());
            std::fflush(stderr);
        }
    }
    self.wants_turn = false;
}

}  // namespace platform

// The hook the interlocked macros of wdm.h call before each operation.
extern "C" void platform_sync_point(const char* point) {
    platform::scheduler::get().sync_point(point);
}
