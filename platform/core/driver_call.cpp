#include "core/driver_call.h"

#include <cstdio>

#include "core/bugcheck.h"
#include "core/lock_tracker.h"
#include "core/scheduler.h"

namespace platform::verifier {
namespace {

thread_local const driver_call* tls_innermost = nullptr;

std::uint8_t current_irql() {
    return scheduler::get().current().irql;
}

std::string describe(const call_site& site) {
    std::string out = "in " + std::string(site.callback);
    char buf[64];
    bool open = false;
    auto add = [&](const char* text) {
        out += open ? ", " : " (";
        out += text;
        open = true;
    };
    if (site.object != nullptr) {
        std::snprintf(buf, sizeof buf, "object %p", site.object);
        add(buf);
    }
    if (site.request != nullptr) {
        std::snprintf(buf, sizeof buf, "request %p", site.request);
        add(buf);
    }
    if (!site.io_kind.empty()) {
        add(std::string(site.io_kind).c_str());
    }
    if (open) {
        out += ")";
    }
    return out;
}

}  // namespace

driver_call::driver_call(const call_site& site)
    : site_(site),
      irql_at_entry_(current_irql()),
      locks_at_entry_(lock_tracker::held_count()),
      outer_(tls_innermost) {
    tls_innermost = this;
}

driver_call::~driver_call() {
    returned();
}

void driver_call::returned() {
    if (checked_) {
        return;
    }
    checked_ = true;
    tls_innermost = outer_;
    // "EvtIoRead (queue 0x..., request 0x..., read)": the callback and what it was given.
    std::string where = describe(site_).substr(3);
    lock_tracker::expect_held_count(locks_at_entry_, where);
    std::uint8_t now = current_irql();
    if (now != irql_at_entry_) {
        bug_check(bug_code::irql_not_less_or_equal,
                  where + " returned at IRQL " + std::to_string(now) + ", called at " +
                      std::to_string(irql_at_entry_) +
                      (now > irql_at_entry_ ? " (raised and never lowered)"
                                            : " (lowered below the IRQL it was called at)"),
                  now, irql_at_entry_);
    }
}

const call_site* current_call() {
    return tls_innermost != nullptr ? &tls_innermost->site_ : nullptr;
}

std::string describe_current_call() {
    const call_site* site = current_call();
    return site != nullptr ? describe(*site) : std::string();
}

}  // namespace platform::verifier
