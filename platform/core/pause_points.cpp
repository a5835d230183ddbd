#include "core/pause_points.h"

#include <algorithm>
#include <atomic>
#include <list>

#include "core/scheduler.h"

namespace platform::pause_points {
namespace detail {

// One hold's state; everything but the constants is guarded by the scheduler lock.
struct armed {
    enum class phase { waiting, held, left };

    std::string point;  // without the trailing '*'
    bool prefix = false;
    unsigned occurrence = 1;
    const void* object = nullptr;
    std::function<bool(const site&)> filter;

    unsigned seen = 0;  // matching arrivals so far
    phase at = phase::waiting;
    bool released = false;
    std::string thread;
    std::string failure;  // what a failed wait saw

    bool matches(const site& s) const {
        if (prefix ? !s.point.starts_with(point) : s.point != point)
            return false;
        if (object != nullptr && s.object != object)
            return false;
        return !filter || filter(s);
    }

    std::string name() const {
        return "pause point '" + point + (prefix ? "*" : "") + "' (arrival " +
               std::to_string(occurrence) + ")";
    }
};

}  // namespace detail

namespace {

using detail::armed;

// Holds not yet reached, guarded by the scheduler lock; the count lets reach() skip the lock
// when nothing is armed, which is almost always.
std::list<std::shared_ptr<armed>>& waiting_holds() {
    static auto* l = new std::list<std::shared_ptr<armed>>();
    return *l;
}
std::atomic<std::size_t> armed_holds{0};

void disarm_locked(const std::shared_ptr<armed>& a) {
    auto& l = waiting_holds();
    auto it = std::find(l.begin(), l.end(), a);
    if (it != l.end()) {
        l.erase(it);
        --armed_holds;
    }
}

}  // namespace

hold::hold(std::string_view point, hold_options options) : state_(std::make_shared<armed>()) {
    if (point.ends_with('*')) {
        state_->prefix = true;
        point.remove_suffix(1);
    }
    state_->point = std::string(point);
    state_->occurrence = options.occurrence == 0 ? 1 : options.occurrence;
    state_->object = options.object;
    state_->filter = std::move(options.filter);
    std::lock_guard g(scheduler::get().lock());
    waiting_holds().push_back(state_);
    ++armed_holds;
}

hold::hold(std::string_view point, const void* object, unsigned occurrence)
    : hold(point, hold_options{occurrence, object, {}}) {}

hold::~hold() {
    release();
}

bool hold::wait_arrived(std::int64_t timeout_ms) {
    auto& s = scheduler::get();
    ticks deadline = s.now() + timeout_ms * ticks_per_ms;
    bool ok;
    {
        std::unique_lock lk(s.lock());
        std::function<bool()> ready = [this] { return state_->at != armed::phase::waiting; };
        ok = s.block(lk, ready, deadline, "a thread to reach " + state_->name());
    }
    if (!ok) {
        std::string threads = s.describe_threads();
        std::lock_guard g(s.lock());
        state_->failure = state_->name() + " was not reached within " + std::to_string(timeout_ms) +
                          " ms; the threads then:\n" + threads;
    }
    return ok;
}

bool hold::arrived() const {
    std::lock_guard g(scheduler::get().lock());
    return state_->at != armed::phase::waiting;
}

void hold::release() {
    auto& s = scheduler::get();
    std::lock_guard g(s.lock());
    state_->released = true;
    disarm_locked(state_);
    s.wake();
}

bool hold::wait_left(std::int64_t timeout_ms) {
    auto& s = scheduler::get();
    ticks deadline = s.now() + timeout_ms * ticks_per_ms;
    std::unique_lock lk(s.lock());
    std::function<bool()> ready = [this] { return state_->at == armed::phase::left; };
    return s.block(lk, ready, deadline, "the thread held at " + state_->name() + " to go on");
}

std::string hold::thread_name() const {
    std::lock_guard g(scheduler::get().lock());
    return state_->thread;
}

std::string hold::describe() const {
    std::lock_guard g(scheduler::get().lock());
    if (!state_->failure.empty())
        return state_->failure;
    switch (state_->at) {
        case armed::phase::waiting:
            return state_->name() + ": not reached (" + std::to_string(state_->seen) +
                   " matching arrival(s) so far)";
        case armed::phase::held:
            return state_->name() + ": held on thread '" + state_->thread + "'";
        case armed::phase::left:
            break;
    }
    return state_->name() + ": held on thread '" + state_->thread + "', released";
}

void reach(std::string_view point, const void* object) {
    // Every pause point is also a synchronisation point of the deterministic mode.
    scheduler::get().sync_point(point);
    if (armed_holds.load() == 0)
        return;
    auto& s = scheduler::get();
    std::unique_lock lk(s.lock());
    thread_record& me = s.current_locked();
    site here{point, object, me.name};
    std::vector<std::shared_ptr<armed>> taken;
    auto& l = waiting_holds();
    for (auto it = l.begin(); it != l.end();) {
        armed& a = **it;
        if (a.matches(here) && ++a.seen == a.occurrence) {
            a.at = armed::phase::held;
            a.thread = me.name;
            taken.push_back(*it);
            it = l.erase(it);
            --armed_holds;
        } else {
            ++it;
        }
    }
    if (taken.empty())
        return;
    s.wake();  // the test may be waiting for the arrival
    for (auto& a : taken) {
        std::function<bool()> released = [&a] { return a->released; };
        s.block(lk, released, no_deadline, "held at " + a->name() + " until the test releases it");
        a->at = armed::phase::left;
    }
    s.wake();
}

std::size_t armed_count() {
    return armed_holds.load();
}

}  // namespace platform::pause_points
