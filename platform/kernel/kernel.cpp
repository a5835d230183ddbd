// The verifier's final check of the machine.
#include "kernel/kernel.h"

#include <mutex>

#include "core/bugcheck.h"
#include "kernel/pool.h"

namespace platform::kernel {

std::vector<std::string> outstanding(const final_check_options& options) {
    std::vector<std::string> out;
    if (options.check_pool) {
        // Each tag, then each of its blocks with the driver's call that allocated it.
        for (const auto& entry : pool::snapshot()) {
            ULONG tag = entry.first;
            bool wanted = options.tags.empty();
            for (ULONG t : options.tags) {
                wanted = wanted || (t & 0x7FFFFFFF) == tag;  // the protected bit aside
            }
            if (!wanted) {
                continue;
            }
            std::vector<std::string> summary = pool::leak_report({tag});
            if (summary.empty()) {
                continue;  // freed meanwhile
            }
            out.push_back(summary.front());
            for (auto& line : pool::leak_blocks({tag})) {
                out.push_back("  " + line);
            }
        }
    }
    if (options.check_handles) {
        for (auto& line : ob::kernel_handles().describe()) {
            out.push_back(line);
        }
    }
    if (options.check_objects) {
        for (auto& line : ob::outstanding_objects()) {
            out.push_back("object still alive: " + line);
        }
    }
    return out;
}

namespace {

struct final_checks {
    std::mutex lock;
    std::vector<std::function<void()>> checks;
};

final_checks& added_checks() {
    static auto* c = new final_checks();
    return *c;
}

}  // namespace

void add_final_check(std::function<void()> check) {
    auto& c = added_checks();
    std::lock_guard g(c.lock);
    c.checks.push_back(std::move(check));
}

void final_check(const final_check_options& options) {
    std::vector<std::function<void()>> checks;
    {
        auto& c = added_checks();
        std::lock_guard g(c.lock);
        checks = c.checks;
    }
    for (auto& check : checks) {
        check();
    }
    std::vector<std::string> left = outstanding(options);
    if (left.empty()) {
        return;
    }
    std::string report = "resources still outstanding at the final check:\n";
    for (auto& line : left) {
        report += "  " + line + "\n";
    }
    pool::usage total = pool::outstanding_total();
    bug_check(bug_code::driver_verifier_detected_violation, report, 0x60, total.bytes, total.count,
              ob::kernel_handles().size());
}

}  // namespace platform::kernel
