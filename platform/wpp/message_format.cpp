// Trace statement formats: parsing, the per-GUID message table and rendering.
#include "wpp/message_format.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>

#include "core/bugcheck.h"

namespace platform::wpp {

namespace {

struct guid_less {
    bool operator()(const GUID& a, const GUID& b) const {
        return std::memcmp(&a, &b, sizeof(GUID)) < 0;
    }
};

struct site_key {
    std::string file;
    ULONG line;
    std::string format;
    friend bool operator<(const site_key& a, const site_key& b) {
        return std::tie(a.line, a.file, a.format) < std::tie(b.line, b.file, b.format);
    }
};

struct guid_table {
    std::map<site_key, USHORT> numbers;
    std::vector<std::unique_ptr<message_format>> formats;  // index = number - 1
};

std::mutex& table_lock() {
    static std::mutex lock;
    return lock;
}

std::map<GUID, guid_table, guid_less>& tables() {
    static std::map<GUID, guid_table, guid_less> t;
    return t;
}

arg_kind kind_for(char conversion, std::string_view length) {
    const bool wide = length == "ll" || length == "I64" || length == "I" || length == "z";
    switch (conversion) {
        case 'd':
        case 'i':
            if (wide)
                return arg_kind::i64;
            if (length == "h")
                return arg_kind::i16;
            if (length == "hh")
                return arg_kind::i8;
            return arg_kind::i32;
        case 'c':
            return arg_kind::character;
        case 'p':
            return arg_kind::pointer;
        default:  // u x X
            if (wide)
                return arg_kind::u64;
            if (length == "h")
                return arg_kind::u16;
            if (length == "hh")
                return arg_kind::u8;
            return arg_kind::u32;
    }
}

// Parses one "%..." conversion starting after the '%'. Returns the characters consumed, 0
// on an unacceptable conversion.
std::size_t parse_conversion(std::string_view rest, format_piece* piece, std::string* error) {
    std::size_t i = 0;
    std::string spec = "%";
    while (i < rest.size() && std::strchr("-+ #0", rest[i]) != nullptr)
        spec += rest[i++];
    while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9')
        spec += rest[i++];
    if (i < rest.size() && rest[i] == '.') {
        spec += rest[i++];
        while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9')
            spec += rest[i++];
    }
    std::string_view length;
    for (std::string_view candidate : {"I64", "I32", "hh", "ll", "h", "l", "I", "z"}) {
        if (rest.substr(i).starts_with(candidate)) {
            length = candidate;
            i += candidate.size();
            break;
        }
    }
    if (i >= rest.size() || std::strchr("diuxXcp", rest[i]) == nullptr) {
        *error = "conversion '%" + std::string(rest.substr(0, i + 1)) + "' is not a number";
        return 0;
    }
    const char conversion = rest[i++];
    if (conversion == 'c' && !(length.empty() || length == "h")) {
        *error = "wide character conversion";
        return 0;
    }
    piece->what = format_piece::type::argument;
    piece->kind = kind_for(conversion, length);
    piece->text = spec + conversion;
    return i;
}

// Parses "!NAME!" after the '%'.
std::size_t parse_wpp_type(std::string_view rest, format_piece* piece, std::string* error) {
    const std::size_t end = rest.find('!', 1);
    if (end == std::string_view::npos) {
        *error = "unterminated %!...!";
        return 0;
    }
    const std::string_view name = rest.substr(1, end - 1);
    piece->what = format_piece::type::argument;
    if (name == "STATUS") {
        piece->kind = arg_kind::status;
    } else if (name == "HRESULT") {
        piece->kind = arg_kind::hresult;
    } else if (name == "bool") {
        piece->kind = arg_kind::boolean;
    } else if (name == "FUNC") {
        piece->what = format_piece::type::function;
    } else if (name == "LINE") {
        piece->what = format_piece::type::line;
    } else if (name == "FILE") {
        piece->what = format_piece::type::file;
    } else {
        *error = "WPP type %!" + std::string(name) + "! is not a number";
        return 0;
    }
    return end + 1;
}

std::string base_name(std::string_view path) {
    const std::size_t slash = path.find_last_of("/\\");
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

template <typename T>
bool read_arg(const arg_bytes& arg, T* value) {
    if (arg.data == nullptr || arg.length != sizeof(T))
        return false;
    std::memcpy(value, arg.data, sizeof(T));
    return true;
}

// printf's integer formatting for one conversion spec ("%-08x" and the like), written out
// so that no format string is built at run time.
struct number_spec {
    bool left = false, plus = false, space = false, alternate = false, zero = false;
    int width = 0;
    int precision = -1;
    char conversion = 'd';
};

number_spec parse_spec(const std::string& text) {
    number_spec spec;
    std::size_t i = 1;  // after '%'
    for (; i < text.size() && std::strchr("-+ #0", text[i]) != nullptr; ++i) {
        switch (text[i]) {
            case '-':
                spec.left = true;
                break;
            case '+':
                spec.plus = true;
                break;
            case ' ':
                spec.space = true;
                break;
            case '#':
                spec.alternate = true;
                break;
            default:
                spec.zero = true;
                break;
        }
    }
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        spec.width = std::min(spec.width * 10 + (text[i] - '0'), 64);
    }
    if (i < text.size() && text[i] == '.') {
        spec.precision = 0;
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            spec.precision = std::min(spec.precision * 10 + (text[i] - '0'), 64);
        }
    }
    spec.conversion = text.back();
    return spec;
}

std::string pad(const number_spec& spec, std::string prefix, std::string body) {
    const int length = static_cast<int>(prefix.size() + body.size());
    if (spec.width <= length)
        return prefix + body;
    const std::string fill(static_cast<std::size_t>(spec.width - length), ' ');
    if (spec.left)
        return prefix + body + fill;
    if (spec.zero && spec.precision < 0 && spec.conversion != 'c') {
        return prefix + std::string(fill.size(), '0') + body;
    }
    return fill + prefix + body;
}

std::string format_number(const std::string& text, bool negative, std::uint64_t magnitude) {
    const number_spec spec = parse_spec(text);
    const bool hex = spec.conversion == 'x' || spec.conversion == 'X';
    const char* digits_of = spec.conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string digits;
    for (std::uint64_t v = magnitude; v != 0; v /= hex ? 16 : 10) {
        digits.insert(digits.begin(), digits_of[v % (hex ? 16 : 10)]);
    }
    if (digits.empty() && spec.precision != 0)
        digits = "0";
    if (spec.precision > static_cast<int>(digits.size())) {
        digits.insert(0, static_cast<std::size_t>(spec.precision) - digits.size(), '0');
    }
    std::string prefix;
    if (spec.conversion == 'd' || spec.conversion == 'i') {
        prefix = negative ? "-" : spec.plus ? "+" : spec.space ? " " : "";
    } else if (hex && spec.alternate && magnitude != 0) {
        prefix = spec.conversion == 'X' ? "0X" : "0x";
    }
    return pad(spec, prefix, digits);
}

std::string format_signed(const std::string& text, std::int64_t value) {
    const std::uint64_t magnitude =
        value < 0 ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
    // %x of a negative value shows its two's complement, as printf does.
    const char conversion = text.back();
    if (conversion != 'd' && conversion != 'i') {
        return format_number(text, false, static_cast<std::uint64_t>(value));
    }
    return format_number(text, value < 0, magnitude);
}

std::string render_arg(const format_piece& piece, const arg_bytes& arg) {
    char buffer[64];
    switch (piece.kind) {
        case arg_kind::i8:
        case arg_kind::i16:
        case arg_kind::i32: {
            std::int32_t v;
            if (!read_arg(arg, &v))
                return "<?>";
            std::int64_t s = piece.kind == arg_kind::i8    ? static_cast<std::int8_t>(v)
                             : piece.kind == arg_kind::i16 ? static_cast<std::int16_t>(v)
                                                           : v;
            return format_signed(piece.text, s);
        }
        case arg_kind::u8:
        case arg_kind::u16:
        case arg_kind::u32: {
            std::uint32_t v;
            if (!read_arg(arg, &v))
                return "<?>";
            std::uint64_t u = piece.kind == arg_kind::u8    ? static_cast<std::uint8_t>(v)
                              : piece.kind == arg_kind::u16 ? static_cast<std::uint16_t>(v)
                                                            : v;
            return format_number(piece.text, false, u);
        }
        case arg_kind::i64: {
            std::int64_t v;
            if (!read_arg(arg, &v))
                return "<?>";
            return format_signed(piece.text, v);
        }
        case arg_kind::u64: {
            std::uint64_t v;
            if (!read_arg(arg, &v))
                return "<?>";
            return format_number(piece.text, false, v);
        }
        case arg_kind::character: {
            std::int32_t v;
            if (!read_arg(arg, &v))
                return "<?>";
            return pad(parse_spec(piece.text), "", std::string(1, static_cast<char>(v & 0xFF)));
        }
        case arg_kind::pointer: {
            std::uint64_t v;
            if (!read_arg(arg, &v))
                return "<?>";
            std::snprintf(buffer, sizeof buffer, "%016" PRIX64, v);
            return buffer;
        }
        case arg_kind::status:
        case arg_kind::hresult: {
            std::uint32_t v;
            if (!read_arg(arg, &v))
                return "<?>";
            std::snprintf(buffer, sizeof buffer, "0x%08X", v);
            return buffer;
        }
        case arg_kind::boolean: {
            std::int32_t v;
            if (!read_arg(arg, &v))
                return "<?>";
            return v ? "TRUE" : "FALSE";
        }
    }
    return "<?>";
}

}  // namespace

