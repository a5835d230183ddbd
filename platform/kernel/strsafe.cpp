// The safe string routines. A destination of zero or more than NTSTRSAFE_MAX_CCH
// characters is STATUS_INVALID_PARAMETER; a result that does not fit is truncated, always
// terminated, and reported as STATUS_BUFFER_OVERFLOW. Counted-string variants never write a
// terminator and report lengths in bytes.
#include <ntstrsafe.h>

#include <cstdarg>
#include <cstring>

#include "kernel/safe_string_core.h"

namespace {

namespace core = platform::kernel::safe_string;

NTSTATUS as_status(core::outcome o) {
    switch (o) {
        case core::outcome::ok:
            return STATUS_SUCCESS;
        case core::outcome::truncated:
            return STATUS_BUFFER_OVERFLOW;
        case core::outcome::invalid:
            break;
    }
    return STATUS_INVALID_PARAMETER;
}

bool valid_cch(size_t cch) {
    return core::valid_size(cch);
}

template <typename Char>
NTSTATUS copy(Char* dest, size_t cch, const Char* src, size_t max_src) {
    return as_status(core::copy(dest, cch, src, max_src));
}

template <typename Char>
NTSTATUS cat(Char* dest, size_t cch, const Char* src) {
    return as_status(core::cat(dest, cch, src));
}

NTSTATUS vprintf_w(PWSTR dest, size_t cch, PCWSTR format, va_list args) {
    return as_status(core::vprint(dest, cch, format, args));
}

NTSTATUS vprintf_a(PSTR dest, size_t cch, PCSTR format, va_list args) {
    return as_status(core::vprint(dest, cch, format, args));
}

template <typename Char>
NTSTATUS length(const Char* s, size_t cch_max, size_t* out) {
    return as_status(core::length(s, cch_max, out));
}

// A counted string is usable as a destination when its lengths are even, consistent and in
// range and it has a buffer whenever it has room.
bool valid_counted(PCUNICODE_STRING s) {
    return s != nullptr && s->Length % 2 == 0 && s->MaximumLength % 2 == 0 &&
           s->Length <= s->MaximumLength && s->MaximumLength <= UNICODE_STRING_MAX_BYTES &&
           (s->Buffer != nullptr || s->MaximumLength == 0);
}

NTSTATUS counted_append(PUNICODE_STRING dest, size_t at_chars, const WCHAR* src, size_t n) {
    size_t room = dest->MaximumLength / sizeof(WCHAR) - at_chars;
    NTSTATUS st = STATUS_SUCCESS;
    if (n > room) {
        n = room;
        st = STATUS_BUFFER_OVERFLOW;
    }
    std::memmove(dest->Buffer + at_chars, src, n * sizeof(WCHAR));
    dest->Length = static_cast<USHORT>((at_chars + n) * sizeof(WCHAR));
    return st;
}

}  // namespace

extern "C" {

NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...) {
    va_list ap;
    va_start(ap, pszFormat);
    NTSTATUS st = vprintf_w(pszDest, cchDest, pszFormat, ap);
    va_end(ap);
    return st;
}

NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...) {
    va_list ap;
    va_start(ap, pszFormat);
    NTSTATUS st = vprintf_w(pszDest, cbDest / sizeof(WCHAR), pszFormat, ap);
    va_end(ap);
    return st;
}

NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list_k args) {
    return vprintf_w(pszDest, cbDest / sizeof(WCHAR), pszFormat, args);
}

NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...) {
    va_list ap;
    va_start(ap, pszFormat);
    NTSTATUS st = vprintf_a(pszDest, cbDest, pszFormat, ap);
    va_end(ap);
    return st;
}

NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...) {
    va_list ap;
    va_start(ap, pszFormat);
    NTSTATUS st = vprintf_a(pszDest, cchDest, pszFormat, ap);
    va_end(ap);
    return st;
}

NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc) {
    return copy(pszDest, cbDest / sizeof(WCHAR), pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc) {
    return copy(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTATUS RtlStringCbCopyNW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc, size_t cbToCopy) {
    size_t cch_to_copy = cbToCopy / sizeof(WCHAR);
    if (cch_to_copy > NTSTRSAFE_MAX_CCH) {
        if (pszDest != nullptr && valid_cch(cbDest / sizeof(WCHAR))) {
            pszDest[0] = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    return copy(pszDest, cbDest / sizeof(WCHAR), pszSrc, cch_to_copy);
}

NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc) {
    return cat(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc) {
    return cat(pszDest, cchDest, pszSrc);
}

NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength) {
    size_t cch = 0;
    NTSTATUS st = length(psz, cbMax / sizeof(WCHAR), &cch);
    if (pcbLength != nullptr) {
        *pcbLength = cch * sizeof(WCHAR);
    }
    return st;
}

NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength) {
    return length(psz, cchMax, pcchLength);
}

NTSTATUS RtlStringCbCopyA(PSTR pszDest, size_t cbDest, PCSTR pszSrc) {
    return copy(pszDest, cbDest, pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTATUS RtlStringCchLengthA(PCSTR psz, size_t cchMax, size_t* pcchLength) {
    return length(psz, cchMax, pcchLength);
}

NTSTATUS RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!valid_counted(DestinationString) || SourceString == nullptr ||
        SourceString->Length % 2 != 0 ||
        (SourceString->Buffer == nullptr && SourceString->Length != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    return counted_append(DestinationString, 0, SourceString->Buffer,
                          SourceString->Length / sizeof(WCHAR));
}

NTSTATUS RtlUnicodeStringCat(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!valid_counted(DestinationString) || SourceString == nullptr ||
        SourceString->Length % 2 != 0 ||
        (SourceString->Buffer == nullptr && SourceString->Length != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    return counted_append(DestinationString, DestinationString->Length / sizeof(WCHAR),
                          SourceString->Buffer, SourceString->Length / sizeof(WCHAR));
}

NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...) {
    if (!valid_counted(DestinationString) || pszFormat == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    va_list ap;
    va_start(ap, pszFormat);
    auto text = platform::kernel::format::wide(pszFormat, ap);
    va_end(ap);
    if (!text) {
        DestinationString->Length = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return counted_append(DestinationString, 0, reinterpret_cast<const WCHAR*>(text->data()),
                          text->size());
}

}  // extern "C"
