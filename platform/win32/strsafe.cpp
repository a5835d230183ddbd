// User mode's safe string routines (strsafe.h) over narrow and WCHAR strings.
#include <strsafe.h>

#include <cstring>
#include <optional>
#include <string>

#include "kernel/format.h"

namespace {

template <typename Char>
std::size_t length_within(const Char* s, std::size_t max) {
    std::size_t n = 0;
    while (n < max && s[n] != 0) {
        ++n;
    }
    return n;
}

bool valid_size(std::size_t cch) {
    return cch != 0 && cch <= STRSAFE_MAX_CCH;
}

// Copies at most `count` characters of `src` after the `used` characters already in `dest`.
template <typename Char>
HRESULT put(Char* dest, std::size_t cch, std::size_t used, const Char* src, std::size_t count) {
    std::size_t room = cch - used - 1;
    std::size_t n = length_within(src, count < room + 1 ? count : room + 1);
    bool truncated = n > room;
    if (truncated) {
        n = room;
    }
    std::memmove(dest + used, src, n * sizeof(Char));
    dest[used + n] = 0;
    return truncated ? STRSAFE_E_INSUFFICIENT_BUFFER : S_OK;
}

template <typename Char>
HRESULT copy(Char* dest, std::size_t cch, const Char* src, std::size_t count = STRSAFE_MAX_CCH) {
    if (!valid_size(cch) || dest == nullptr) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if (src == nullptr) {
        dest[0] = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    return put(dest, cch, 0, src, count);
}

template <typename Char>
HRESULT cat(Char* dest, std::size_t cch, const Char* src) {
    if (!valid_size(cch) || dest == nullptr) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    std::size_t used = length_within(dest, cch);
    if (used == cch || src == nullptr) {
        return STRSAFE_E_INVALID_PARAMETER;  // the destination is not terminated within cch
    }
    return put(dest, cch, used, src, STRSAFE_MAX_CCH);
}

template <typename Char>
HRESULT length(const Char* s, std::size_t cch_max, std::size_t* out) {
    if (s == nullptr || cch_max > STRSAFE_MAX_CCH) {
        if (out != nullptr) {
            *out = 0;
        }
        return STRSAFE_E_INVALID_PARAMETER;
    }
    std::size_t n = length_within(s, cch_max);
    if (n == cch_max) {
        if (out != nullptr) {
            *out = 0;
        }
        return STRSAFE_E_INVALID_PARAMETER;  // no terminator within cch_max
    }
    if (out != nullptr) {
        *out = n;
    }
    return S_OK;
}

template <typename Char, typename Text>
HRESULT printed(Char* dest, std::size_t cch, const Text& text) {
    if (!text) {
        dest[0] = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    const Char* src = reinterpret_cast<const Char*>(text->c_str());
    return put(dest, cch, 0, src, text->size());
}

HRESULT vprint(char* dest, std::size_t cch, const char* format, va_list args) {
    if (!valid_size(cch) || dest == nullptr) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if (format == nullptr) {
        dest[0] = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    return printed(dest, cch, platform::kernel::format::narrow(format, args));
}

HRESULT vprint(WCHAR* dest, std::size_t cch, const WCHAR* format, va_list args) {
    if (!valid_size(cch) || dest == nullptr) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if (format == nullptr) {
        dest[0] = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    return printed(dest, cch, platform::kernel::format::wide(format, args));
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
