// Ending processes: ExitProcess, TerminateProcess and the exit code. The process's threads
// unwind at their next wait in the Win32 subset (win32::thread_exit), the calling one at once.
#include <windows.h>

#include "win32/process.h"
#include "win32/threads.h"

namespace {

// GetCurrentProcess()'s pseudo handle, the same value in every process.
HANDLE current_process_handle() {
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

}  // namespace

using namespace platform;

extern "C" {

HANDLE GetCurrentProcess(void) {
    return current_process_handle();
}

void ExitProcess(UINT uExitCode) {
    win32::current_process().terminate(uExitCode);
    throw win32::thread_exit{};
}

BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode) {
    if (hProcess != current_process_handle()) {
        // Processes other than the caller's have no handles in this subset; the machine ends
        // them through win32::process::terminate.
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ExitProcess(uExitCode);
}

BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
    if (hProcess != current_process_handle()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpExitCode == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *lpExitCode = win32::current_process().exit_code();
    return TRUE;
}

}  // extern "C"
