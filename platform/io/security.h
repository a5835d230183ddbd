// The security model the I/O manager checks opens against: SIDs, access tokens, security
// descriptors with a discretionary ACL, the SDDL subset devices are described with, and the
// access check.
//
// An access check walks the DACL in order. An allow ACE whose SID is in the token grants its
// (generic-mapped) rights; a deny ACE whose SID is in the token denies the rights it names
// that are still wanted, which refuses the open. A null DACL grants everything; an empty
// one grants nothing. The owner is granted READ_CONTROL and WRITE_DAC whatever the DACL
// says; ACCESS_SYSTEM_SECURITY needs the security privilege and is never granted by an ACE.
//
// Strings are UTF-16 (u"D:P(A;;GA;;;SY)"); the parsers also take wide literals (L"...").
#pragma once

#include <wdm.h>

#include <cstdint>
#include <optional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform::io {

// ---- SIDs --------------------------------------------------------------------------------

struct sid {
    std::uint64_t authority = 0;  // identifier authority (48 bits)
    std::vector<std::uint32_t> sub_authorities;

    friend bool operator==(const sid&, const sid&) = default;
};

// "S-1-5-18" and the like; nothing for a malformed string.
std::optional<sid> parse_sid(std::u16string_view text);
std::optional<sid> parse_sid(std::wstring_view text);
std::u16string to_string(const sid& s);

// Well-known SIDs, by the two-letter SDDL alias they are written with.
namespace sids {
sid local_system();         // SY S-1-5-18
sid builtin_admins();       // BA S-1-5-32-544
sid builtin_users();        // BU S-1-5-32-545
sid user_mode_drivers();    // UD S-1-5-84-0-0-0-0-0
sid everyone();             // WD S-1-1-0
sid authenticated_users();  // AU S-1-5-11
sid interactive();          // IU S-1-5-4
sid local_service();        // LS S-1-5-19
sid network_service();      // NS S-1-5-20
sid anonymous();            // AN S-1-5-7
sid restricted();           // RC S-1-5-12
}  // namespace sids

// The SID an SDDL alias stands for ("SY", "BA", ...), or nothing for an unknown alias.
std::optional<sid> sid_from_alias(std::u16string_view alias);

// ---- Tokens ------------------------------------------------------------------------------

// The kinds of account a program can run as.
enum class token_kind {
    local_system,      // services and the system itself
    administrator,     // an elevated member of the built-in Administrators
    user_mode_driver,  // a user-mode driver host (runs as LocalService with the UD group)
    local_service,
    network_service,
    user,  // an ordinary interactive user
};

struct token {
    token_kind kind = token_kind::user;
    sid user;
    std::vector<sid> groups;          // enabled groups
    bool security_privilege = false;  // may ask for ACCESS_SYSTEM_SECURITY

    bool contains(const sid& s) const;  // the user or one of the groups
};

token make_token(token_kind kind);
std::string_view to_string(token_kind kind);

// ---- Security descriptors ----------------------------------------------------------------

enum class ace_type : std::uint8_t { access_allowed, access_denied };

struct ace {
    ace_type type = ace_type::access_allowed;
    std::uint8_t flags = 0;  // inheritance flags (OI 0x1, CI 0x2, NP 0x4, IO 0x8, ID 0x10)
    ACCESS_MASK mask = 0;    // as written: may hold generic rights
    sid who;
};

struct security_descriptor {
    std::optional<sid> owner;
    std::optional<sid> group;
    bool dacl_present = true;  // false: a null DACL, which grants all access
    bool dacl_protected = false;
    bool dacl_auto_inherited = false;
    std::vector<ace> dacl;
};

// Parses the subset of SDDL that device descriptors use: "O:", "G:" and "D:" components;
// DACL flags P, AI, AR and "NO_ACCESS_CONTROL"; ACEs of type A and D with flags OI CI NP IO
// ID, rights as two-letter codes (GA GR GW GX, FA FR FW FX, KA KR KW KX, RC SD WD WO) or a
// hexadecimal mask "0x...", an empty object and inherit-object GUID, and a SID alias or a
// literal "S-1-..." SID. Anything else yields STATUS_INVALID_PARAMETER.
// On success `out` holds the descriptor; on failure it is left alone.
NTSTATUS parse_sddl(std::u16string_view sddl, std::shared_ptr<const security_descriptor>& out);
NTSTATUS parse_sddl(std::wstring_view sddl, std::shared_ptr<const security_descriptor>& out);

// UTF-16 from a host wide string (code points above U+FFFF become surrogate pairs).
std::u16string from_wide(std::wstring_view text);

// The descriptor a device gets when its creator gives none: LocalSystem and Administrators
// all access, everyone read, write and execute, restricted code read and execute.
std::shared_ptr<const security_descriptor> default_device_security();

// The descriptor a named object gets when the kernel creates it with default security
// (IoCreateNotificationEvent, IoCreateSynchronizationEvent: the System process's token and
// the "strengthened" default permissions of shared objects): LocalSystem and Administrators
// all access, everyone else may read and wait (GR GX: for an event READ_CONTROL,
// EVENT_QUERY_STATE and SYNCHRONIZE) but never modify it.
std::shared_ptr<const security_descriptor> kernel_object_default_security();
// The descriptor an object a program creates without security attributes gets: its token's
// default DACL, which grants the creating account and LocalSystem all access.
std::shared_ptr<const security_descriptor> default_object_security(const token& creator);

// ---- Access check --------------------------------------------------------------------------

struct generic_mapping {
    ACCESS_MASK read;
    ACCESS_MASK write;
    ACCESS_MASK execute;
    ACCESS_MASK all;
};
// The mapping of files and devices (FILE_GENERIC_READ, ... FILE_ALL_ACCESS).
const generic_mapping& file_generic_mapping();
// The mapping of events (GENERIC_READ: READ_CONTROL | EVENT_QUERY_STATE, GENERIC_WRITE:
// READ_CONTROL | EVENT_MODIFY_STATE, GENERIC_EXECUTE: READ_CONTROL | SYNCHRONIZE,
// GENERIC_ALL: EVENT_ALL_ACCESS).
const generic_mapping& event_generic_mapping();

// Replaces generic rights in `mask` by the specific rights they map to.
ACCESS_MASK map_generic(ACCESS_MASK mask, const generic_mapping& mapping);

// SeAccessCheck for `desired` (generic rights are mapped; MAXIMUM_ALLOWED asks for
// everything the DACL grants). Returns STATUS_SUCCESS with the granted rights in `granted`,
// or STATUS_ACCESS_DENIED.
NTSTATUS access_check(const security_descriptor& sd, const token& tok, ACCESS_MASK desired,
                      const generic_mapping& mapping, ACCESS_MASK& granted);

}  // namespace platform::io
