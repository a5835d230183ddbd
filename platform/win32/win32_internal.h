// Helpers the Win32 routines share.
#pragma once

#include <windows.h>

#include <string_view>

#include "kernel/named_events.h"

namespace platform::win32 {

// The verifier's check on every return from a Win32 call to the program. Driver code may
// run on the program's own thread inside the call (a dispatch routine, a request presented
// on the sender's thread, a cancel routine, a clean-up); when the call returns, no lock that
// code took may still be held and the thread must be back at PASSIVE_LEVEL. Declared first
// in each routine that can reach a driver; the message names the routine.
class program_return {
  public:
    explicit program_return(const char* routine) : routine_(routine) {}
    ~program_return();
    program_return(const program_return&) = delete;
    program_return& operator=(const program_return&) = delete;

  private:
    const char* routine_;
};

// SetLastError(RtlNtStatusToDosError(status)).
void set_status_error(NTSTATUS status);

// The event behind a handle of the calling process whose granted access includes `needed`;
// null with the last error set (ERROR_INVALID_HANDLE, ERROR_ACCESS_DENIED) otherwise.
ob::ref<kernel::event_object> event_from_handle(HANDLE h, ACCESS_MASK needed);

HANDLE create_file(std::u16string_view name, DWORD access, DWORD share, DWORD disposition,
                   DWORD flags);

}  // namespace platform::win32
