#include "kernel/strings.h"

#include <algorithm>

namespace platform::kernel {

std::u16string_view view(const UNICODE_STRING* s) {
    if (s == nullptr || s->Buffer == nullptr) {
        return {};
    }
    return {reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR)};
}

std::u16string to_u16(const UNICODE_STRING* s) {
    return std::u16string(view(s));
}

std::u16string_view view(const WCHAR* s) {
    if (s == nullptr) {
        return {};
    }
    return std::u16string_view(reinterpret_cast<const char16_t*>(s));
}

owned_unicode_string::owned_unicode_string(std::u16string_view text) : text_(text) {
    bind();
}

owned_unicode_string& owned_unicode_string::operator=(const owned_unicode_string& other) {
    if (this != &other) {
        text_ = other.text_;
        bind();
    }
    return *this;
}

void owned_unicode_string::bind() {
    // Counted strings hold at most 32767 characters; longer text is cut there.
    if (text_.size() > UNICODE_STRING_MAX_CHARS) {
        text_.resize(UNICODE_STRING_MAX_CHARS);
    }
    us_.Buffer = reinterpret_cast<PWCH>(text_.data());
    us_.Length = static_cast<USHORT>(text_.size() * sizeof(WCHAR));
    us_.MaximumLength = static_cast<USHORT>(us_.Length + sizeof(WCHAR));
}

bool assign(UNICODE_STRING* dest, std::u16string_view text) {
    if (dest == nullptr || text.size() * sizeof(WCHAR) > dest->MaximumLength ||
        (!text.empty() && dest->Buffer == nullptr)) {
        return false;
    }
    std::copy(text.begin(), text.end(), reinterpret_cast<char16_t*>(dest->Buffer));
    dest->Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    if (dest->Length + sizeof(WCHAR) <= dest->MaximumLength) {
        dest->Buffer[text.size()] = 0;
    }
    return true;
}

char16_t upcase(char16_t c) {
    if (c >= u'a' && c <= u'z') {
        return static_cast<char16_t>(c - 0x20);
    }
    if (c < 0xB5) {
        return c;
    }
    if (c == 0xB5) {
        return 0x039C;  // micro sign -> capital mu
    }
    if (c == 0xFF) {
        return 0x0178;
    }
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) {
        return static_cast<char16_t>(c - 0x20);
    }
    // Latin Extended-A: pairs (even upper, odd lower) with a few runs shifted by one.
    if ((c >= 0x0100 && c <= 0x012F) || (c >= 0x0132 && c <= 0x0137) ||
        (c >= 0x014A && c <= 0x0177)) {
        return static_cast<char16_t>(c & ~1u);
    }
    if ((c >= 0x0139 && c <= 0x0148) || (c >= 0x0179 && c <= 0x017E)) {
        return (c & 1u) ? c : static_cast<char16_t>(c - 1);
    }
    // Greek.
    if (c >= 0x03B1 && c <= 0x03CB && c != 0x03C2) {
        return static_cast<char16_t>(c - 0x20);
    }
    if (c == 0x03C2) {
        return 0x03A3;  // final sigma
    }
    // Cyrillic.
    if (c >= 0x0430 && c <= 0x044F) {
        return static_cast<char16_t>(c - 0x20);
    }
    if (c >= 0x0450 && c <= 0x045F) {
        return static_cast<char16_t>(c - 0x50);
    }
    if (c >= 0xFF41 && c <= 0xFF5A) {
        return static_cast<char16_t>(c - 0x20);  // fullwidth Latin
    }
    return c;
}

std::u16string upcase(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out) {
        c = upcase(c);
    }
    return out;
}

int compare_insensitive(std::u16string_view a, std::u16string_view b) {
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        char16_t x = upcase(a[i]);
        char16_t y = upcase(b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

bool equal_insensitive(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() && compare_insensitive(a, b) == 0;
}

bool starts_with_insensitive(std::u16string_view s, std::u16string_view prefix) {
    return s.size() >= prefix.size() && equal_insensitive(s.substr(0, prefix.size()), prefix);
}

namespace {

constexpr char32_t replacement = 0xFFFD;

void put_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes one code point at s[i], advancing i; ill-formed input yields `replacement` and
// sets *bad.
char32_t next_utf16(std::u16string_view s, std::size_t& i, bool* bad) {
    char16_t c = s[i++];
    if (c >= 0xD800 && c <= 0xDBFF) {
        if (i < s.size() && s[i] >= 0xDC00 && s[i] <= 0xDFFF) {
            char32_t lo = s[i++];
            return 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (lo - 0xDC00);
        }
        *bad = true;
        return replacement;
    }
    if (c >= 0xDC00 && c <= 0xDFFF) {
        *bad = true;
        return replacement;
    }
    return c;
}

char32_t next_utf8(std::string_view s, std::size_t& i, bool* bad) {
    auto b0 = static_cast<unsigned char>(s[i++]);
    if (b0 < 0x80) {
        return b0;
    }
    int extra;
    char32_t cp;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1;
        cp = b0 & 0x1F;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2;
        cp = b0 & 0x0F;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3;
        cp = b0 & 0x07;
        min = 0x10000;
    } else {
        *bad = true;
        return replacement;
    }
    for (int k = 0; k < extra; ++k) {
        if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            *bad = true;
            return replacement;
        }
        cp = (cp << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        *bad = true;
        return replacement;
    }
    return cp;
}

}  // namespace

std::string to_utf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    bool bad = false;
    for (std::size_t i = 0; i < s.size();) {
        put_utf8(out, next_utf16(s, i, &bad));
    }
    return out;
}

std::string to_utf8(const UNICODE_STRING* s) {
    return to_utf8(view(s));
}

std::u16string to_utf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    bool bad = false;
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp = next_utf8(s, i, &bad);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

bool valid_utf8(std::string_view s) {
    bool bad = false;
    for (std::size_t i = 0; i < s.size() && !bad;) {
        next_utf8(s, i, &bad);
    }
    return !bad;
}

bool valid_utf16(std::u16string_view s) {
    bool bad = false;
    for (std::size_t i = 0; i < s.size() && !bad;) {
        next_utf16(s, i, &bad);
    }
    return !bad;
}

}  // namespace platform::kernel
