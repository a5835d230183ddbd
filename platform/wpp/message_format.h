// The formats of trace statements, as the trace preprocessor's message tables would hold
// them: each statement site (file, line, format) gets a message number under its control
// GUID the first time it traces. The provider side sends only the binary arguments; a
// consumer looks the format up by GUID and number and renders the text.
//
// Formats carry numbers only: %d %i %u %x %X %c %p with the length modifiers h, hh, l, ll,
// I32, I64, I, z, the flags "-+ #0", a width and a precision; the WPP types %!STATUS!,
// %!HRESULT!, %!bool!; and the argument-free %!FUNC!, %!LINE!, %!FILE!. As on Windows, "l"
// is 32 bits wide and "I"/"z" pointer-sized.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::wpp {

enum class arg_kind : std::uint8_t {
    i8,
    i16,
    i32,
    i64,
    u8,
    u16,
    u32,
    u64,
    character,
    pointer,
    status,
    hresult,
    boolean,
};

// Bytes the argument occupies in a trace record (what the provider reads from its
// variable arguments and sends).
std::size_t arg_size(arg_kind kind);

struct format_piece {
    enum class type : std::uint8_t { literal, argument, function, line, file };
    type what = type::literal;
    std::string text;  // literal text, or the printf flags/width/precision and conversion
    arg_kind kind = arg_kind::i32;
};

// Splits a format into pieces. Returns nothing and sets `error` for a conversion that is
// not a number (a string, a float, '*' width, an unknown WPP type).
std::optional<std::vector<format_piece>> parse_format(std::string_view format, std::string* error);

struct message_format {
    GUID guid{};
    USHORT number = 0;
    UCHAR level = 0;
    ULONG flag = 0;
    std::string file;
    ULONG line = 0;
    std::string function;
    std::string format;
    std::vector<format_piece> pieces;
    std::vector<arg_kind> args;  // the argument pieces' kinds, in order
};

// The site's message number under `guid`, registering it on first use. Bug-checks when the
// format is not numbers-only or the table for `guid` is full.
const message_format& register_site(const GUID& guid, UCHAR level, ULONG flag,
                                    std::string_view file, ULONG line, std::string_view function,
                                    std::string_view format);
std::optional<message_format> find_format(const GUID& guid, USHORT number);

// Renders a message from its format and the argument bytes; an argument missing or of the
// wrong size renders as "<?>".
struct arg_bytes {
    const void* data = nullptr;
    std::size_t length = 0;
};
std::string render(const message_format& format, const std::vector<arg_bytes>& args);

}  // namespace platform::wpp
