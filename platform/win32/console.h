// Console control events (consoleapi.h) as the machine delivers them to a program.
#pragma once

#include <windows.h>

#include "win32/process.h"

namespace platform::win32 {

// Delivers `event` (CTRL_C_EVENT, CTRL_BREAK_EVENT, ...) to `proc` as the console does: on a
// new thread of the process, which calls the handlers last registered first until one
// returns TRUE, and otherwise ends the process with STATUS_CONTROL_C_EXIT. A Ctrl-C the
// process ignores (SetConsoleCtrlHandler(NULL, TRUE)) runs nothing. Returns at once.
void deliver_console_event(process& proc, DWORD event);

}  // namespace platform::win32
