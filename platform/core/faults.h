// Fault injection. Every exported kernel and framework routine the driver can call asks
// `fault_point(name)` on entry; when a rule matches, the routine fails in its documented way
// (returns the status, or NULL for allocators and look-ups) without doing anything else.
// Calls are counted per routine name whether or not a rule matches.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::faults {

using status_t = std::int32_t;  // an NTSTATUS

// Fails the n-th call (1-based) to `routine` counted from now, once.
void fail_nth(std::string_view routine, unsigned n, status_t status);
// Fails every call to `routine` from now on, until cleared.
void fail_always(std::string_view routine, status_t status);
// Removes every rule for `routine` (all rules when empty); call counts are kept.
void clear(std::string_view routine = {});
// Number of calls `routine` has received since start-up (or since reset_counts()).
unsigned calls(std::string_view routine);
void reset_counts();

// Asked by each routine on entry. Returns the status to fail with, or nothing.
std::optional<status_t> fault_point(std::string_view routine);

}  // namespace platform::faults
