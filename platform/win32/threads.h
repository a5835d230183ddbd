// Threads of Win32 processes: the point where a thread of an ending process unwinds, and the
// thread objects CreateThread hands out handles to.
#pragma once

#include <windows.h>

#include <memory>

#include "core/scheduler.h"
#include "kernel/object_manager.h"
#include "win32/process.h"

namespace platform::win32 {

// Throws thread_exit when the calling thread's process is ending. Call with the scheduler
// lock released.
void exit_if_ending();
// The same, with the scheduler lock held by the caller (it stays held while unwinding).
void exit_if_ending_locked(const process& proc);

// Keeps a thread of a process until it has finished, then joins it (from another thread, or
// at exit): for threads nobody waits for by joining.
void keep_thread(std::shared_ptr<scheduler::joinable> t);

// The kernel thread object behind a handle of the calling process (granted access including
// `needed`); null with the last error set otherwise.
ob::ref<ob::object> thread_from_handle(HANDLE h, ACCESS_MASK needed);

}  // namespace platform::win32
