// The safe string routines of user mode (Cch: sizes in characters, Cb: in bytes; A: narrow,
// W: WCHAR), with the documented results: S_OK; STRSAFE_E_INSUFFICIENT_BUFFER with the
// destination holding as much as fits, zero-terminated; STRSAFE_E_INVALID_PARAMETER for a
// zero or oversized destination (left untouched) or a NULL argument, the destination then
// emptied when it has room. The formatters follow the Windows C run-time's conventions (%ws,
// %S, %I64d, ...). Implemented in platform/win32/strsafe.cpp.
#pragma once

#include <windows.h>

#include <stdarg.h>

#define STRSAFE_MAX_CCH 2147483647
#define STRSAFE_E_INSUFFICIENT_BUFFER ((HRESULT)0x8007007AL)
#define STRSAFE_E_INVALID_PARAMETER ((HRESULT)0x80070057L)
#define STRSAFE_E_END_OF_FILE ((HRESULT)0x80070026L)

typedef CHAR* STRSAFE_LPSTR;
typedef const CHAR* STRSAFE_LPCSTR;
typedef WCHAR* STRSAFE_LPWSTR;
typedef const WCHAR* STRSAFE_LPCWSTR;

#ifdef __cplusplus
extern "C" {
#endif

HRESULT StringCchCopyA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszSrc);
HRESULT StringCchCopyW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc);
HRESULT StringCbCopyA(STRSAFE_LPSTR pszDest, size_t cbDest, STRSAFE_LPCSTR pszSrc);
HRESULT StringCbCopyW(STRSAFE_LPWSTR pszDest, size_t cbDest, STRSAFE_LPCWSTR pszSrc);
HRESULT StringCchCopyNA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszSrc,
                        size_t cchToCopy);
HRESULT StringCchCopyNW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc,
                        size_t cchToCopy);
HRESULT StringCchCatA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszSrc);
HRESULT StringCchCatW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc);
HRESULT StringCbCatA(STRSAFE_LPSTR pszDest, size_t cbDest, STRSAFE_LPCSTR pszSrc);
HRESULT StringCbCatW(STRSAFE_LPWSTR pszDest, size_t cbDest, STRSAFE_LPCWSTR pszSrc);
HRESULT StringCchLengthA(STRSAFE_LPCSTR psz, size_t cchMax, size_t* pcchLength);
HRESULT StringCchLengthW(STRSAFE_LPCWSTR psz, size_t cchMax, size_t* pcchLength);
HRESULT StringCbLengthA(STRSAFE_LPCSTR psz, size_t cbMax, size_t* pcbLength);
HRESULT StringCbLengthW(STRSAFE_LPCWSTR psz, size_t cbMax, size_t* pcbLength);
HRESULT StringCchPrintfA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszFormat, ...);
HRESULT StringCchPrintfW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszFormat, ...);
HRESULT StringCbPrintfA(STRSAFE_LPSTR pszDest, size_t cbDest, STRSAFE_LPCSTR pszFormat, ...);
HRESULT StringCbPrintfW(STRSAFE_LPWSTR pszDest, size_t cbDest, STRSAFE_LPCWSTR pszFormat, ...);
HRESULT StringCchVPrintfA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszFormat,
                          va_list argList);
HRESULT StringCchVPrintfW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszFormat,
                          va_list argList);

#ifdef __cplusplus
}  // extern "C"
#endif

#ifdef UNICODE
#define StringCchCopy StringCchCopyW
#define StringCbCopy StringCbCopyW
#define StringCchCopyN StringCchCopyNW
#define StringCchCat StringCchCatW
#define StringCbCat StringCbCatW
#define StringCchLength StringCchLengthW
#define StringCbLength StringCbLengthW
#define StringCchPrintf StringCchPrintfW
#define StringCbPrintf StringCbPrintfW
#define StringCchVPrintf StringCchVPrintfW
#else
#define StringCchCopy StringCchCopyA
#define StringCbCopy StringCbCopyA
#define StringCchCopyN StringCchCopyNA
#define StringCchCat StringCchCatA
#define StringCbCat StringCbCatA
#define StringCchLength StringCchLengthA
#define StringCbLength StringCbLengthA
#define StringCchPrintf StringCchPrintfA
#define StringCbPrintf StringCbPrintfA
#define StringCchVPrintf StringCchVPrintfA
#endif
