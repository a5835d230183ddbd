// The SDDL subset device descriptors are written in: owner, group and a DACL of allow and
// deny ACEs. Anything outside it is refused rather than guessed at.
#include <cwctype>
#include <span>

#include "io/security.h"

namespace platform::io {
namespace {

struct code {
    const wchar_t* text;
    ACCESS_MASK mask;
};

constexpr code right_codes[] = {
    {L"GA", GENERIC_ALL},       {L"GR", GENERIC_READ},      {L"GW", GENERIC_WRITE},
    {L"GX", GENERIC_EXECUTE},   {L"RC", READ_CONTROL},      {L"SD", DELETE},
    {L"WD", WRITE_DAC},         {L"WO", WRITE_OWNER},       {L"FA", FILE_ALL_ACCESS},
    {L"FR", FILE_GENERIC_READ}, {L"FW", FILE_GENERIC_WRITE}, {L"FX", FILE_GENERIC_EXECUTE},
    {L"KA", 0xF003F},           {L"KR", 0x20019},           {L"KW", 0x20006},
    {L"KX", 0x20019},           {L"CC", 0x1},               {L"DC", 0x2},
    {L"LC", 0x4},               {L"SW", 0x8},               {L"RP", 0x10},
    {L"WP", 0x20},              {L"DT", 0x40},              {L"LO", 0x80},
    {L"CR", 0x100},
};

constexpr code ace_flag_codes[] = {
    {L"OI", 0x01}, {L"CI", 0x02}, {L"NP", 0x04}, {L"IO", 0x08}, {L"ID", 0x10},
};

// Looks up a two-letter code at the front of `text`.
std::optional<ACCESS_MASK> take_code(std::wstring_view& text, std::span<const code> table) {
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

std::optional<ACCESS_MASK> parse_rights(std::wstring_view text) {
    if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        ACCESS_MASK mask = 0;
        for (wchar_t ch : text.substr(2)) {
            if (!std::iswxdigit(static_cast<wint_t>(ch)) || (mask >> 28) != 0) {
                return std::nullopt;
            }
            unsigned digit = ch <= L'9' ? unsigned(ch - L'0') : unsigned(std::towlower(ch) - L'a' + 10);
            mask = (mask << 4) | digit;
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

std::optional<std::uint8_t> parse_ace_flags(std::wstring_view text) {
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

std::optional<sid> parse_sid_or_alias(std::wstring_view text) {
    if (text.size() == 2) {
        return sid_from_alias(text);
    }
    return parse_sid(text);
}

// Splits "type;flags;rights;object;inherit-object;sid" (without the parentheses).
std::optional<ace> parse_ace(std::wstring_view body) {
    std::wstring_view fields[6];
    for (int i = 0; i < 6; ++i) {
        auto semi = body.find(L';');
        if ((i < 5) != (semi != std::wstring_view::npos)) {
            return std::nullopt;  // fewer or more than six fields
        }
        fields[i] = body.substr(0, semi);
        body = i < 5 ? body.substr(semi + 1) : std::wstring_view{};
    }
    ace out;
    if (fields[0] == L"A") {
        out.type = ace_type::access_allowed;
    } else if (fields[0] == L"D") {
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
bool parse_dacl(std::wstring_view text, security_descriptor& sd) {
    for (;;) {
        if (text.starts_with(L"NO_ACCESS_CONTROL")) {
            sd.dacl_present = false;
            text.remove_prefix(17);
        } else if (text.starts_with(L"AI")) {
            sd.dacl_auto_inherited = true;
            text.remove_prefix(2);
        } else if (text.starts_with(L"AR")) {
            text.remove_prefix(2);  // inheritance request: no effect on an access check
        } else if (text.starts_with(L"P")) {
            sd.dacl_protected = true;
            text.remove_prefix(1);
        } else {
            break;
        }
    }
    while (!text.empty()) {
        if (text[0] != L'(') {
            return false;
        }
        auto close = text.find(L')');
        if (close == std::wstring_view::npos) {
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
std::size_t component_end(std::wstring_view text) {
    int depth = 0;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == L'(') ++depth;
        if (text[i] == L')') --depth;
        if (depth == 0 && text[i + 1] == L':' &&
            (text[i] == L'O' || text[i] == L'G' || text[i] == L'D' || text[i] == L'S')) {
            return i;
        }
    }
    return text.size();
}

}  // namespace

NTSTATUS parse_sddl(std::wstring_view sddl, std::shared_ptr<const security_descriptor>& out) {
    auto sd = std::make_shared<security_descriptor>();
    bool seen_owner = false, seen_group = false, seen_dacl = false;
    if (sddl.empty()) {
        return STATUS_INVALID_PARAMETER;
    }
    while (!sddl.empty()) {
        if (sddl.size() < 2 || sddl[1] != L':') {
            return STATUS_INVALID_PARAMETER;
        }
        wchar_t kind = sddl[0];
        sddl.remove_prefix(2);
        std::size_t end = component_end(sddl);
        std::wstring_view value = sddl.substr(0, end);
        sddl.remove_prefix(end);
        if (kind == L'O' && !seen_owner) {
            seen_owner = true;
            sd->owner = parse_sid_or_alias(value);
            if (!sd->owner) return STATUS_INVALID_PARAMETER;
        } else if (kind == L'G' && !seen_group) {
            seen_group = true;
            sd->group = parse_sid_or_alias(value);
            if (!sd->group) return STATUS_INVALID_PARAMETER;
        } else if (kind == L'D' && !seen_dacl) {
            seen_dacl = true;
            if (!parse_dacl(value, *sd)) return STATUS_INVALID_PARAMETER;
        } else {
            return STATUS_INVALID_PARAMETER;  // a repeated component, or a SACL
        }
    }
    // A descriptor without a DACL component has a null DACL.
    sd->dacl_present = seen_dacl && sd->dacl_present;
    out = std::move(sd);
    return STATUS_SUCCESS;
}

}  // namespace platform::io
