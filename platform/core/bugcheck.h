// Bug checks: the verifier's way of stopping the machine. A bug check prints its code, a
// description and four parameters, then aborts the process, so the test that caused it fails
// with that message (tests that expect one use death tests).
#pragma once

#include <cstdint>
#include <string_view>

namespace platform {

// Codes follow the Windows ones where one exists.
enum class bug_code : std::uint32_t {
    irql_not_greater_or_equal = 0x09,
    irql_not_less_or_equal = 0x0A,
    reference_by_pointer = 0x18,  // an object's reference count went below zero
    maximum_wait_objects_exceeded = 0x0C,
    pool_corruption = 0x19,
    bad_pool_caller = 0xC2,
    driver_verifier_detected_violation = 0xC4,
    driver_left_locked_pages = 0xCB,
    driver_unloaded_without_cancelling_pending_operations = 0xCE,
    deadlock_detected = 0x1D4,  // every known thread blocked with no deadline
    wdf_violation = 0x10D,
    invalid_handle = 0x93,
    missing_routine = 0xE0000001,  // the platform does not implement a routine
};

[[noreturn]] void bug_check(bug_code code, std::string_view what, std::uint64_t p1 = 0,
                            std::uint64_t p2 = 0, std::uint64_t p3 = 0, std::uint64_t p4 = 0);

// A routine the platform was asked for but does not implement: fails loudly, never succeeds.
[[noreturn]] void not_implemented(std::string_view routine);

}  // namespace platform