std::size_t arg_size(arg_kind kind) {
    switch (kind) {
        case arg_kind::i64:
        case arg_kind::u64:
        case arg_kind::pointer:
            return 8;
        default:
            return 4;
    }
}

std::optional<std::vector<format_piece>> parse_format(std::string_view format, std::string* error) {
    std::vector<format_piece> pieces;
    std::string literal;
    std::size_t i = 0;
    while (i < format.size()) {
        const char c = format[i++];
        if (c != '%') {
            literal += c;
            continue;
        }
        if (i < format.size() && format[i] == '%') {
            literal += '%';
            ++i;
            continue;
        }
        format_piece piece;
        const std::string_view rest = format.substr(i);
        const std::size_t used = (!rest.empty() && rest[0] == '!')
                                     ? parse_wpp_type(rest, &piece, error)
                                     : parse_conversion(rest, &piece, error);
        if (used == 0)
            return std::nullopt;
        i += used;
        if (!literal.empty()) {
            pieces.push_back({format_piece::type::literal, literal, arg_kind::i32});
            literal.clear();
        }
        pieces.push_back(piece);
    }
    if (!literal.empty())
        pieces.push_back({format_piece::type::literal, literal, arg_kind::i32});
    return pieces;
}

const message_format& register_site(const GUID& guid, UCHAR level, ULONG flag,
                                    std::string_view file, ULONG line, std::string_view function,
                                    std::string_view format) {
    std::lock_guard lk(table_lock());
    guid_table& table = tables()[guid];
    site_key key{std::string(file), line, std::string(format)};
    if (auto it = table.numbers.find(key); it != table.numbers.end()) {
        return *table.formats[it->second - 1];
    }
    std::string error;
    auto pieces = parse_format(format, &error);
    if (!pieces) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  "trace statement at " + base_name(file) + ":" + std::to_string(line) + ": " +
                      error + " (format \"" + std::string(format) + "\")");
    }
    if (table.formats.size() >= 0xFFFF) {
        bug_check(bug_code::driver_verifier_detected_violation, "too many trace statements");
    }
    auto entry = std::make_unique<message_format>();
    entry->guid = guid;
    entry->number = static_cast<USHORT>(table.formats.size() + 1);
    entry->level = level;
    entry->flag = flag;
    entry->file = std::string(file);
    entry->line = line;
    entry->function = std::string(function);
    entry->format = std::string(format);
    entry->pieces = std::move(*pieces);
    for (const auto& p : entry->pieces) {
        if (p.what == format_piece::type::argument)
            entry->args.push_back(p.kind);
    }
    table.numbers.emplace(std::move(key), entry->number);
    table.formats.push_back(std::move(entry));
    return *table.formats.back();
}

std::optional<message_format> find_format(const GUID& guid, USHORT number) {
    std::lock_guard lk(table_lock());
    auto it = tables().find(guid);
    if (it == tables().end() || number == 0 || number > it->second.formats.size()) {
        return std::nullopt;
    }
    return *it->second.formats[number - 1];
}

std::string render(const message_format& format, const std::vector<arg_bytes>& args) {
    std::string text;
    std::size_t next = 0;
    for (const auto& piece : format.pieces) {
        switch (piece.what) {
            case format_piece::type::literal:
                text += piece.text;
                break;
            case format_piece::type::function:
                text += format.function;
                break;
            case format_piece::type::line:
                text += std::to_string(format.line);
                break;
            case format_piece::type::file:
                text += base_name(format.file);
                break;
            case format_piece::type::argument:
                text += next < args.size() ? render_arg(piece, args[next]) : "<?>";
                ++next;
                break;
        }
    }
    return text;
}

}  // namespace platform::wpp
