// CreateThread and the thread's exit code. A program's thread is a thread of its process
// known to the scheduler, with a kernel thread object that its handle refers to and that is
// signalled when the thread has ended: after the requests it issued were cancelled and came
// back, as a thread's exit does on Windows.
#include "win32/threads.h"

#include <wdm.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "core/bugcheck.h"
#include "core/scheduler.h"
#include "io/io_manager.h"
#include "kernel/kernel.h"
#include "win32/win32_internal.h"

namespace platform::win32 {
namespace {

// The routine's return value of every thread CreateThread started that has ended, by its
// thread body. A body's entry is rewritten when a later thread reuses the address, before
// that thread is signalled, so a terminated thread always finds its own code.
std::map<const void*, DWORD>& exit_codes() {
    static auto* codes = new std::map<const void*, DWORD>();
    return *codes;
}

// Threads are joined by whoever starts the next one, or at exit: never by themselves.
struct reaper {
    std::mutex lock;
    std::vector<std::shared_ptr<scheduler::joinable>> threads;
};
reaper& thread_reaper() {
    static auto* r = new reaper();
    return *r;
}

void reap(bool all) {
    std::vector<std::shared_ptr<scheduler::joinable>> done;
    {
        auto& r = thread_reaper();
        std::lock_guard g(r.lock);
        for (auto it = r.threads.begin(); it != r.threads.end();) {
            if (all || (*it)->finished()) {
                done.push_back(std::move(*it));
                it = r.threads.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& t : done) {
        t->join();
    }
}

// What the new thread tells its creator once its thread object exists.
struct start_state {
    ob::ref<ob::object> thread;  // guarded by the scheduler lock
    DWORD id = 0;
};

}  // namespace

void keep_thread(std::shared_ptr<scheduler::joinable> t) {
    static const bool registered = [] { return std::atexit([] { reap(true); }) == 0; }();
    (void)registered;
    reap(false);
    auto& r = thread_reaper();
    std::lock_guard g(r.lock);
    r.threads.push_back(std::move(t));
}

void exit_if_ending_locked(const process& proc) {
    if (proc.ending_locked()) {
        throw thread_exit{};
    }
}

void exit_if_ending() {
    process& proc = current_process();
    std::lock_guard g(scheduler::get().lock());
    exit_if_ending_locked(proc);
}

ob::ref<ob::object> thread_from_handle(HANDLE h, ACCESS_MASK needed) {
    ob::handle_entry e = current_process().handles().lookup(h);
    if (!e.obj || e.obj->type() != ob::kind::thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return {};
    }
    if ((e.granted & needed) != needed) {
        SetLastError(ERROR_ACCESS_DENIED);
        return {};
    }
    return e.obj;
}

}  // namespace platform::win32

using namespace platform;

extern "C" {

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                    LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
    win32::exit_if_ending();
    if (lpStartAddress == nullptr ||
        (dwCreationFlags & ~DWORD(CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if ((dwCreationFlags & CREATE_SUSPENDED) != 0) {
        not_implemented("CreateThread with CREATE_SUSPENDED (ResumeThread)");
    }
    win32::process& proc = win32::current_process();
    auto& s = scheduler::get();
    auto state = std::make_shared<win32::start_state>();
    auto joinable = proc.start_thread("thread", [state, &proc, lpStartAddress, lpParameter] {
        PETHREAD self = PsGetCurrentThread();
        {
            std::lock_guard g(scheduler::get().lock());
            state->thread = ob::ref<ob::object>(ob::from_body(self), false);
            state->id = static_cast<DWORD>(scheduler::get().current_locked().id);
            scheduler::get().wake();
        }
        DWORD code;
        try {
            code = lpStartAddress(lpParameter);
        } catch (const win32::thread_exit&) {
            code = proc.exit_code();  // a thread of a terminated process ends with its code
        }
        {
            std::lock_guard g(scheduler::get().lock());
            win32::exit_codes()[self] = code;
        }
        // Before the thread object is signalled: a waiter on the handle sees the thread's
        // requests back.
        io::cancel_thread_requests(&scheduler::get().current());
    });
    std::unique_lock lk(s.lock());
    std::function<bool()> started = [&state] { return static_cast<bool>(state->thread); };
    s.block(lk, started, no_deadline, "a new thread to start");
    ob::ref<ob::object> thread = state->thread;
    DWORD id = state->id;
    lk.unlock();
    win32::keep_thread(std::move(joinable));
    HANDLE h = proc.handles().insert(thread, THREAD_ALL_ACCESS);
    if (lpThreadId != nullptr) {
        *lpThreadId = id;
    }
    return h;
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    ob::ref<ob::object> thread =
        win32::thread_from_handle(hThread, THREAD_QUERY_LIMITED_INFORMATION);
    if (!thread) {
        return FALSE;
    }
    if (lpExitCode == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    auto* body = static_cast<PETHREAD>(thread->body());
    if (!kernel::thread_terminated(body)) {
        *lpExitCode = STILL_ACTIVE;
        return TRUE;
    }
    std::optional<DWORD> code;
    {
        std::lock_guard g(scheduler::get().lock());
        auto it = win32::exit_codes().find(body);
        if (it != win32::exit_codes().end()) {
            code = it->second;
        }
    }
    // A thread CreateThread did not start: the kernel's exit status of it.
    *lpExitCode = code ? *code : static_cast<DWORD>(kernel::thread_exit_status(body));
    return TRUE;
}

}  // extern "C"
