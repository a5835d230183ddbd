// The C run-time routines the kernel exports to drivers: wide-string comparison and copy,
// and the bounded formatters. WCHAR is 16 bits here while the host C library's wchar_t is
// 32, so each routine is the platform's own, reached under the kernel's name through a
// macro; the host C library's routines of the same name are never called by driver code.
#pragma once

#include <ntdef.h>

typedef int errno_t;
typedef uint16_t wint_t_k;

#ifndef EINVAL
#define EINVAL 22
#endif
#ifndef ERANGE
#define ERANGE 34
#endif
#define STRUNCATE 80
#define _TRUNCATE ((size_t)-1)

EXTERN_C_START

size_t KrtWcslen(const WCHAR* s);
size_t KrtWcsnlen(const WCHAR* s, size_t max);
int KrtWcscmp(const WCHAR* a, const WCHAR* b);
int KrtWcsncmp(const WCHAR* a, const WCHAR* b, size_t count);
int KrtWcsicmp(const WCHAR* a, const WCHAR* b);
int KrtWcsnicmp(const WCHAR* a, const WCHAR* b, size_t count);
errno_t KrtWcscpyS(WCHAR* dest, size_t destElements, const WCHAR* src);
errno_t KrtWcsncpyS(WCHAR* dest, size_t destElements, const WCHAR* src, size_t count);
errno_t KrtWcscatS(WCHAR* dest, size_t destElements, const WCHAR* src);
int KrtSwprintfS(WCHAR* buffer, size_t bufferElements, const WCHAR* format, ...);
int KrtSprintfS(char* buffer, size_t bufferSize, const char* format, ...);  // kernel conversions
int KrtVsprintfS(char* buffer, size_t bufferSize, const char* format, __builtin_va_list args);
int KrtVswprintfS(WCHAR* buffer, size_t bufferElements, const WCHAR* format,
                  __builtin_va_list args);
size_t KrtStrlen(const char* s);
int KrtStrcmp(const char* a, const char* b);
int KrtStrncmp(const char* a, const char* b, size_t count);

EXTERN_C_END

// Only driver sources (2-byte wchar_t) see the kernel names; host code keeps its C library.
#if defined(__SIZEOF_WCHAR_T__) && __SIZEOF_WCHAR_T__ == 2
#define wcslen KrtWcslen
#define wcsnlen KrtWcsnlen
#define wcscmp KrtWcscmp
#define wcsncmp KrtWcsncmp
#define _wcsicmp KrtWcsicmp
#define _wcsnicmp KrtWcsnicmp
#define wcscpy_s KrtWcscpyS
#define wcsncpy_s KrtWcsncpyS
#define wcscat_s KrtWcscatS
#define swprintf_s KrtSwprintfS
#define sprintf_s KrtSprintfS
#define vsprintf_s KrtVsprintfS
#define vswprintf_s KrtVswprintfS
#endif
