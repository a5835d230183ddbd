// Safe string routines (ntstrsafe.h): bounded copy, concatenation, length and formatting
// of wide and narrow strings and of counted strings. Each reports
// STATUS_BUFFER_OVERFLOW with a truncated, terminated result when the destination is too
// small, and STATUS_INVALID_PARAMETER for a zero-sized or oversized destination.
#pragma once

#include <ntddk.h>

#define NTSTRSAFE_MAX_CCH 2147483647
#define NTSTRSAFE_UNICODE_STRING_MAX_CCH (0xffff / sizeof(WCHAR))

typedef __builtin_va_list va_list_k;

EXTERN_C_START

NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...);
// The narrow formatters follow the kernel's conversions (%wZ, %ws, 'l' is 32 bits), not the
// C library's, so they carry no printf format attribute.
NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...);
NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...);
NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list_k args);
NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS RtlStringCbCopyNW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc, size_t cbToCopy);
NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength);
NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength);
NTSTATUS RtlStringCbCopyA(PSTR pszDest, size_t cbDest, PCSTR pszSrc);
NTSTATUS RtlStringCchLengthA(PCSTR psz, size_t cchMax, size_t* pcchLength);
NTSTATUS RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS RtlUnicodeStringCat(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...);

EXTERN_C_END
