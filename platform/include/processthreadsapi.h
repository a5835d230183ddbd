// Threads and processes of the Win32 subset: CreateThread and the thread's exit code, the
// current process's pseudo handle, ExitProcess, TerminateProcess and the process's exit code.
// Implemented in platform/win32 (threads.cpp, process_control.cpp); included by <windows.h>.
#pragma once

#include <windows.h>

#ifndef DECLSPEC_NORETURN
#define DECLSPEC_NORETURN __attribute__((noreturn))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

#define STILL_ACTIVE 259L  // STATUS_PENDING: the exit code of a thread or process still running
#define CREATE_SUSPENDED 0x00000004
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000

// Spelled as wdm.h spells them, so either header may come first.
#define THREAD_TERMINATE (0x0001)
#define THREAD_QUERY_INFORMATION (0x0040)
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)
#define THREAD_QUERY_LIMITED_INFORMATION (0x0800)
#define PROCESS_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)
#define PROCESS_TERMINATE (0x0001)
#define PROCESS_QUERY_INFORMATION (0x0400)
#define PROCESS_QUERY_LIMITED_INFORMATION (0x1000)

// Starts a thread of the calling process running lpStartAddress(lpParameter). The handle
// (THREAD_ALL_ACCESS) is signalled once the thread has ended and the requests it issued have
// been cancelled and have come back. The stack size is accepted and ignored, as the host
// chooses its threads' stacks; CREATE_SUSPENDED is not supported (a missing routine).
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId);
BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);

// (HANDLE)-1: the calling process, in every process.
HANDLE WINAPI GetCurrentProcess(void);
// Ends the calling process with uExitCode: its requests are cancelled, its handles closed,
// and every thread of it ends at its next wait in the Win32 subset (the calling one at once).
DECLSPEC_NORETURN void WINAPI ExitProcess(UINT uExitCode);
BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode);
BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode);

#ifdef __cplusplus
}  // extern "C"
#endif
