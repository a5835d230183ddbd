// Console control events of the Win32 subset: a program's handler routines for Ctrl-C and
// Ctrl-Break. Implemented in platform/win32/console.cpp; included by <windows.h>.
//
// An event is delivered on a new thread of the process (as the console does): the handlers
// are called last registered first until one returns TRUE; when none does, the default
// handler ends the process with STATUS_CONTROL_C_EXIT. SetConsoleCtrlHandler(NULL, TRUE)
// makes the process ignore Ctrl-C (not Ctrl-Break), FALSE restores it. The machine
// delivers an event with platform::win32::deliver_console_event (win32/console.h).
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CTRL_C_EVENT 0
#define CTRL_BREAK_EVENT 1
#define CTRL_CLOSE_EVENT 2
#define CTRL_LOGOFF_EVENT 5
#define CTRL_SHUTDOWN_EVENT 6

typedef BOOL(WINAPI* PHANDLER_ROUTINE)(DWORD CtrlType);

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add);

#ifdef __cplusplus
}  // extern "C"
#endif
