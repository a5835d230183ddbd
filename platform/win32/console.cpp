// SetConsoleCtrlHandler and the delivery of console control events.
#include "win32/console.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "win32/threads.h"

namespace platform::win32 {
namespace {

struct console_state {
    std::vector<PHANDLER_ROUTINE> handlers;  // in the order they were added
    bool ignore_ctrl_c = false;
};

// By process id: ids are never reused, so a process that has gone leaves a harmless entry.
std::mutex& console_lock() {
    static auto* m = new std::mutex();
    return *m;
}
std::map<DWORD, console_state>& consoles() {
    static auto* c = new std::map<DWORD, console_state>();
    return *c;
}

void run_handlers(process& proc, DWORD event) {
    exit_if_ending();  // a process that has ended handles nothing
    std::vector<PHANDLER_ROUTINE> handlers;
    {
        std::lock_guard g(console_lock());
        console_state& c = consoles()[proc.id()];
        if (event == CTRL_C_EVENT && c.ignore_ctrl_c) {
            return;
        }
        handlers = c.handlers;
    }
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) {
        if ((*it)(event)) {
            return;
        }
    }
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

}  // namespace

void deliver_console_event(process& proc, DWORD event) {
    keep_thread(proc.start_thread("console-ctrl", [&proc, event] { run_handlers(proc, event); }));
}

}  // namespace platform::win32

using namespace platform;

extern "C" BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
    win32::process& proc = win32::current_process();
    std::lock_guard g(win32::console_lock());
    win32::console_state& c = win32::consoles()[proc.id()];
    if (HandlerRoutine == nullptr) {
        c.ignore_ctrl_c = Add != FALSE;
        return TRUE;
    }
    if (Add) {
        c.handlers.push_back(HandlerRoutine);
        return TRUE;
    }
    // The most recent registration goes first.
    auto it = std::find(c.handlers.rbegin(), c.handlers.rend(), HandlerRoutine);
    if (it == c.handlers.rend()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    c.handlers.erase(std::next(it).base());
    return TRUE;
}
