// The kernel C run-time: wide-string routines on 16-bit WCHAR and the bounded (_s)
// formatters and copies, with the documented failure results. The parameter checks of the
// _s routines report as the kernel's run-time does when its invalid-parameter handler
// returns: the destination (when there is one) is emptied and EINVAL / ERANGE or -1 returned.
#include <kernel_crt.h>
#include <win32_crt.h>

#include <cstdarg>
#include <cstring>

#include "kernel/format.h"

namespace {

WCHAR lower_ascii(WCHAR c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<WCHAR>(c + ('a' - 'A')) : c;
}

template <typename Char, typename Text>
int bounded_format(Char* buffer, size_t elements, const Text& text) {
    if (!text || text->size() >= elements) {
        buffer[0] = 0;
        return -1;
    }
    std::memcpy(buffer, text->data(), text->size() * sizeof(Char));
    buffer[text->size()] = 0;
    return static_cast<int>(text->size());
}

}  // namespace

extern "C" {

size_t KrtWcslen(const WCHAR* s) {
    size_t n = 0;
    while (s[n] != 0) {
        ++n;
    }
    return n;
}

size_t KrtWcsnlen(const WCHAR* s, size_t max) {
    size_t n = 0;
    while (n < max && s[n] != 0) {
        ++n;
    }
    return n;
}

int KrtWcscmp(const WCHAR* a, const WCHAR* b) {
    for (;; ++a, ++b) {
        if (*a != *b) {
            return *a < *b ? -1 : 1;
        }
        if (*a == 0) {
            return 0;
        }
    }
}

int KrtWcsncmp(const WCHAR* a, const WCHAR* b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (a[i] != b[i]) {
            return a[i] < b[i] ? -1 : 1;
        }
        if (a[i] == 0) {
            return 0;
        }
    }
    return 0;
}

int KrtWcsicmp(const WCHAR* a, const WCHAR* b) {
    return KrtWcsnicmp(a, b, SIZE_MAX);
}

int KrtWcsnicmp(const WCHAR* a, const WCHAR* b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        WCHAR x = lower_ascii(a[i]);
        WCHAR y = lower_ascii(b[i]);
        if (x != y) {
            return static_cast<int>(x) - static_cast<int>(y);
        }
        if (x == 0) {
            return 0;
        }
    }
    return 0;
}

errno_t KrtWcscpyS(WCHAR* dest, size_t destElements, const WCHAR* src) {
    if (dest == nullptr || destElements == 0) {
        return EINVAL;
    }
    if (src == nullptr) {
        dest[0] = 0;
        return EINVAL;
    }
    size_t n = KrtWcsnlen(src, destElements);
    if (n >= destElements) {
        dest[0] = 0;
        return ERANGE;
    }
    std::memmove(dest, src, (n + 1) * sizeof(WCHAR));
    return 0;
}

errno_t KrtWcsncpyS(WCHAR* dest, size_t destElements, const WCHAR* src, size_t count) {
    if (dest == nullptr && destElements == 0 && count == 0) {
        return 0;
    }
    if (dest == nullptr || destElements == 0) {
        return EINVAL;
    }
    if (count == 0) {
        dest[0] = 0;
        return 0;
    }
    if (src == nullptr) {
        dest[0] = 0;
        return EINVAL;
    }
    size_t n = KrtWcsnlen(src, count == _TRUNCATE ? destElements : count);
    if (count == _TRUNCATE && n >= destElements) {
        std::memmove(dest, src, (destElements - 1) * sizeof(WCHAR));
        dest[destElements - 1] = 0;
        return STRUNCATE;
    }
    if (n >= destElements) {
        dest[0] = 0;
        return ERANGE;
    }
    std::memmove(dest, src, n * sizeof(WCHAR));
    dest[n] = 0;
    return 0;
}

errno_t KrtWcscatS(WCHAR* dest, size_t destElements, const WCHAR* src) {
    if (dest == nullptr || destElements == 0) {
        return EINVAL;
    }
    if (src == nullptr) {
        dest[0] = 0;
        return EINVAL;
    }
    size_t used = KrtWcsnlen(dest, destElements);
    if (used == destElements) {
        dest[0] = 0;  // the destination was not terminated within its size
        return EINVAL;
    }
    size_t n = KrtWcsnlen(src, destElements - used);
    if (used + n >= destElements) {
        dest[0] = 0;
        return ERANGE;
    }
    std::memmove(dest + used, src, (n + 1) * sizeof(WCHAR));
    return 0;
}

int KrtVswprintfS(WCHAR* buffer, size_t bufferElements, const WCHAR* format,
                  __builtin_va_list args) {
    if (buffer == nullptr || bufferElements == 0) {
        return -1;
    }
    if (format == nullptr) {
        buffer[0] = 0;
        return -1;
    }
    return bounded_format(buffer, bufferElements, platform::kernel::format::wide(format, args));
}

int KrtSwprintfS(WCHAR* buffer, size_t bufferElements, const WCHAR* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = KrtVswprintfS(buffer, bufferElements, format, ap);
    va_end(ap);
    return n;
}

int KrtVsprintfS(char* buffer, size_t bufferSize, const char* format, __builtin_va_list args) {
    if (buffer == nullptr || bufferSize == 0) {
        return -1;
    }
    if (format == nullptr) {
        buffer[0] = 0;
        return -1;
    }
    return bounded_format(buffer, bufferSize, platform::kernel::format::narrow(format, args));
}

int KrtSprintfS(char* buffer, size_t bufferSize, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = KrtVsprintfS(buffer, bufferSize, format, ap);
    va_end(ap);
    return n;
}

size_t KrtStrlen(const char* s) {
    return std::strlen(s);
}

int KrtStrcmp(const char* a, const char* b) {
    int r = std::strcmp(a, b);
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

int KrtStrncmp(const char* a, const char* b, size_t count) {
    int r = std::strncmp(a, b, count);
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

// The C run-time's case-insensitive narrow comparisons, in the "C" locale: ASCII letters
// compare as lower case, every other byte as itself (unsigned).
int _strnicmp(const char* a, const char* b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        int x = static_cast<unsigned char>(a[i]);
        int y = static_cast<unsigned char>(b[i]);
        x = (x >= 'A' && x <= 'Z') ? x + ('a' - 'A') : x;
        y = (y >= 'A' && y <= 'Z') ? y + ('a' - 'A') : y;
        if (x != y) {
            return x - y;
        }
        if (x == 0) {
            return 0;
        }
    }
    return 0;
}

int _stricmp(const char* a, const char* b) {
    return _strnicmp(a, b, SIZE_MAX);
}

}  // extern "C"
