#include "core/lock_tracker.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/bugcheck.h"
#include "core/scheduler.h"
#include "core/symbolizer.h"

namespace platform::lock_tracker {
namespace {

// One acquisition: which lock, as the driver knows it, and where the driver took it.
struct acquisition {
    const void* lock = nullptr;
    std::string_view kind;
    const void* handle = nullptr;
    const void* site = nullptr;
};

thread_local std::vector<acquisition> tls_held;

// Edge a -> b: b was taken while a was held; `first` is a's acquisition, `second` b's, the
// first time the order was seen.
struct edge {
    acquisition first;
    acquisition second;
};

struct owner_info {
    acquisition taken;
    std::string thread;
};

struct graph {
    std::mutex lock;
    std::map<const void*, std::map<const void*, edge>> after;
    std::map<const void*, owner_info> owner;
};

graph& g() {
    static graph* instance = new graph();
    return *instance;
}

std::string addr(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

std::string name_of(const acquisition& a) {
    return std::string(a.kind) + " " + addr(a.handle != nullptr ? a.handle : a.lock);
}

std::string site_of(const acquisition& a) {
    return a.site != nullptr ? "acquired at " + symbolizer::describe(a.site)
                             : std::string("acquired by the platform");
}

std::string held_text(const acquisition& a) {
    return name_of(a) + " " + site_of(a);
}

std::string current_thread_name() {
    return scheduler::get().current().name;
}

const acquisition* find_held(const void* lock) {
    auto it = std::find_if(tls_held.begin(), tls_held.end(),
                           [lock](const acquisition& a) { return a.lock == lock; });
    return it == tls_held.end() ? nullptr : &*it;
}

// The edges of a path from `from` to `to` in the order graph (empty when there is none).
std::vector<const edge*> path(graph& gr, const void* from, const void* to) {
    std::map<const void*, std::pair<const void*, const edge*>> came_from;
    std::deque<const void*> todo{from};
    came_from[from] = {nullptr, nullptr};
    while (!todo.empty()) {
        const void* at = todo.front();
        todo.pop_front();
        if (at == to) {
            std::vector<const edge*> out;
            for (const void* p = to; p != from; p = came_from[p].first) {
                out.push_back(came_from[p].second);
            }
            std::reverse(out.begin(), out.end());
            return out;
        }
        auto it = gr.after.find(at);
        if (it == gr.after.end()) {
            continue;
        }
        for (auto& [next, e] : it->second) {
            if (came_from.emplace(next, std::pair{at, &e}).second) {
                todo.push_back(next);
            }
        }
    }
    return {};
}

[[noreturn]] void report_inversion(const acquisition& held, const acquisition& taking,
                                   const std::vector<const edge*>& earlier) {
    std::string what = "lock order inversion: " + name_of(taking) + " " + site_of(taking) +
                       " while holding " + held_text(held) +
                       "; the opposite order was seen before: ";
    for (std::size_t i = 0; i < earlier.size(); ++i) {
        const edge* e = earlier[i];
        what += (i == 0 ? "" : ", then ") + name_of(e->second) + " " + site_of(e->second) +
                " while holding " + held_text(e->first);
    }
    bug_check(bug_code::driver_verifier_detected_violation, what, 0x2,
              reinterpret_cast<std::uintptr_t>(held.lock),
              reinterpret_cast<std::uintptr_t>(taking.lock));
}

}  // namespace

void on_acquire(const void* lock, std::string_view kind, const void* handle, const void* site) {
    acquisition taking{lock, kind, handle, site};
    if (const acquisition* mine = find_held(lock)) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  name_of(taking) + " acquired recursively by its owner: " + site_of(taking) +
                      " while already " + site_of(*mine),
                  0x1, reinterpret_cast<std::uintptr_t>(lock));
    }
    std::string thread = current_thread_name();
    auto& gr = g();
    std::lock_guard guard(gr.lock);
    for (const acquisition& held : tls_held) {
        auto& edges = gr.after[held.lock];
        if (edges.count(lock) != 0) {
            continue;
        }
        std::vector<const edge*> earlier = path(gr, lock, held.lock);
        if (!earlier.empty()) {
            report_inversion(held, taking, earlier);
        }
        edges.emplace(lock, edge{held, taking});
    }
    gr.owner[lock] = owner_info{taking, std::move(thread)};
    tls_held.push_back(taking);
}

void on_release(const void* lock, std::string_view kind, const void* handle) {
    auto it = std::find_if(tls_held.begin(), tls_held.end(),
                           [lock](const acquisition& a) { return a.lock == lock; });
    if (it == tls_held.end()) {
        acquisition released{lock, kind, handle, nullptr};
        std::string what = name_of(released) + " released by a thread that does not hold it ('" +
                           current_thread_name() + "')";
        {
            auto& gr = g();
            std::lock_guard guard(gr.lock);
            auto owner = gr.owner.find(lock);
            what += owner != gr.owner.end() ? "; its owner, thread '" + owner->second.thread +
                                                  "', " + site_of(owner->second.taken)
                                            : std::string("; no thread holds it");
        }
        bug_check(bug_code::driver_verifier_detected_violation, what, 0x3,
                  reinterpret_cast<std::uintptr_t>(lock));
    }
    tls_held.erase(it);
    auto& gr = g();
    std::lock_guard guard(gr.lock);
    gr.owner.erase(lock);
}

bool held_by_current(const void* lock) {
    return find_held(lock) != nullptr;
}

std::size_t held_count() {
    return tls_held.size();
}

std::string describe_held(std::size_t from) {
    std::string out;
    for (std::size_t i = from; i < tls_held.size(); ++i) {
        out += (i == from ? "" : "; ") + held_text(tls_held[i]);
    }
    return out;
}

void expect_none_held(std::string_view where) {
    expect_held_count(0, where);
}

void expect_held_count(std::size_t count, std::string_view where) {
    if (tls_held.size() > count) {
        bug_check(
            bug_code::driver_verifier_detected_violation,
            "lock still held when " + std::string(where) + " returned: " + describe_held(count),
            0x4, reinterpret_cast<std::uintptr_t>(tls_held.back().lock), tls_held.size() - count);
    }
}

void forget(const void* lock) {
    auto& gr = g();
    std::lock_guard guard(gr.lock);
    auto owner = gr.owner.find(lock);
    if (owner != gr.owner.end()) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  name_of(owner->second.taken) + " deleted while held: thread '" +
                      owner->second.thread + "' " + site_of(owner->second.taken),
                  0x5, reinterpret_cast<std::uintptr_t>(lock));
    }
    gr.after.erase(lock);
    for (auto& [from, to] : gr.after) {
        to.erase(lock);
    }
}

void reset_graph() {
    auto& gr = g();
    std::lock_guard guard(gr.lock);
    gr.after.clear();
}

}  // namespace platform::lock_tracker
