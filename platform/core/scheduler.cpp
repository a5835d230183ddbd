#include "core/scheduler.h"

#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "core/bugcheck.h"

namespace platform {
namespace {

thread_local thread_record* tls_self = nullptr;

std::int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

scheduler::scheduler() {
    wall_origin_ns_ = steady_ns();
}

scheduler& scheduler::get() {
    // Never destroyed: threads may still be leaving while static destructors run.
    static scheduler* s = new scheduler();
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
    std::lock_guard g(lock_);
    if (tls_self != nullptr) {
        tls_self->name = std::move(name);
        return;
    }
    tls_self = &register_locked(std::move(name));
}

thread_record& scheduler::current_locked() {
    if (tls_self == nullptr) {
        tls_self = &register_locked("foreign");
        // A foreign thread leaves the scheduler's books when it ends.
        struct leaver {
            ~leaver() {
                if (tls_self != nullptr) {
                    auto& s = scheduler::get();
                    std::unique_lock lk(s.lock_);
                    thread_record* rec = tls_self;
                    tls_self = nullptr;
                    s.unregister_locked(*rec);
                    delete rec;
                    s.notify_ready_locked();
                    s.maybe_advance(lk);
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
            return;  // woken, not yet running
        }
        if (t->deadline < earliest) {
            earliest = t->deadline;
        }
    }
    if (threads_.empty()) {
        return;
    }
    if (earliest == no_deadline) {
        std::string report = "deadlock: every thread is blocked with no deadline\n";
        for (auto& t : threads_) {
            report += "  thread " + std::to_string(t->id) + " '" + t->name +
                      "' waits for: " + t->waiting_for + "\n";
        }
        bug_check(bug_code::deadlock_detected, report, threads_.size());
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
        if (ready()) {
            satisfied = true;
            break;
        }
        ticks t =
            mode_ == time_mode::virtual_time ? virtual_now_ : (steady_ns() - wall_origin_ns_) / 100;
        if (t >= deadline) {
            break;
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
    auto handle = std::shared_ptr<joinable>(new joinable());
    {
        std::lock_guard g(lock_);
        handle->record_ = &register_locked(std::move(name));
    }
    joinable* h = handle.get();
    handle->thread_ = std::make_unique<std::thread>([this, h, body = std::move(body)] {
        tls_self = h->record_;
        body();
        for (auto& f : h->record_->at_exit) {
            f();
        }
        std::unique_lock lk(lock_);
        unregister_locked(*h->record_);
        tls_self = nullptr;
        h->done_ = true;
        notify_ready_locked();
        maybe_advance(lk);
    });
    return handle;
}

std::string scheduler::describe_threads() {
    std::lock_guard g(lock_);
    std::ostringstream out;
    for (auto& t : threads_) {
        out << "thread " << t->id << " '" << t->name << "' "
            << (t->blocked ? "waits for: " + t->waiting_for : std::string("running")) << "\n";
    }
    return out.str();
}

std::size_t scheduler::thread_count() {
    std::lock_guard g(lock_);
    return threads_.size();
}

}  // namespace platform
