// User mode's safe string routines (strsafe.h) over narrow and WCHAR strings.
#include <strsafe.h>

#include <cstdarg>

#include "kernel/safe_string_core.h"

namespace {

namespace core = platform::kernel::safe_string;

HRESULT as_result(core::outcome o) {
    switch (o) {
        case core::outcome::ok:
            return S_OK;
        case core::outcome::truncated:
            return STRSAFE_E_INSUFFICIENT_BUFFER;
        case core::outcome::invalid:
            break;
    }
    return STRSAFE_E_INVALID_PARAMETER;
}

template <typename Char>
HRESULT copy(Char* dest, std::size_t cch, const Char* src, std::size_t count = STRSAFE_MAX_CCH) {
    return as_result(core::copy(dest, cch, src, count));
}

template <typename Char>
HRESULT cat(Char* dest, std::size_t cch, const Char* src) {
    return as_result(core::cat(dest, cch, src));
}

template <typename Char>
HRESULT length(const Char* s, std::size_t cch_max, std::size_t* out) {
    return as_result(core::length(s, cch_max, out));
}

template <typename Char>
HRESULT vprint(Char* dest, std::size_t cch, const Char* format, va_list args) {
    return as_result(core::vprint(dest, cch, format, args));
}

constexpr std::size_t wide_cch(std::size_t cb) {
    return cb / sizeof(WCHAR);
}

}  // namespace

extern "C" {

HRESULT StringCchCopyA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszSrc) {
    return copy(pszDest, cchDest, pszSrc);
}
HRESULT StringCchCopyW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc) {
    return copy(pszDest, cchDest, pszSrc);
}
HRESULT StringCbCopyA(STRSAFE_LPSTR pszDest, size_t cbDest, STRSAFE_LPCSTR pszSrc) {
    return copy(pszDest, cbDest, pszSrc);
}
HRESULT StringCbCopyW(STRSAFE_LPWSTR pszDest, size_t cbDest, STRSAFE_LPCWSTR pszSrc) {
    return copy(pszDest, wide_cch(cbDest), pszSrc);
}
HRESULT StringCchCopyNA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszSrc,
                        size_t cchToCopy) {
    if (cchToCopy > STRSAFE_MAX_CCH) {
        return copy<char>(pszDest, cchDest, nullptr);
    }
    return copy(pszDest, cchDest, pszSrc, cchToCopy);
}
HRESULT StringCchCopyNW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc,
                        size_t cchToCopy) {
    if (cchToCopy > STRSAFE_MAX_CCH) {
        return copy<WCHAR>(pszDest, cchDest, nullptr);
    }
    return copy(pszDest, cchDest, pszSrc, cchToCopy);
}
HRESULT StringCchCatA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszSrc) {
    return cat(pszDest, cchDest, pszSrc);
}
HRESULT StringCchCatW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc) {
    return cat(pszDest, cchDest, pszSrc);
}
HRESULT StringCbCatA(STRSAFE_LPSTR pszDest, size_t cbDest, STRSAFE_LPCSTR pszSrc) {
    return cat(pszDest, cbDest, pszSrc);
}
HRESULT StringCbCatW(STRSAFE_LPWSTR pszDest, size_t cbDest, STRSAFE_LPCWSTR pszSrc) {
    return cat(pszDest, wide_cch(cbDest), pszSrc);
}
HRESULT StringCchLengthA(STRSAFE_LPCSTR psz, size_t cchMax, size_t* pcchLength) {
    return length(psz, cchMax, pcchLength);
}
HRESULT StringCchLengthW(STRSAFE_LPCWSTR psz, size_t cchMax, size_t* pcchLength) {
    return length(psz, cchMax, pcchLength);
}
HRESULT StringCbLengthA(STRSAFE_LPCSTR psz, size_t cbMax, size_t* pcbLength) {
    return length(psz, cbMax, pcbLength);
}
HRESULT StringCbLengthW(STRSAFE_LPCWSTR psz, size_t cbMax, size_t* pcbLength) {
    HRESULT hr = length(psz, wide_cch(cbMax), pcbLength);
    if (SUCCEEDED(hr) && pcbLength != nullptr) {
        *pcbLength *= sizeof(WCHAR);
    }
    return hr;
}
HRESULT StringCchVPrintfA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszFormat,
                          va_list argList) {
    return vprint(pszDest, cchDest, pszFormat, argList);
}
HRESULT StringCchVPrintfW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszFormat,
                          va_list argList) {
    return vprint(pszDest, cchDest, pszFormat, argList);
}
HRESULT StringCchPrintfA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = vprint(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return hr;
}
HRESULT StringCchPrintfW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = vprint(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return hr;
}
HRESULT StringCbPrintfA(STRSAFE_LPSTR pszDest, size_t cbDest, STRSAFE_LPCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = vprint(pszDest, cbDest, pszFormat, args);
    va_end(args);
    return hr;
}
HRESULT StringCbPrintfW(STRSAFE_LPWSTR pszDest, size_t cbDest, STRSAFE_LPCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = vprint(pszDest, wide_cch(cbDest), pszFormat, args);
    va_end(args);
    return hr;
}

}  // extern "C"
