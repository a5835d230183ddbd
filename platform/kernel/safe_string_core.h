// The one implementation behind the kernel's safe string routines (ntstrsafe.h) and user
// mode's (strsafe.h). Both have the same rules and differ only in how they report them
// (NTSTATUS or HRESULT): a destination of zero or more than the maximum characters is
// invalid; a result that does not fit is truncated, always terminated, and reported as such.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "kernel/format.h"

namespace platform::kernel::safe_string {

enum class outcome { ok, truncated, invalid };

constexpr std::size_t max_cch = 2147483647;  // NTSTRSAFE_MAX_CCH, STRSAFE_MAX_CCH

inline bool valid_size(std::size_t cch) {
    return cch != 0 && cch <= max_cch;
}

template <typename Char>
std::size_t length_within(const Char* s, std::size_t max) {
    std::size_t n = 0;
    while (n < max && s[n] != 0) {
        ++n;
    }
    return n;
}

// Copies at most `max_src` characters of `src` into dest[cch] and terminates; `cch` > 0.
template <typename Char>
outcome copy_into(Char* dest, std::size_t cch, const Char* src, std::size_t max_src) {
    std::size_t n = 0;
    while (n + 1 < cch && n < max_src && src[n] != 0) {
        dest[n] = src[n];
        ++n;
    }
    dest[n] = 0;
    bool more = n < max_src && src[n] != 0;
    return more ? outcome::truncated : outcome::ok;
}

template <typename Char>
outcome copy(Char* dest, std::size_t cch, const Char* src, std::size_t max_src = max_cch) {
    if (!valid_size(cch) || dest == nullptr) {
        return outcome::invalid;
    }
    if (src == nullptr) {
        dest[0] = 0;
        return outcome::invalid;
    }
    return copy_into(dest, cch, src, max_src);
}

template <typename Char>
outcome cat(Char* dest, std::size_t cch, const Char* src) {
    if (!valid_size(cch) || dest == nullptr || src == nullptr) {
        return outcome::invalid;
    }
    std::size_t used = length_within(dest, cch);
    if (used == cch) {
        return outcome::invalid;  // the destination is not terminated within its size
    }
    return copy_into(dest + used, cch - used, src, max_cch);
}

// The length of `s`, which must be terminated within `cch_max` characters; *out is 0 when
// it is not.
template <typename Char>
outcome length(const Char* s, std::size_t cch_max, std::size_t* out) {
    std::size_t n = 0;
    bool ok = s != nullptr && cch_max <= max_cch && (n = length_within(s, cch_max)) < cch_max;
    if (out != nullptr) {
        *out = ok ? n : 0;
    }
    return ok ? outcome::ok : outcome::invalid;
}

// Formats into dest[cch] (narrow or WCHAR), truncating and terminating.
template <typename Char>
outcome vprint(Char* dest, std::size_t cch, const Char* format, va_list args) {
    if (!valid_size(cch) || dest == nullptr) {
        return outcome::invalid;
    }
    if (format == nullptr) {
        dest[0] = 0;
        return outcome::invalid;
    }
    auto text = [&] {
        if constexpr (std::is_same_v<Char, char>) {
            return format::narrow(format, args);
        } else {
            return format::wide(format, args);
        }
    }();
    if (!text) {
        dest[0] = 0;
        return outcome::invalid;
    }
    std::size_t n = text->size();
    outcome result = outcome::ok;
    if (n >= cch) {
        n = cch - 1;
        result = outcome::truncated;
    }
    std::memcpy(dest, text->data(), n * sizeof(Char));
    dest[n] = 0;
    return result;
}

}  // namespace platform::kernel::safe_string
