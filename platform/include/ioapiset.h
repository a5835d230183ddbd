// I/O completion ports of the Win32 subset. Implemented in platform/win32/completion_port.cpp;
// included by <windows.h>.
//
// A port queues completion packets: one for each overlapped request on a file associated
// with it (whether the request pended or completed at once, unless it failed at once or its
// OVERLAPPED's hEvent has the low-order bit set), and one for each
// PostQueuedCompletionStatus. A thread waiting in GetQueuedCompletionStatus takes the next
// packet; waiting threads are served last-in first-out, as Windows serves them. The
// concurrency value is accepted, not enforced: a packet never waits while a thread waits.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// FileHandle INVALID_HANDLE_VALUE with no ExistingCompletionPort: a new port. Otherwise
// associates FileHandle (opened with FILE_FLAG_OVERLAPPED, not yet associated) with
// ExistingCompletionPort, or with a new port when that is NULL, under CompletionKey; returns
// the port's handle (ExistingCompletionPort itself when given). NULL and the last error on
// failure.
HANDLE WINAPI CreateIoCompletionPort(HANDLE FileHandle, HANDLE ExistingCompletionPort,
                                     ULONG_PTR CompletionKey, DWORD NumberOfConcurrentThreads);

// Takes the next packet, waiting up to dwMilliseconds (INFINITE: no limit; 0: no wait).
// TRUE: a packet of a request that succeeded, or a posted one. FALSE with *lpOverlapped set:
// the packet of a request that failed (the last error is its status, mapped). FALSE with
// *lpOverlapped NULL: no packet (WAIT_TIMEOUT), the port's handle was closed while waiting
// (ERROR_ABANDONED_WAIT_0), or a bad handle or argument.
BOOL WINAPI GetQueuedCompletionStatus(HANDLE CompletionPort, LPDWORD lpNumberOfBytesTransferred,
                                      PULONG_PTR lpCompletionKey, LPOVERLAPPED* lpOverlapped,
                                      DWORD dwMilliseconds);

BOOL WINAPI PostQueuedCompletionStatus(HANDLE CompletionPort, DWORD dwNumberOfBytesTransferred,
                                       ULONG_PTR dwCompletionKey, LPOVERLAPPED lpOverlapped);

#ifdef __cplusplus
}  // extern "C"
#endif
