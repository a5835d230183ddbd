// Helpers the Win32 routines share.
#pragma once

#include <windows.h>

#include <string_view>

#include "kernel/named_events.h"

namespace platform::win32 {

// SetLastError(RtlNtStatusToDosError(status)).
void set_status_error(NTSTATUS status);

// The event behind a handle of the calling process whose granted access includes `needed`;
// null with the last error set (ERROR_INVALID_HANDLE, ERROR_ACCESS_DENIED) otherwise.
ob::ref<kernel::event_object> event_from_handle(HANDLE h, ACCESS_MASK needed);

HANDLE create_file(std::u16string_view name, DWORD access, DWORD share, DWORD disposition,
                   DWORD flags);

}  // namespace platform::win32
