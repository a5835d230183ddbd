#include "core/faults.h"

#include <map>
#include <mutex>
#include <vector>

namespace platform::faults {
namespace {

struct rule {
    unsigned at_call = 0;  // absolute call number to fail; 0 = every call
    status_t status = 0;
};

struct routine_state {
    unsigned calls = 0;
    std::vector<rule> rules;
};

struct registry {
    std::mutex lock;
    std::map<std::string, routine_state, std::less<>> routines;
};

registry& reg() {
    static registry r;
    return r;
}

routine_state& state_of(registry& r, std::string_view routine) {
    auto it = r.routines.find(routine);
    if (it == r.routines.end()) {
        it = r.routines.emplace(std::string(routine), routine_state{}).first;
    }
    return it->second;
}

}  // namespace

void fail_nth(std::string_view routine, unsigned n, status_t status) {
    auto& r = reg();
    std::lock_guard g(r.lock);
    auto& s = state_of(r, routine);
    s.rules.push_back({s.calls + (n == 0 ? 1 : n), status});
}

void fail_always(std::string_view routine, status_t status) {
    auto& r = reg();
    std::lock_guard g(r.lock);
    state_of(r, routine).rules.push_back({0, status});
}

void clear(std::string_view routine) {
    auto& r = reg();
    std::lock_guard g(r.lock);
    for (auto& [name, s] : r.routines) {
        if (routine.empty() || name == routine) {
            s.rules.clear();
        }
    }
}

unsigned calls(std::string_view routine) {
    auto& r = reg();
    std::lock_guard g(r.lock);
    auto it = r.routines.find(routine);
    return it == r.routines.end() ? 0 : it->second.calls;
}

void reset_counts() {
    auto& r = reg();
    std::lock_guard g(r.lock);
    for (auto& [name, s] : r.routines) {
        s.calls = 0;
        s.rules.clear();
    }
}

std::optional<status_t> fault_point(std::string_view routine) {
    auto& r = reg();
    std::lock_guard g(r.lock);
    auto& s = state_of(r, routine);
    ++s.calls;
    for (auto it = s.rules.begin(); it != s.rules.end(); ++it) {
        if (it->at_call == 0) {
            return it->status;
        }
        if (it->at_call == s.calls) {
            status_t st = it->status;
            s.rules.erase(it);
            return st;
        }
    }
    return std::nullopt;
}

}  // namespace platform::faults
