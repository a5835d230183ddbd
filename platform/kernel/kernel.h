// The kernel's machine-level checks and its emulated threads.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kernel/object_manager.h"

namespace platform::kernel {

struct final_check_options {
    // Pool tags to check; empty checks every tag.
    std::vector<ULONG> tags;
    bool check_pool = true;
    bool check_handles = true;  // kernel handles still open
    bool check_objects = true;  // objects referenced beyond their namespace entry
};

// What is still outstanding, one line each (empty when clean).
std::vector<std::string> outstanding(const final_check_options& options = {});
// The verifier's check at unload / shutdown: bug check DRIVER_VERIFIER_DETECTED_VIOLATION
// (0xC4) listing pool by tag, kernel handles and objects still referenced.
void final_check(const final_check_options& options = {});
// Adds a check final_check runs first (the I/O manager's quarantine of freed system
// buffers); a check bug-checks on what it finds.
void add_final_check(std::function<void()> check);

// The kernel thread object of a thread (system threads have one from creation; other known
// threads get one on first use).
class thread_object;
thread_object* current_thread_object();
// A user-mode wait (the Win32 subset's WaitForMultipleObjects): as KeWaitForMultipleObjects
// with a user-mode wait, except that it also ends, with STATUS_USER_APC, once `interrupted`
// holds (read under the scheduler lock; the caller's process ending, say).
NTSTATUS wait_for_user(ULONG count, void* const* objects, WAIT_TYPE type,
                       const LARGE_INTEGER* timeout, const std::function<bool()>& interrupted);
// The thread's exit status once it has terminated, else STATUS_PENDING.
NTSTATUS thread_exit_status(PETHREAD thread);
bool thread_terminated(PETHREAD thread);

// Virtual system time origin: KeQuerySystemTime returns boot_system_time + scheduler time.
inline constexpr LONGLONG boot_system_time = 134'117'000'000'000'000LL;  // a 2026 date (FILETIME)

// The scheduler deadline of a kernel or framework time-out, as KeWaitForSingleObject and
// WdfWaitLockAcquire read it (100-ns units): null waits forever, a negative value is relative
// to now, zero and positive values are absolute system times (KeQuerySystemTime's clock),
// which may already have passed.
std::int64_t deadline_of(const LONGLONG* timeout);

// System threads (PsCreateSystemThread) belong to the driver whose code created them: a
// thread created from another system thread belongs to that thread's driver, otherwise the
// resolver names the driver whose code the calling thread runs (the framework installs one;
// without it, or when it returns null, the thread belongs to no particular driver).
void set_driver_resolver(PDRIVER_OBJECT (*resolver)());
// The driver the calling system thread belongs to; null on any other thread, or on a system
// thread that belongs to no particular driver.
PDRIVER_OBJECT system_thread_driver();
// One line per system thread of `driver` (of any driver when null) that is still running
// driver code: its start routine has not returned or called PsTerminateSystemThread.
std::vector<std::string> driver_threads_running(PDRIVER_OBJECT driver);
// The verifier's check when a driver is unloaded: a system thread it created still running
// its code is bug check 0xCE (a driver unloaded without cancelling pending operations).
// Null checks the threads of every driver.
void expect_no_driver_threads(PDRIVER_OBJECT driver);

}  // namespace platform::kernel
