#include "core/lock_tracker.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/bugcheck.h"

namespace platform::lock_tracker {
namespace {

thread_local std::vector<const void*> tls_held;

struct graph {
    std::mutex lock;
    std::map<const void*, std::set<const void*>> after;  // edge a -> b: b taken while a held
    std::map<const void*, const void*> owner;            // lock -> owning thread marker
};

graph& g() {
    static graph* instance = new graph();
    return *instance;
}

const void* thread_marker() {
    return &tls_held;
}

bool reaches(graph& gr, const void* from, const void* to, std::set<const void*>& seen) {
    if (from == to) {
        return true;
    }
    if (!seen.insert(from).second) {
        return false;
    }
    auto it = gr.after.find(from);
    if (it == gr.after.end()) {
        return false;
    }
    return std::any_of(it->second.begin(), it->second.end(),
                       [&](const void* next) { return reaches(gr, next, to, seen); });
}

std::string addr(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

}  // namespace

void on_acquire(const void* lock, std::string_view kind) {
    if (std::find(tls_held.begin(), tls_held.end(), lock) != tls_held.end()) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  std::string(kind) + " acquired recursively by its owner", 0x1,
                  reinterpret_cast<std::uintptr_t>(lock));
    }
    auto& gr = g();
    std::lock_guard guard(gr.lock);
    for (const void* held : tls_held) {
        auto& edges = gr.after[held];
        if (edges.count(lock) != 0) {
            continue;
        }
        std::set<const void*> seen;
        if (reaches(gr, lock, held, seen)) {
            bug_check(bug_code::driver_verifier_detected_violation,
                      std::string("lock order inversion: ") + std::string(kind) + " " + addr(lock) +
                          " taken while holding " + addr(held) + ", but elsewhere " + addr(held) +
                          " was taken while holding " + addr(lock),
                      0x2, reinterpret_cast<std::uintptr_t>(held),
                      reinterpret_cast<std::uintptr_t>(lock));
        }
        edges.insert(lock);
    }
    gr.owner[lock] = thread_marker();
    tls_held.push_back(lock);
}

void on_release(const void* lock, std::string_view kind) {
    auto it = std::find(tls_held.begin(), tls_held.end(), lock);
    if (it == tls_held.end()) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  std::string(kind) + " released by a thread that does not hold it", 0x3,
                  reinterpret_cast<std::uintptr_t>(lock));
    }
    tls_held.erase(it);
    auto& gr = g();
    std::lock_guard guard(gr.lock);
    gr.owner.erase(lock);
}

bool held_by_current(const void* lock) {
    return std::find(tls_held.begin(), tls_held.end(), lock) != tls_held.end();
}

std::size_t held_count() {
    return tls_held.size();
}

void expect_none_held(std::string_view where) {
    if (!tls_held.empty()) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  "lock still held when " + std::string(where) + " returned", 0x4,
                  reinterpret_cast<std::uintptr_t>(tls_held.back()), tls_held.size());
    }
}

void expect_held_count(std::size_t count, std::string_view where) {
    if (tls_held.size() > count) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  "lock still held when " + std::string(where) + " returned", 0x4,
                  reinterpret_cast<std::uintptr_t>(tls_held.back()), tls_held.size() - count);
    }
}

void forget(const void* lock) {
    auto& gr = g();
    std::lock_guard guard(gr.lock);
    if (gr.owner.count(lock) != 0) {
        bug_check(bug_code::driver_verifier_detected_violation, "lock deleted while held", 0x5,
                  reinterpret_cast<std::uintptr_t>(lock));
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
