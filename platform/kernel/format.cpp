#include "kernel/format.h"

#include <cstdio>
#include <cstring>

#include "kernel/strings.h"

namespace platform::kernel::format {

namespace {

enum class size_mod { none, hh, h, l, ll, wide_ptr, w };

template <typename Out>
void append_narrow_text(Out& out, const char* s, std::size_t n) {
    if constexpr (sizeof(typename Out::value_type) == 1) {
        out.append(s, n);
    } else {
        // Narrow text printed into a wide string: bytes as Latin-1 code units, as the
        // kernel's ANSI-to-Unicode conversion does for the ASCII range.
        for (std::size_t i = 0; i < n; ++i) {
            out.push_back(static_cast<char16_t>(static_cast<unsigned char>(s[i])));
        }
    }
}

template <typename Out>
void append_wide_text(Out& out, const char16_t* s, std::size_t n) {
    if constexpr (sizeof(typename Out::value_type) == 1) {
        out += to_utf8(std::u16string_view(s, n));
    } else {
        out.append(s, n);
    }
}

template <typename Out>
void pad(Out& out, std::size_t count, char c) {
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(static_cast<typename Out::value_type>(c));
    }
}

struct spec {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = -1;
    int precision = -1;
    size_mod size = size_mod::none;
};

// Emits `body` (ASCII) justified in the field.
template <typename Out>
void emit_field(Out& out, const spec& sp, const std::string& body) {
    std::size_t w = sp.width > 0 ? static_cast<std::size_t>(sp.width) : 0;
    std::size_t padn = body.size() < w ? w - body.size() : 0;
    if (!sp.left) {
        pad(out, padn, ' ');
    }
    append_narrow_text(out, body.data(), body.size());
    if (sp.left) {
        pad(out, padn, ' ');
    }
}

std::string integer_text(const spec& sp, char type, unsigned long long mag, bool negative) {
    const char* digits = type == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    unsigned base = (type == 'o') ? 8 : (type == 'x' || type == 'X') ? 16 : 10;
    std::string num;
    while (mag != 0) {
        num.insert(num.begin(), digits[mag % base]);
        mag /= base;
    }
    if (sp.precision >= 0) {
        while (num.size() < static_cast<std::size_t>(sp.precision)) {
            num.insert(num.begin(), '0');
        }
    } else if (num.empty()) {
        num = "0";
    }
    std::string prefix;
    if (negative) {
        prefix = "-";
    } else if ((type == 'd' || type == 'i') && sp.plus) {
        prefix = "+";
    } else if ((type == 'd' || type == 'i') && sp.space) {
        prefix = " ";
    }
    if (sp.alt && base == 16 && !num.empty() && num != "0") {
        prefix += type == 'X' ? "0X" : "0x";
    } else if (sp.alt && base == 8 && num[0] != '0') {
        num.insert(num.begin(), '0');
    }
    if (sp.zero && !sp.left && sp.precision < 0 && sp.width > 0) {
        while (prefix.size() + num.size() < static_cast<std::size_t>(sp.width)) {
            num.insert(num.begin(), '0');
        }
    }
    return prefix + num;
}

template <typename Out>
void emit_string(Out& out, const spec& sp, bool wide, const void* p, std::size_t len_known,
                 bool counted) {
    if (p == nullptr) {
        emit_field(out, sp, "(null)");
        return;
    }
    std::size_t limit = sp.precision >= 0 ? static_cast<std::size_t>(sp.precision) : SIZE_MAX;
    Out body;
    if (wide) {
        auto* s = static_cast<const char16_t*>(p);
        std::size_t n = 0;
        if (counted) {
            n = len_known;
        } else {
            while (n < limit && s[n] != 0) {
                ++n;
            }
        }
        append_wide_text(body, s, std::min(n, limit));
    } else {
        auto* s = static_cast<const char*>(p);
        std::size_t n = 0;
        if (counted) {
            n = len_known;
        } else {
            while (n < limit && s[n] != 0) {
                ++n;
            }
        }
        append_narrow_text(body, s, std::min(n, limit));
    }
    std::size_t w = sp.width > 0 ? static_cast<std::size_t>(sp.width) : 0;
    std::size_t padn = body.size() < w ? w - body.size() : 0;
    if (!sp.left) {
        pad(out, padn, ' ');
    }
    out += body;
    if (sp.left) {
        pad(out, padn, ' ');
    }
}

template <typename Out, typename F>
bool run(Out& out, const F* f, va_list ap) {
    constexpr bool wide_format = sizeof(F) == 2;
    if (f == nullptr) {
        return false;
    }
    while (*f != 0) {
        if (*f != '%') {
            if constexpr (wide_format) {
                out.push_back(static_cast<typename Out::value_type>(*f));
            } else {
                out.push_back(
                    static_cast<typename Out::value_type>(static_cast<unsigned char>(*f)));
            }
            ++f;
            continue;
        }
        ++f;
        if (*f == '%') {
            out.push_back('%');
            ++f;
            continue;
        }
        spec sp;
        for (;; ++f) {
            if (*f == '-') {
                sp.left = true;
            } else if (*f == '+') {
                sp.plus = true;
            } else if (*f == ' ') {
                sp.space = true;
            } else if (*f == '#') {
                sp.alt = true;
            } else if (*f == '0') {
                sp.zero = true;
            } else {
                break;
            }
        }
        if (*f == '*') {
            sp.width = va_arg(ap, int);
            if (sp.width < 0) {
                sp.left = true;
                sp.width = -sp.width;
            }
            ++f;
        } else {
            while (*f >= '0' && *f <= '9') {
                sp.width = (sp.width < 0 ? 0 : sp.width) * 10 + (*f - '0');
                ++f;
            }
        }
        if (*f == '.') {
            ++f;
            sp.precision = 0;
            if (*f == '*') {
                sp.precision = va_arg(ap, int);
                if (sp.precision < 0) {
                    sp.precision = -1;
                }
                ++f;
            } else {
                while (*f >= '0' && *f <= '9') {
                    sp.precision = sp.precision * 10 + (*f - '0');
                    ++f;
                }
            }
        }
        // Size prefixes.
        if (*f == 'h') {
            ++f;
            sp.size = size_mod::h;
            if (*f == 'h') {
                ++f;
                sp.size = size_mod::hh;
            }
        } else if (*f == 'l') {
            ++f;
            sp.size = size_mod::l;
            if (*f == 'l') {
                ++f;
                sp.size = size_mod::ll;
            }
        } else if (*f == 'w') {
            ++f;
            sp.size = size_mod::w;
        } else if (*f == 'I') {
            if (f[1] == '6' && f[2] == '4') {
                f += 3;
                sp.size = size_mod::ll;
            } else if (f[1] == '3' && f[2] == '2') {
                f += 3;
                sp.size = size_mod::l;
            } else {
                ++f;
                sp.size = size_mod::wide_ptr;
            }
        } else if (*f == 'z' || *f == 'j' || *f == 't') {
            ++f;
            sp.size = size_mod::wide_ptr;
        } else if (*f == 'L') {
            ++f;
        }
        char type = static_cast<char>(*f);
        if (*f == 0 || static_cast<unsigned>(*f) > 0x7F) {
            return false;
        }
        ++f;
        switch (type) {
            case 'd':
            case 'i': {
                long long v;
                switch (sp.size) {
                    case size_mod::ll:
                    case size_mod::wide_ptr:
                        v = va_arg(ap, long long);
                        break;
                    case size_mod::h:
                        v = static_cast<short>(va_arg(ap, int));
                        break;
                    case size_mod::hh:
                        v = static_cast<signed char>(va_arg(ap, int));
                        break;
                    default:
                        v = va_arg(ap, int);
                        break;
                }
                unsigned long long mag = v < 0 ? 0ull - static_cast<unsigned long long>(v)
                                               : static_cast<unsigned long long>(v);
                emit_field(out, sp, integer_text(sp, type, mag, v < 0));
                break;
            }
            case 'u':
            case 'x':
            case 'X':
            case 'o': {
                unsigned long long v;
                switch (sp.size) {
                    case size_mod::ll:
                    case size_mod::wide_ptr:
                        v = va_arg(ap, unsigned long long);
                        break;
                    case size_mod::h:
                        v = static_cast<unsigned short>(va_arg(ap, unsigned));
                        break;
                    case size_mod::hh:
                        v = static_cast<unsigned char>(va_arg(ap, unsigned));
                        break;
                    default:
                        v = va_arg(ap, unsigned);
                        break;
                }
                emit_field(out, sp, integer_text(sp, type, v, false));
                break;
            }
            case 'p': {
                auto v = reinterpret_cast<std::uintptr_t>(va_arg(ap, void*));
                char buf[24];
                std::snprintf(buf, sizeof buf, "%016llX", static_cast<unsigned long long>(v));
                emit_field(out, sp, buf);
                break;
            }
            case 'c':
            case 'C': {
                bool wide = (type == 'c') == wide_format;
                if (sp.size == size_mod::h) {
                    wide = false;
                } else if (sp.size == size_mod::l || sp.size == size_mod::w) {
                    wide = true;
                }
                int v = va_arg(ap, int);
                if (wide) {
                    char16_t c = static_cast<char16_t>(v);
                    emit_string(out, sp, true, &c, 1, true);
                } else {
                    char c = static_cast<char>(v);
                    emit_string(out, sp, false, &c, 1, true);
                }
                break;
            }
            case 's':
            case 'S': {
                bool wide = (type == 's') == wide_format;
                if (sp.size == size_mod::h) {
                    wide = false;
                } else if (sp.size == size_mod::l || sp.size == size_mod::w) {
                    wide = true;
                }
                emit_string(out, sp, wide, va_arg(ap, const void*), 0, false);
                break;
            }
            case 'Z': {
                bool wide = sp.size == size_mod::w || sp.size == size_mod::l;
                const void* p = va_arg(ap, const void*);
                if (p == nullptr) {
                    emit_string(out, sp, wide, nullptr, 0, true);
                } else if (wide) {
                    auto* us = static_cast<const UNICODE_STRING*>(p);
                    emit_string(out, sp, true, us->Buffer, us->Length / sizeof(WCHAR), true);
                } else {
                    auto* as = static_cast<const ANSI_STRING*>(p);
                    emit_string(out, sp, false, as->Buffer, as->Length, true);
                }
                break;
            }
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A': {
                double v = va_arg(ap, double);
                std::string fmt = "%";
                fmt += sp.left ? "-" : "";
                fmt += sp.plus ? "+" : "";
                fmt += sp.space ? " " : "";
                fmt += sp.alt ? "#" : "";
                fmt += sp.zero ? "0" : "";
                if (sp.width >= 0) {
                    fmt += std::to_string(sp.width);
                }
                if (sp.precision >= 0) {
                    fmt += "." + std::to_string(sp.precision);
                }
                fmt += type;
                char buf[512];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
                int n = std::snprintf(buf, sizeof buf, fmt.c_str(), v);
#pragma GCC diagnostic pop
                if (n < 0) {
                    return false;
                }
                append_narrow_text(
                    out, buf, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buf - 1));
                break;
            }
            default:
                return false;  // %n and unknown conversions
        }
    }
    return true;
}

}  // namespace

std::optional<std::string> narrow(const char* format, va_list args) {
    std::string out;
    va_list ap;
    va_copy(ap, args);
    bool ok = run(out, format, ap);
    va_end(ap);
    if (!ok) {
        return std::nullopt;
    }
    return out;
}

std::optional<std::u16string> wide(const WCHAR* format, va_list args) {
    std::u16string out;
    va_list ap;
    va_copy(ap, args);
    bool ok = run(out, reinterpret_cast<const char16_t*>(format), ap);
    va_end(ap);
    if (!ok) {
        return std::nullopt;
    }
    return out;
}

}  // namespace platform::kernel::format
