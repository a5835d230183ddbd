// The Win32 subset client programs use: files opened on devices, device controls, reads and
// writes (synchronous or overlapped), cancellation, events and waits, and the last error.
// Implemented by the host platform (platform/win32) over its I/O manager; every blocking
// call goes through the platform's scheduler, so programs run in virtual time.
//
// On the host WCHAR is char16_t, so u"..." literals are LPCWSTR; C++ overloads taking
// const wchar_t* let code written with L"..." compile unchanged.
#pragma once

#include <ntdef.h>
#include <winerror.h>
#include <winioctl.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int BOOL;
typedef BOOL* PBOOL;
typedef BOOL* LPBOOL;
typedef HANDLE* LPHANDLE;

#define WINAPI

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;      // the request's status: STATUS_PENDING until it completes
    ULONG_PTR InternalHigh;  // bytes transferred
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INFINITE 0xFFFFFFFF

// ---- Access rights --------------------------------------------------------------------------
#ifndef GENERIC_READ
#define DELETE (0x00010000L)
#define READ_CONTROL (0x00020000L)
#define WRITE_DAC (0x00040000L)
#define WRITE_OWNER (0x00080000L)
#define SYNCHRONIZE (0x00100000L)
#define STANDARD_RIGHTS_REQUIRED (0x000F0000L)
#define STANDARD_RIGHTS_READ (READ_CONTROL)
#define STANDARD_RIGHTS_WRITE (READ_CONTROL)
#define STANDARD_RIGHTS_EXECUTE (READ_CONTROL)
#define STANDARD_RIGHTS_ALL (0x001F0000L)
#define MAXIMUM_ALLOWED (0x02000000L)
#define GENERIC_READ (0x80000000L)
#define GENERIC_WRITE (0x40000000L)
#define GENERIC_EXECUTE (0x20000000L)
#define GENERIC_ALL (0x10000000L)
#endif
#ifndef EVENT_ALL_ACCESS
#define EVENT_QUERY_STATE 0x0001
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)
#endif
#include <file_access.h>

// ---- CreateFileW ----------------------------------------------------------------------------
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#ifndef FILE_ATTRIBUTE_NORMAL
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#endif
#define FILE_FLAG_WRITE_THROUGH 0x80000000
#define FILE_FLAG_OVERLAPPED 0x40000000
#define FILE_FLAG_NO_BUFFERING 0x20000000

// ---- Waits ----------------------------------------------------------------------------------
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED_0 0x00000080L
#define WAIT_TIMEOUT 258L
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)
#ifndef MAXIMUM_WAIT_OBJECTS
#define MAXIMUM_WAIT_OBJECTS 64
#endif

// The I/O manager stores the status from the thread that completes the request; the read
// pairs with that store, as a program polling the field from another thread relies on.
#define HasOverlappedIoCompleted(lpOverlapped)                                \
    (((DWORD)__atomic_load_n(&(lpOverlapped)->Internal, __ATOMIC_ACQUIRE)) != \
     0x00000103L /* STATUS_PENDING */)

// ---- Routines -------------------------------------------------------------------------------
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL WINAPI CloseHandle(HANDLE hObject);
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped);
BOOL WINAPI CancelIo(HANDLE hFile);

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCWSTR lpName);
HANDLE WINAPI OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds);
void WINAPI Sleep(DWORD dwMilliseconds);

DWORD WINAPI GetCurrentProcessId(void);
DWORD WINAPI GetCurrentThreadId(void);

#define CreateFile CreateFileW
#define CreateEvent CreateEventW
#define OpenEvent OpenEventW

#ifdef __cplusplus
}  // extern "C"

#if defined(__SIZEOF_WCHAR_T__) && __SIZEOF_WCHAR_T__ != 2
// Wide-literal overloads for host programs (wchar_t is 32 bits here, WCHAR 16). They are
// templates so that a null name (NULL, nullptr) still picks the LPCWSTR routine.
#include <type_traits>

namespace platform::win32 {
HANDLE create_file_wide(const wchar_t* name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                        DWORD disposition, DWORD flags, HANDLE template_file);
HANDLE create_event_wide(LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, const wchar_t* name);
HANDLE open_event_wide(DWORD access, BOOL inherit, const wchar_t* name);
}  // namespace platform::win32

template <typename C, typename = std::enable_if_t<std::is_same_v<C, wchar_t>>>
inline HANDLE CreateFileW(const C* lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    return platform::win32::create_file_wide(lpFileName, dwDesiredAccess, dwShareMode,
                                             lpSecurityAttributes, dwCreationDisposition,
                                             dwFlagsAndAttributes, hTemplateFile);
}
template <typename C, typename = std::enable_if_t<std::is_same_v<C, wchar_t>>>
inline HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, const C* lpName) {
    return platform::win32::create_event_wide(lpEventAttributes, bManualReset, bInitialState,
                                              lpName);
}
template <typename C, typename = std::enable_if_t<std::is_same_v<C, wchar_t>>>
inline HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, const C* lpName) {
    return platform::win32::open_event_wide(dwDesiredAccess, bInheritHandle, lpName);
}
#endif
#endif

// ---- Memory routines, MSVC's __pragma, and the rest of the subset ----------------------------
#ifndef ZeroMemory
#define ZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define FillMemory(Destination, Length, Fill) __builtin_memset((Destination), (Fill), (Length))
#define CopyMemory(Destination, Source, Length) __builtin_memcpy((Destination), (Source), (Length))
#define MoveMemory(Destination, Source, Length) __builtin_memmove((Destination), (Source), (Length))
#endif
// The operator form of #pragma; the pragmas programs give with it (warning suppressions)
// mean nothing to this compiler.
#ifndef __pragma
#define __pragma(x)
#endif

#include <consoleapi.h>
#include <ioapiset.h>
#include <processthreadsapi.h>
#include <win32_crt.h>
