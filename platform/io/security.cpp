// SIDs, tokens, generic mapping and the access check.
#include "io/security.h"

#include <charconv>

namespace platform::io {
namespace {

sid make_sid(std::uint64_t authority, std::initializer_list<std::uint32_t> subs) {
    return sid{authority, std::vector<std::uint32_t>(subs)};
}

// Parses a decimal number of at most 48 bits; advances `pos`.
std::optional<std::uint64_t> parse_number(std::u16string_view text, std::size_t& pos) {
    std::uint64_t value = 0;
    std::size_t start = pos;
    while (pos < text.size() && text[pos] >= u'0' && text[pos] <= u'9') {
        value = value * 10 + static_cast<std::uint64_t>(text[pos] - u'0');
        if (value > 0xFFFF'FFFF'FFFFull) {
            return std::nullopt;
        }
        ++pos;
    }
    if (pos == start) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<sid> parse_sid(std::u16string_view text) {
    if (text.size() < 4 || (text[0] != u'S' && text[0] != u's') || text[1] != u'-' ||
        text[2] != u'1' || text[3] != u'-') {
        return std::nullopt;
    }
    std::size_t pos = 4;
    auto authority = parse_number(text, pos);
    if (!authority) {
        return std::nullopt;
    }
    sid out{*authority, {}};
    while (pos < text.size()) {
        if (text[pos] != u'-') {
            return std::nullopt;
        }
        ++pos;
        auto sub = parse_number(text, pos);
        if (!sub || *sub > 0xFFFF'FFFFull) {
            return std::nullopt;
        }
        out.sub_authorities.push_back(static_cast<std::uint32_t>(*sub));
    }
    // A SID has between one and fifteen sub-authorities.
    if (out.sub_authorities.empty() || out.sub_authorities.size() > 15) {
        return std::nullopt;
    }
    return out;
}

std::u16string to_string(const sid& s) {
    auto decimal = [](std::uint64_t v) {
        std::string digits = std::to_string(v);
        return std::u16string(digits.begin(), digits.end());
    };
    std::u16string out = u"S-1-" + decimal(s.authority);
    for (auto sub : s.sub_authorities) {
        out += u"-" + decimal(sub);
    }
    return out;
}

std::u16string from_wide(std::wstring_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        auto cp = static_cast<std::uint32_t>(wc);
        if (cp > 0xFFFF && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(cp > 0x10FFFF ? u'\uFFFD' : static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::optional<sid> parse_sid(std::wstring_view text) {
    return parse_sid(std::u16string_view(from_wide(text)));
}

namespace sids {
sid local_system() {
    return make_sid(5, {18});
}
sid builtin_admins() {
    return make_sid(5, {32, 544});
}
sid builtin_users() {
    return make_sid(5, {32, 545});
}
sid user_mode_drivers() {
    return make_sid(5, {84, 0, 0, 0, 0, 0});
}
sid everyone() {
    return make_sid(1, {0});
}
sid authenticated_users() {
    return make_sid(5, {11});
}
sid interactive() {
    return make_sid(5, {4});
}
sid local_service() {
    return make_sid(5, {19});
}
sid network_service() {
    return make_sid(5, {20});
}
sid anonymous() {
    return make_sid(5, {7});
}
sid restricted() {
    return make_sid(5, {12});
}
}  // namespace sids

std::optional<sid> sid_from_alias(std::u16string_view alias) {
    struct entry {
        const char16_t* alias;
        sid (*make)();
    };
    static const entry table[] = {
        {u"SY", sids::local_system},    {u"BA", sids::builtin_admins},
        {u"BU", sids::builtin_users},   {u"UD", sids::user_mode_drivers},
        {u"WD", sids::everyone},        {u"AU", sids::authenticated_users},
        {u"IU", sids::interactive},     {u"LS", sids::local_service},
        {u"NS", sids::network_service}, {u"AN", sids::anonymous},
        {u"RC", sids::restricted},
    };
    for (const auto& e : table) {
        if (alias == e.alias) {
            return e.make();
        }
    }
    return std::nullopt;
}

bool token::contains(const sid& s) const {
    if (user == s) {
        return true;
    }
    for (const auto& g : groups) {
        if (g == s) {
            return true;
        }
    }
    return false;
}

token make_token(token_kind kind) {
    token t;
    t.kind = kind;
    // Every logged-on account is in Everyone and Authenticated Users.
    t.groups = {sids::everyone(), sids::authenticated_users()};
    // Accounts of this machine: S-1-5-21-<machine>-<rid>.
    const sid machine_admin = make_sid(5, {21, 1004336348, 1177238915, 682003330, 500});
    const sid machine_user = make_sid(5, {21, 1004336348, 1177238915, 682003330, 1001});
    switch (kind) {
        case token_kind::local_system:
            t.user = sids::local_system();
            t.groups.push_back(sids::builtin_admins());
            t.security_privilege = true;
            break;
        case token_kind::administrator:
            t.user = machine_admin;
            t.groups.push_back(sids::builtin_admins());
            t.groups.push_back(sids::builtin_users());
            t.groups.push_back(sids::interactive());
            t.security_privilege = true;
            break;
        case token_kind::user_mode_driver:
            t.user = sids::local_service();
            t.groups.push_back(sids::user_mode_drivers());
            break;
        case token_kind::local_service:
            t.user = sids::local_service();
            break;
        case token_kind::network_service:
            t.user = sids::network_service();
            break;
        case token_kind::user:
            t.user = machine_user;
            t.groups.push_back(sids::builtin_users());
            t.groups.push_back(sids::interactive());
            break;
    }
    return t;
}

std::string_view to_string(token_kind kind) {
    switch (kind) {
        case token_kind::local_system:
            return "LocalSystem";
        case token_kind::administrator:
            return "administrator";
        case token_kind::user_mode_driver:
            return "user-mode driver";
        case token_kind::local_service:
            return "LocalService";
        case token_kind::network_service:
            return "NetworkService";
        case token_kind::user:
            return "ordinary user";
    }
    return "?";
}

std::shared_ptr<const security_descriptor> default_device_security() {
    auto sd = std::make_shared<security_descriptor>();
    sd->dacl = {
        {ace_type::access_allowed, 0, GENERIC_ALL, sids::local_system()},
        {ace_type::access_allowed, 0, GENERIC_ALL, sids::builtin_admins()},
        {ace_type::access_allowed, 0, GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE,
         sids::everyone()},
        {ace_type::access_allowed, 0, GENERIC_READ | GENERIC_EXECUTE, sids::restricted()},
    };
    return sd;
}

std::shared_ptr<const security_descriptor> kernel_object_default_security() {
    static const std::shared_ptr<const security_descriptor> sd = [] {
        auto d = std::make_shared<security_descriptor>();
        d->owner = sids::local_system();
        d->dacl = {
            {ace_type::access_allowed, 0, GENERIC_ALL, sids::local_system()},
            {ace_type::access_allowed, 0, GENERIC_ALL, sids::builtin_admins()},
            {ace_type::access_allowed, 0, GENERIC_READ | GENERIC_EXECUTE, sids::everyone()},
        };
        return d;
    }();
    return sd;
}

std::shared_ptr<const security_descriptor> default_object_security(const token& creator) {
    auto sd = std::make_shared<security_descriptor>();
    sd->owner = creator.user;
    sd->dacl = {
        {ace_type::access_allowed, 0, GENERIC_ALL, creator.user},
        {ace_type::access_allowed, 0, GENERIC_ALL, sids::local_system()},
    };
    return sd;
}

const generic_mapping& event_generic_mapping() {
    static const generic_mapping m{STANDARD_RIGHTS_READ | EVENT_QUERY_STATE,
                                   STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE,
                                   STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, EVENT_ALL_ACCESS};
    return m;
}

const generic_mapping& file_generic_mapping() {
    static const generic_mapping m{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                   FILE_ALL_ACCESS};
    return m;
}

ACCESS_MASK map_generic(ACCESS_MASK mask, const generic_mapping& mapping) {
    ACCESS_MASK out = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (mask & GENERIC_READ)
        out |= mapping.read;
    if (mask & GENERIC_WRITE)
        out |= mapping.write;
    if (mask & GENERIC_EXECUTE)
        out |= mapping.execute;
    if (mask & GENERIC_ALL)
        out |= mapping.all;
    return out;
}

NTSTATUS access_check(const security_descriptor& sd, const token& tok, ACCESS_MASK desired,
                      const generic_mapping& mapping, ACCESS_MASK& granted) {
    const bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
    ACCESS_MASK wanted = map_generic(desired & ~MAXIMUM_ALLOWED, mapping);
    // The security privilege alone grants access to the SACL; no ACE can.
    ACCESS_MASK allowed = 0;
    if ((wanted & ACCESS_SYSTEM_SECURITY) != 0) {
        if (!tok.security_privilege) {
            return STATUS_PRIVILEGE_NOT_HELD;
        }
        allowed |= ACCESS_SYSTEM_SECURITY;
    }
    if (!sd.dacl_present) {
        granted = maximum ? (wanted | mapping.all) : wanted;
        return STATUS_SUCCESS;
    }
    // The owner may always read and change the descriptor.
    if (sd.owner && tok.contains(*sd.owner)) {
        allowed |= READ_CONTROL | WRITE_DAC;
    }
    if (!maximum && wanted != 0 && (allowed & wanted) == wanted) {
        granted = wanted;
        return STATUS_SUCCESS;
    }
    ACCESS_MASK denied = 0;
    for (const auto& a : sd.dacl) {
        if (!tok.contains(a.who) || (a.flags & 0x08) != 0) {  // inherit-only ACEs do not apply
            continue;
        }
        ACCESS_MASK rights = map_generic(a.mask, mapping);
        if (a.type == ace_type::access_denied) {
            // Denied rights count only where no earlier ACE already granted them.
            denied |= rights & ~allowed;
            if (!maximum && (denied & wanted) != 0) {
                return STATUS_ACCESS_DENIED;
            }
        } else {
            allowed |= rights & ~denied;
            if (!maximum && (allowed & wanted) == wanted) {
                granted = wanted;
                return STATUS_SUCCESS;
            }
        }
    }
    if (maximum) {
        if ((allowed & wanted) != wanted || allowed == 0) {
            return STATUS_ACCESS_DENIED;
        }
        granted = allowed;
        return STATUS_SUCCESS;
    }
    // Rights still wanted that no ACE granted.
    return STATUS_ACCESS_DENIED;
}

}  // namespace platform::io
