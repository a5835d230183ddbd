// The SDDL subset device descriptors are written in: owner, group and a DACL of allow and
// deny ACEs. Anything outside it is refused rather than guessed at.
#include <span>

#include "io/security.h"

namespace platform::io {
namespace {

struct code {
    const char16_t* text;
    ACCESS_MASK mask;
};

constexpr code right_codes[] = {
    {u"GA", GENERIC_ALL},
    {u"GR", GENERIC_READ},
    {u"GW", GENERIC_WRITE},
    {u"GX", GENERIC_EXECUTE},
    {u"RC", READ_CONTROL},
    {u"SD", DELETE},
    {u"WD", WRITE_DAC},
    {u"WO", WRITE_OWNER},
    {u"FA", FILE_ALL_ACCESS},
    {u"FR", FILE_GENERIC_READ},
    {u"FW", FILE_GENERIC_WRITE},
    {u"FX", FILE_GENERIC_EXECUTE},
    {u"KA", 0xF003F},
    {u"KR", 0x20019},
    {u"KW", 0x20006},
    {u"KX", 0x20019},
    {u"CC", 0x1},
    {u"DC", 0x2},
    {u"LC", 0x4},
    {u"SW", 0x8},
    {u"RP", 0x10},
    {u"WP", 0x20},
    {u"DT", 0x40},
    {u"LO", 0x80},
    {u"CR", 0x100},
};

constexpr code ace_flag_codes[] = {
    {u"OI", 0x01}, {u"CI", 0x02}, {u"NP", 0x04}, {u"IO", 0x08}, {u"ID", 0x10},
};

// Looks up a two-letter code at the front of `text`.
std::optional<ACCESS_MASK> take_code(std::u16string_view& text, std::span<const code> table) {
    if (text.size() < 2) {
        return std::nullopt;
    }
    for (const auto& c : table) {
        if (text.substr(0, 2) == c.text) {
            text.remove_prefix(2);
            return c.mask;
        }
    }
    return std::nullopt;
}

std::optional<unsigned> hex_digit(char16_t ch) {
    if (ch >= u'0' && ch <= u'9')
        return unsigned(ch - u'0');
    if (ch >= u'a' && ch <= u'f')
        return unsigned(ch - u'a' + 10);
    if (ch >= u'A' && ch <= u'F')
        return unsigned(ch - u'A' + 10);
    return std::nullopt;
}

std::optional<ACCESS_MASK> parse_rights(std::u16string_view text) {
    if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
        ACCESS_MASK mask = 0;
        for (char16_t ch : text.substr(2)) {
            auto digit = hex_digit(ch);
            if (!digit || (mask >> 28) != 0) {
                return std::nullopt;
            }
            mask = (mask << 4) | *digit;
        }
        return mask;
    }
    if (text.empty()) {
        return std::nullopt;
    }
    ACCESS_MASK mask = 0;
    while (!text.empty()) {
        auto m = take_code(text, right_codes);
        if (!m) {
            return std::nullopt;
        }
        mask |= *m;
    }
    return mask;
}

std::optional<std::uint8_t> parse_ace_flags(std::u16string_view text) {
    std::uint8_t flags = 0;
    while (!text.empty()) {
        auto f = take_code(text, ace_flag_codes);
        if (!f) {
            return std::nullopt;
        }
        flags |= static_cast<std::uint8_t>(*f);
    }
    return flags;
}

std::optional<sid> parse_sid_or_alias(std::u16string_view text) {
    if (text.size() == 2) {
        return sid_from_alias(text);
    }
    return parse_sid(text);
}

// Splits "type;flags;rights;object;inherit-object;sid" (without the parentheses).
std::optional<ace> parse_ace(std::u16string_view body) {
    std::u16string_view fields[6];
    for (int i = 0; i < 6; ++i) {
        auto semi = body.find(u';');
        if ((i < 5) != (semi != std::u16string_view::npos)) {
            return std::nullopt;  // fewer or more than six fields
        }
        fields[i] = body.substr(0, semi);
        body = i < 5 ? body.substr(semi + 1) : std::u16string_view{};
    }
    ace out;
    if (fields[0] == u"A") {
        out.type = ace_type::access_allowed;
    } else if (fields[0] == u"D") {
        out.type = ace_type::access_denied;
    } else {
        return std::nullopt;
    }
    auto flags = parse_ace_flags(fields[1]);
    auto rights = parse_rights(fields[2]);
    auto who = parse_sid_or_alias(fields[5]);
    // Object ACEs are not part of the subset: both GUID fields must be empty.
    if (!flags || !rights || !who || !fields[3].empty() || !fields[4].empty()) {
        return std::nullopt;
    }
    out.flags = *flags;
    out.mask = *rights;
    out.who = std::move(*who);
    return out;
}

// The DACL component after "D:": flags, then ACEs in parentheses.
bool parse_dacl(std::u16string_view text, security_descriptor& sd) {
    for (;;) {
        if (text.starts_with(u"NO_ACCESS_CONTROL")) {
            sd.dacl_present = false;
            text.remove_prefix(17);
        } else if (text.starts_with(u"AI")) {
            sd.dacl_auto_inherited = true;
            text.remove_prefix(2);
        } else if (text.starts_with(u"AR")) {
            text.remove_prefix(2);  // inheritance request: no effect on an access check
        } else if (text.starts_with(u"P")) {
            sd.dacl_protected = true;
            text.remove_prefix(1);
        } else {
            break;
        }
    }
    while (!text.empty()) {
        if (text[0] != u'(') {
            return false;
        }
        auto close = text.find(u')');
        if (close == std::u16string_view::npos) {
            return false;
        }
        auto a = parse_ace(text.substr(1, close - 1));
        if (!a) {
            return false;
        }
        sd.dacl.push_back(std::move(*a));
        text.remove_prefix(close + 1);
    }
    // A null DACL with ACEs in it is a contradiction.
    return sd.dacl_present || sd.dacl.empty();
}

// Where the component that starts at `text` ends: at the next "X:" that begins a component.
std::size_t component_end(std::u16string_view text) {
    int depth = 0;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == u'(')
            ++depth;
        if (text[i] == u')')
            --depth;
        if (depth == 0 && text[i + 1] == u':' &&
            (text[i] == u'O' || text[i] == u'G' || text[i] == u'D' || text[i] == u'S')) {
            return i;
        }
    }
    return text.size();
}

}  // namespace

