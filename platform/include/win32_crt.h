// The pieces of the Windows C run-time a program gets with <windows.h> that the host C
// library lacks or spells differently: case-insensitive narrow comparisons and, for WCHAR
// strings (16 bits here, while the host's wchar_t is 32), the wide-string routines.
//
// printf itself keeps its name: a Windows program's executable is linked with
// -Wl,--wrap=printf (see platform/win32/crt_stdio.cpp), so its printf follows the Windows
// conventions (%ws and %S wide strings, %I64d, %Id, 'l' 32 bits) rather than the host's.
#pragma once

#include <ntdef.h>

#ifdef __cplusplus
extern "C" {
#endif

int _stricmp(const char* a, const char* b);
int _strnicmp(const char* a, const char* b, size_t count);

#ifdef __cplusplus
}  // extern "C"
#endif

#if defined(__SIZEOF_WCHAR_T__) && __SIZEOF_WCHAR_T__ == 2
// A program built with a 2-byte wchar_t sees the kernel run-time's WCHAR routines under the
// C library's names, as driver sources do.
#include <kernel_crt.h>
#elif defined(__cplusplus)
#include <kernel_crt.h>
// Overloads on WCHAR beside the host library's wchar_t routines.
inline size_t wcslen(const WCHAR* s) {
    return KrtWcslen(s);
}
inline size_t wcsnlen(const WCHAR* s, size_t max) {
    return KrtWcsnlen(s, max);
}
inline int wcscmp(const WCHAR* a, const WCHAR* b) {
    return KrtWcscmp(a, b);
}
inline int wcsncmp(const WCHAR* a, const WCHAR* b, size_t count) {
    return KrtWcsncmp(a, b, count);
}
inline int _wcsicmp(const WCHAR* a, const WCHAR* b) {
    return KrtWcsicmp(a, b);
}
inline int _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t count) {
    return KrtWcsnicmp(a, b, count);
}
#endif
