#include "core/scheduler.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <thread>
#include <unordered_map>

#include "core/bugcheck.h"

namespace platform {
namespace {

thread_local thread_record* tls_self = nullptr;

// VRAX_SCHED_SEED=N selects the deterministic mode for the whole process. A value that is not
// a whole number is refused loudly rather than taken for "no seed".
std::optional<std::uint64_t> seed_from_environment() {
    const char* text = std::getenv("VRAX_SCHED_SEED");
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    std::optional<std::uint64_t> value = scheduler::parse_seed(text);
    if (!value) {
        std::fprintf(stderr, "VRAX_SCHED_SEED='%s' is not a seed (a decimal number)\n", text);
        std::abort();
    }
    return value;
}

// Missed wakes, a diagnostic (VRAX_SCHED_MISSED_WAKES=1 in the environment): for each blocked
// thread, the count of its notifications when it last read its predicate; guarded by the
// scheduler lock. A thread found with its predicate true while every other thread is at rest
// and not notified since that read had its condition made true without the wake the
// contract asks for: the change is named on stderr by the wait it ended.
std::unordered_map<const thread_record*, std::uint64_t>& predicate_reads() {
    static auto* reads = new std::unordered_map<const thread_record*, std::uint64_t>;
    return *reads;
}

const bool report_missed_wakes = [] {
    const char* text = std::getenv("VRAX_SCHED_MISSED_WAKES");
    return text != nullptr && *text != '\0';
}();

void predicate_read_locked(const thread_record& self) {
    if (report_missed_wakes) {
        predicate_reads()[&self] = self.wakeups;
    }
}

void note_if_missed_locked(const thread_record& t) {
    if (!report_missed_wakes) {
        return;
    }
    auto it = predicate_reads().find(&t);
    if (it != predicate_reads().end() && it->second == t.wakeups) {
        std::fprintf(stderr,
                     "scheduler: thread %llu '%s' found with its condition true and no wake: %s\n",
                     static_cast<unsigned long long>(t.id), t.name.c_str(), t.waiting_for.c_str());
    }
}

std::int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::optional<std::uint64_t> scheduler::parse_seed(std::string_view text) {
    if (text.empty() || text.front() < '0' || text.front() > '9') {
        return std::nullopt;  // strtoull would take a sign or leading blanks
    }
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(copy.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') {
        return std::nullopt;
    }
    return value;
}

scheduler::scheduler() {
    wall_origin_ns_ = steady_ns();
}

scheduler& scheduler::get() {
    // Never destroyed: threads may still be leaving while static destructors run.
    static scheduler* s = [] {
        auto* made = new scheduler();
        if (auto seed = seed_from_environment()) {
            std::lock_guard g(made->lock_);
            made->enable_deterministic_locked(*seed, false, nullptr);
        }
        return made;
    }();
    return *s;
}

ticks scheduler::now() {
    if (mode_ == time_mode::wall_clock) {
        return (steady_ns() - wall_origin_ns_) / 100;
    }
    std::lock_guard g(lock_);
    return virtual_now_;
}

void scheduler::set_mode(time_mode mode) {
    std::lock_guard g(lock_);
    if (mode == mode_) {
        return;
    }
    if (deterministic()) {
        // The deterministic mode's time is the virtual one: a wall clock would let the order
        // of a run depend on how fast the machine is.
        std::fprintf(stderr, "the scheduler's deterministic mode runs in virtual time only\n");
        std::abort();
    }
    // Keep time monotonic across the switch.
    if (mode == time_mode::wall_clock) {
        wall_origin_ns_ = steady_ns() - virtual_now_ * 100;
    } else {
        virtual_now_ = (steady_ns() - wall_origin_ns_) / 100;
    }
    mode_ = mode;
}

thread_record& scheduler::register_locked(std::string name) {
    auto rec = std::make_unique<thread_record>();
    rec->id = next_id_++;
    rec->turn_id = next_turn_id_++;
    rec->name = std::move(name);
    threads_.push_back(std::move(rec));
    return *threads_.back();
}

void scheduler::unregister_locked(thread_record& rec) {
    rec.exited = true;
    for (auto it = threads_.begin(); it != threads_.end(); ++it) {
        if (it->get() == &rec) {
            // The record stays alive while a joinable still points at it.
            it->release();
            threads_.erase(it);
            break;
        }
    }
}

void scheduler::adopt_current_thread(std::string name) {
    std::unique_lock lk(lock_);
    if (tls_self != nullptr) {
        tls_self->name = std::move(name);
        return;
    }
    tls_self = &register_locked(std::move(name));
    join_rotation_locked(lk, *tls_self);
}

thread_record& scheduler::current_locked() {
    if (tls_self == nullptr) {
        tls_self = &register_locked("foreign");
        {
            // The caller holds the lock (a lock_guard, usually): wait for the turn on it
            // without taking it over.
            std::unique_lock lk(lock_, std::adopt_lock);
            join_rotation_locked(lk, *tls_self);
            lk.release();
        }
        // A foreign thread leaves the scheduler's books when it ends.
        struct leaver {
            ~leaver() {
                if (tls_self != nullptr) {
                    auto& s = scheduler::get();
                    std::unique_lock lk(s.lock_);
                    thread_record* rec = tls_self;
                    s.record_step_locked(*rec, "thread-exit");
                    tls_self = nullptr;
                    s.unregister_locked(*rec);
                    s.release_thread_locked(*rec);
                    delete rec;
                    s.after_exit_locked(lk);
                }
            }
        };
        static thread_local leaver l;
        (void)l;
    }
    return *tls_self;
}

thread_record& scheduler::current() {
    std::lock_guard g(lock_);
    return current_locked();
}

void scheduler::wake() {
    if (deterministic()) {
        return;  // the next holder of the run token reads the predicates when it is drawn
    }
    notify_ready_locked();
}

void scheduler::set_broadcast_wakes(bool broadcast) {
    std::lock_guard g(lock_);
    broadcast_ = broadcast;
}

// With the lock held: notifies each blocked thread (but the caller) whose wait may be over.
void scheduler::notify_ready_locked() {
    const thread_record* self = tls_self;
    const bool virtual_time = mode_ == time_mode::virtual_time;
    for (auto& t : threads_) {
        if (!t->blocked || t.get() == self) {
            continue;
        }
        if (broadcast_ || (virtual_time && t->deadline <= virtual_now_) ||
            (t->ready != nullptr && (*t->ready)())) {
            ++t->wakeups;
            t->wakeup.notify_one();
        }
    }
}

// Called with the lock held whenever a thread stops being runnable (it blocks or exits).
void scheduler::maybe_advance(std::unique_lock<std::mutex>& lk) {
    (void)lk;  // held by the caller; every field read below is guarded by it
    ticks earliest = no_deadline;
    for (auto& t : threads_) {
        if (!t->blocked) {
            return;  // someone can still run
        }
        if (t->ready != nullptr && (*t->ready)()) {
            // Woken, or its condition came true without a wake (state a predicate reads
            // changed outside the lock, such as a reference count): wake it, or every thread
            // could sleep with none left to wake it or to move time on.
            note_if_missed_locked(*t);
            ++t->wakeups;
            t->wakeup.notify_one();
            return;
        }
        if (t->deadline < earliest) {
            earliest = t->deadline;
        }
    }
    if (threads_.empty()) {
        return;
    }
    if (earliest == no_deadline) {
        report_deadlock_locked();
    }
    if (mode_ == time_mode::virtual_time) {
        if (earliest > virtual_now_) {
            virtual_now_ = earliest;
        }
        // Every thread is blocked and none is ready: only those whose deadline has come can
        // go on.
        notify_ready_locked();
    }
}

void scheduler::report_deadlock_locked() {
    std::string report = "deadlock: every thread is blocked with no deadline\n";
    for (auto& t : threads_) {
        report += "  thread " + std::to_string(t->id) + " '" + t->name +
                  "' waits for: " + t->waiting_for + "\n";
    }
    bug_check(bug_code::deadlock_detected, report, threads_.size());
}

// A thread has left the books (with the lock held): in the concurrent mode its end may let
// others go on or time move; in the deterministic mode a token it held goes to the next.
void scheduler::after_exit_locked(std::unique_lock<std::mutex>& lk) {
    if (deterministic()) {
        if (holder_ == nullptr) {
            pass_turn_locked();
        }
        return;
    }
    notify_ready_locked();
    maybe_advance(lk);
}

bool scheduler::block(std::unique_lock<std::mutex>& lk, const std::function<bool()>& ready,
                      ticks deadline, std::string_view what) {
    thread_record& self = current_locked();
    if (ready()) {
        return true;
    }
    self.blocked = true;
    self.ready = &ready;
    self.deadline = deadline;
    self.waiting_for = std::string(what);
    bool satisfied = false;
    for (;;) {
        predicate_read_locked(self);
        if (ready()) {
            satisfied = true;
            break;
        }
        ticks t =
            mode_ == time_mode::virtual_time ? virtual_now_ : (steady_ns() - wall_origin_ns_) / 100;
        if (t >= deadline) {
            break;
        }
        if (deterministic()) {
            // Give the token up (once per wait) and wait until it is drawn for this thread,
            // which happens only when its predicate holds or its deadline has come.
            if (holder_ == &self) {
                record_step_locked(self, "wait");
                holder_ = nullptr;
            }
            if (holder_ == nullptr) {
                pass_turn_locked();
            }
            await_turn_locked(lk, self);
            continue;
        }
        maybe_advance(lk);
        if (ready()) {
            satisfied = true;
            break;
        }
        if (mode_ == time_mode::virtual_time) {
            if (virtual_now_ >= deadline) {
                break;
            }
            self.wakeup.wait(lk);
        } else if (deadline == no_deadline) {
            self.wakeup.wait(lk);
        } else {
            auto when = std::chrono::steady_clock::time_point(
                std::chrono::nanoseconds(wall_origin_ns_ + deadline * 100));
            self.wakeup.wait_until(lk, when);
        }
    }
    if (report_missed_wakes) {
        predicate_reads().erase(&self);
    }
    self.blocked = false;
    self.ready = nullptr;
    self.deadline = no_deadline;
    self.waiting_for.clear();
    return satisfied;
}

scheduler::joinable::~joinable() {
    if (thread_ && thread_->joinable()) {
        // Never leave a std::thread unjoined: wait for it the ordinary way.
        if (!joined_) {
            join();
        }
        if (thread_->joinable()) {
            thread_->join();
        }
    }
    delete record_;
}

void scheduler::joinable::join() {
    auto& s = scheduler::get();
    {
        std::unique_lock lk(s.lock_);
        std::function<bool()> ready = [this] { return done_; };
        s.block(lk, ready, no_deadline, "thread '" + record_->name + "' to end");
    }
    if (thread_->joinable()) {
        thread_->join();
    }
    joined_ = true;
}

bool scheduler::joinable::finished() {
    std::lock_guard g(scheduler::get().lock_);
    return done_;
}

std::shared_ptr<scheduler::joinable> scheduler::start_thread(std::string name,
                                                             std::function<void()> body) {
    std::lock_guard g(lock_);
    return start_thread_locked(std::move(name), std::move(body));
}

std::shared_ptr<scheduler::joinable> scheduler::start_thread_locked(std::string name,
                                                                    std::function<void()> body) {
    auto handle = std::shared_ptr<joinable>(new joinable());
    handle->record_ = &register_locked(std::move(name));
    // In the deterministic mode the new thread is a candidate for the token from now on and
    // runs its body only once it is drawn. The starter keeps the token until its next
    // synchronisation point: it may be starting the thread inside a one-time initialisation
    // that other threads would wait for outside the scheduler.
    if (deterministic()) {
        handle->record_->wants_turn = true;
        if (tls_self != nullptr) {
            record_step_locked(*tls_self, "thread-start");
        }
    }
    joinable* h = handle.get();
    handle->thread_ = std::make_unique<std::thread>([this, h, body = std::move(body)] {
        {
            std::unique_lock lk(lock_);
            tls_self = h->record_;
            join_rotation_locked(lk, *h->record_);
        }
        body();
        for (auto& f : h->record_->at_exit) {
            f();
        }
        std::unique_lock lk(lock_);
        record_step_locked(*h->record_, "thread-exit");
        unregister_locked(*h->record_);
        release_thread_locked(*h->record_);
        tls_self = nullptr;
        h->done_ = true;
        after_exit_locked(lk);
    });
    return handle;
}

std::string scheduler::describe_threads() {
    std::lock_guard g(lock_);
    return describe_threads_locked();
}

std::string scheduler::describe_threads_locked() {
    std::ostringstream out;
    for (auto& t : threads_) {
        out << "thread " << t->id << " '" << t->name << "' "
            << (t->blocked      ? "waits for: " + t->waiting_for
                : t->wants_turn ? std::string("waits for its turn (deterministic mode)")
                                : std::string("running"))
            << (t.get() == holder_ ? " (holds the run token)" : "") << "\n";
    }
    return out.str();
}

std::size_t scheduler::thread_count() {
    std::lock_guard g(lock_);
    return threads_.size();
}

}  // namespace platform