NTSTATUS parse_sddl(std::u16string_view sddl, std::shared_ptr<const security_descriptor>& out) {
    auto sd = std::make_shared<security_descriptor>();
    bool seen_owner = false, seen_group = false, seen_dacl = false;
    if (sddl.empty()) {
        return STATUS_INVALID_PARAMETER;
    }
    while (!sddl.empty()) {
        if (sddl.size() < 2 || sddl[1] != u':') {
            return STATUS_INVALID_PARAMETER;
        }
        char16_t kind = sddl[0];
        sddl.remove_prefix(2);
        std::size_t end = component_end(sddl);
        std::u16string_view value = sddl.substr(0, end);
        sddl.remove_prefix(end);
        if (kind == u'O' && !seen_owner) {
            seen_owner = true;
            sd->owner = parse_sid_or_alias(value);
            if (!sd->owner)
                return STATUS_INVALID_PARAMETER;
        } else if (kind == u'G' && !seen_group) {
            seen_group = true;
            sd->group = parse_sid_or_alias(value);
            if (!sd->group)
                return STATUS_INVALID_PARAMETER;
        } else if (kind == u'D' && !seen_dacl) {
            seen_dacl = true;
            if (!parse_dacl(value, *sd))
                return STATUS_INVALID_PARAMETER;
        } else {
            return STATUS_INVALID_PARAMETER;  // a repeated component, or a SACL
        }
    }
    // A descriptor without a DACL component has a null DACL.
    sd->dacl_present = seen_dacl && sd->dacl_present;
    out = std::move(sd);
    return STATUS_SUCCESS;
}

NTSTATUS parse_sddl(std::wstring_view sddl, std::shared_ptr<const security_descriptor>& out) {
    return parse_sddl(std::u16string_view(from_wide(sddl)), out);
}

}  // namespace platform::io
