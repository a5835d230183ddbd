// A program that only opens \\.\VRAX and closes it again: what the account's token and the
// driver's interface state let an open do.
#include "clients.h"

#include <vrax/vrax_names.h>

namespace vraxsim::programs {

bool open_and_close(DWORD& error) {
    HANDLE h = CreateFileW(VRAX_USER_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    CloseHandle(h);
    return true;
}

}  // namespace vraxsim::programs
