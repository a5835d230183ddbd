// SDDL parsing, tokens and the access check.
#include <gtest/gtest.h>

#include "io/security.h"

namespace io = platform::io;
using io::ace_type;
using io::token_kind;

namespace {

std::shared_ptr<const io::security_descriptor> parse(std::u16string_view text) {
    std::shared_ptr<const io::security_descriptor> sd;
    EXPECT_EQ(io::parse_sddl(text, sd), STATUS_SUCCESS) << "for the SDDL given";
    return sd;
}

NTSTATUS check(const io::security_descriptor& sd, token_kind kind, ACCESS_MASK desired,
               ACCESS_MASK* granted = nullptr) {
    ACCESS_MASK g = 0;
    NTSTATUS st =
        io::access_check(sd, io::make_token(kind), desired, io::file_generic_mapping(), g);
    if (granted != nullptr) {
        *granted = g;
    }
    return st;
}

constexpr auto device_sddl = u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;UD)";

}  // namespace

TEST(Sddl, ParsesTheDeviceDescriptor) {
    auto sd = parse(device_sddl);
    ASSERT_TRUE(sd);
    EXPECT_TRUE(sd->dacl_present);
    EXPECT_TRUE(sd->dacl_protected);
    ASSERT_EQ(sd->dacl.size(), 3u);
    EXPECT_EQ(sd->dacl[0].who, io::sids::local_system());
    EXPECT_EQ(sd->dacl[1].who, io::sids::builtin_admins());
    EXPECT_EQ(sd->dacl[2].who, io::sids::user_mode_drivers());
    for (const auto& a : sd->dacl) {
        EXPECT_EQ(a.type, ace_type::access_allowed);
        EXPECT_EQ(a.mask, static_cast<ACCESS_MASK>(GENERIC_ALL));
    }
}

TEST(Sddl, ParsesRightsFlagsSidsAndComponents) {
    auto sd = parse(
        u"O:BAG:SYD:PAI(D;;GW;;;WD)(A;OICI;GRGX;;;AU)(A;;0x1F01FF;;;S-1-5-21-1-2-3-1001)"
        u"(A;IO;FA;;;BU)(A;;FRFW;;;IU)(A;;GA;;;LS)(A;;GA;;;NS)");
    ASSERT_TRUE(sd);
    EXPECT_EQ(sd->owner, io::sids::builtin_admins());
    EXPECT_EQ(sd->group, io::sids::local_system());
    EXPECT_TRUE(sd->dacl_protected);
    EXPECT_TRUE(sd->dacl_auto_inherited);
    ASSERT_EQ(sd->dacl.size(), 7u);
    EXPECT_EQ(sd->dacl[0].type, ace_type::access_denied);
    EXPECT_EQ(sd->dacl[0].mask, static_cast<ACCESS_MASK>(GENERIC_WRITE));
    EXPECT_EQ(sd->dacl[0].who, io::sids::everyone());
    EXPECT_EQ(sd->dacl[1].flags, 0x03);
    EXPECT_EQ(sd->dacl[1].mask, static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_EXECUTE));
    EXPECT_EQ(sd->dacl[2].mask, 0x1F01FFu);
    EXPECT_EQ(io::to_string(sd->dacl[2].who), u"S-1-5-21-1-2-3-1001");
    EXPECT_EQ(sd->dacl[3].flags, 0x08);
    EXPECT_EQ(sd->dacl[3].mask, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
    EXPECT_EQ(sd->dacl[4].mask, static_cast<ACCESS_MASK>(FILE_GENERIC_READ | FILE_GENERIC_WRITE));
    EXPECT_EQ(sd->dacl[5].who, io::sids::local_service());
    EXPECT_EQ(sd->dacl[6].who, io::sids::network_service());
}

TEST(Sddl, EmptyNullAndWideForms) {
    auto empty = parse(u"D:P");
    EXPECT_TRUE(empty->dacl_present);
    EXPECT_TRUE(empty->dacl.empty());
    EXPECT_FALSE(parse(u"D:NO_ACCESS_CONTROL")->dacl_present);
    EXPECT_FALSE(parse(u"O:SY")->dacl_present);  // no DACL component: a null DACL

    std::shared_ptr<const io::security_descriptor> wide;
    ASSERT_EQ(io::parse_sddl(L"D:P(A;;GA;;;SY)", wide), STATUS_SUCCESS);
    EXPECT_EQ(wide->dacl.at(0).who, io::sids::local_system());
}

TEST(Sddl, RefusesMalformedDescriptorsAndLeavesTheOutputAlone) {
    const char16_t* bad[] = {
        u"",
        u"D:P(A;;GA;;;XX)",           // unknown alias
        u"D:P(A;;GA;;SY)",            // five fields
        u"D:P(A;;GA;;;;SY)",          // seven fields
        u"D:P(X;;GA;;;SY)",           // unknown ACE type
        u"D:P(A;ZZ;GA;;;SY)",         // unknown flag
        u"D:P(A;;QQ;;;SY)",           // unknown right
        u"D:P(A;;0x;;;SY)",           // empty hexadecimal mask
        u"D:P(A;;0x1FFFFFFFF;;;SY)",  // mask wider than 32 bits
        u"D:P(A;;GA;;;SY",            // unclosed
        u"D:P(OA;;GA;1234;;SY)",      // object ACE
        u"D:P(A;;GA;;;SY)D:P",        // repeated component
        u"S:(AU;SA;GA;;;WD)",         // SACL
        u"D:NO_ACCESS_CONTROL(A;;GA;;;SY)",
        u"D:P(A;;GA;;;S-1-5)",     // no sub-authority
        u"D:P(A;;GA;;;S-2-5-18)",  // wrong revision
        u"D:Pjunk",
    };
    for (const char16_t* text : bad) {
        auto keep = parse(u"D:P");
        auto before = keep;
        EXPECT_EQ(io::parse_sddl(std::u16string_view(text), keep), STATUS_INVALID_PARAMETER)
            << "accepted an invalid descriptor";
        EXPECT_EQ(keep, before);
    }
}

TEST(Sid, ParsesAndPrintsRoundTrip) {
    auto s = io::parse_sid(u"S-1-5-84-0-0-0-0-0");
    ASSERT_TRUE(s);
    EXPECT_EQ(*s, io::sids::user_mode_drivers());
    EXPECT_EQ(io::to_string(*s), u"S-1-5-84-0-0-0-0-0");
    EXPECT_FALSE(io::parse_sid(u"S-1-5-4294967296"));  // sub-authority above 32 bits
    EXPECT_FALSE(io::parse_sid(u"S-1-5-18-"));
    EXPECT_FALSE(io::parse_sid(u"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"));
}

TEST(AccessCheck, DeviceDescriptorAdmitsSystemAdminsAndUserModeDriversOnly) {
    auto sd = parse(device_sddl);
    for (token_kind kind :
         {token_kind::local_system, token_kind::administrator, token_kind::user_mode_driver}) {
        ACCESS_MASK granted = 0;
        EXPECT_EQ(check(*sd, kind, GENERIC_READ | GENERIC_WRITE, &granted), STATUS_SUCCESS)
            << io::to_string(kind);
        EXPECT_EQ(granted, static_cast<ACCESS_MASK>(FILE_GENERIC_READ | FILE_GENERIC_WRITE));
    }
    for (token_kind kind :
         {token_kind::user, token_kind::local_service, token_kind::network_service}) {
        EXPECT_EQ(check(*sd, kind, GENERIC_READ), STATUS_ACCESS_DENIED) << io::to_string(kind);
        EXPECT_EQ(check(*sd, kind, FILE_READ_ATTRIBUTES | SYNCHRONIZE), STATUS_ACCESS_DENIED);
    }
}

TEST(AccessCheck, AcesApplyInOrderAndDenyWinsOnlyWhenFirst) {
    // Everyone is denied writing data before the users' grant: a user cannot write, can read.
    auto deny_first = parse(u"D:(D;;0x2;;;WD)(A;;GA;;;BU)");
    EXPECT_EQ(check(*deny_first, token_kind::user, GENERIC_READ), STATUS_SUCCESS);
    EXPECT_EQ(check(*deny_first, token_kind::user, GENERIC_WRITE), STATUS_ACCESS_DENIED);
    EXPECT_EQ(check(*deny_first, token_kind::user, GENERIC_READ | GENERIC_WRITE),
              STATUS_ACCESS_DENIED);
    // Denying generic write also denies READ_CONTROL and SYNCHRONIZE, which generic read
    // maps to as well: such a descriptor refuses reads too.
    auto deny_generic = parse(u"D:(D;;GW;;;WD)(A;;GA;;;BU)");
    EXPECT_EQ(check(*deny_generic, token_kind::user, GENERIC_READ), STATUS_ACCESS_DENIED);
    EXPECT_EQ(check(*deny_generic, token_kind::user, FILE_READ_DATA), STATUS_SUCCESS);
    // The same deny after the grant comes too late for the rights already granted.
    auto grant_first = parse(u"D:(A;;GA;;;BU)(D;;GW;;;WD)");
    EXPECT_EQ(check(*grant_first, token_kind::user, GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
    // A deny naming rights not asked for does not refuse.
    EXPECT_EQ(check(*deny_first, token_kind::user, FILE_READ_DATA), STATUS_SUCCESS);
    // Rights granted piecemeal by several ACEs add up.
    auto pieces = parse(u"D:(A;;FR;;;BU)(A;;FW;;;IU)");
    EXPECT_EQ(check(*pieces, token_kind::user, GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
    EXPECT_EQ(check(*pieces, token_kind::user, GENERIC_ALL), STATUS_ACCESS_DENIED);
}

TEST(AccessCheck, EmptyDaclGrantsNothingNullDaclEverything) {
    auto empty = parse(u"D:P");
    EXPECT_EQ(check(*empty, token_kind::local_system, GENERIC_READ), STATUS_ACCESS_DENIED);
    auto null = parse(u"D:NO_ACCESS_CONTROL");
    ACCESS_MASK granted = 0;
    EXPECT_EQ(check(*null, token_kind::user, GENERIC_ALL, &granted), STATUS_SUCCESS);
    EXPECT_EQ(granted, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
    EXPECT_EQ(check(*null, token_kind::user, MAXIMUM_ALLOWED, &granted), STATUS_SUCCESS);
    EXPECT_EQ(granted, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
}

TEST(AccessCheck, MaximumAllowedInheritOnlyOwnerAndSystemSecurity) {
    auto sd = parse(u"O:BUD:(D;;FW;;;IU)(A;;GA;;;BU)(A;IO;GA;;;WD)");
    ACCESS_MASK granted = 0;
    ASSERT_EQ(check(*sd, token_kind::user, MAXIMUM_ALLOWED, &granted), STATUS_SUCCESS);
    EXPECT_EQ(granted & FILE_WRITE_DATA, 0u);  // denied first
    EXPECT_NE(granted & FILE_READ_DATA, 0u);
    EXPECT_EQ(check(*sd, token_kind::user, MAXIMUM_ALLOWED | FILE_WRITE_DATA),
              STATUS_ACCESS_DENIED);
    // The inherit-only grant to Everyone does not apply to the object itself.
    EXPECT_EQ(check(*sd, token_kind::local_system, GENERIC_READ), STATUS_ACCESS_DENIED);
    // The owner may read and change the descriptor even when the DACL says nothing.
    auto owned = parse(u"O:BUD:P");
    EXPECT_EQ(check(*owned, token_kind::user, READ_CONTROL | WRITE_DAC), STATUS_SUCCESS);
    EXPECT_EQ(check(*owned, token_kind::user, FILE_READ_DATA), STATUS_ACCESS_DENIED);
    // The SACL needs the privilege, whatever the DACL grants.
    auto open = parse(u"D:(A;;GA;;;WD)");
    EXPECT_EQ(check(*open, token_kind::user, ACCESS_SYSTEM_SECURITY), STATUS_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(check(*open, token_kind::administrator, ACCESS_SYSTEM_SECURITY), STATUS_SUCCESS);
}

TEST(Tokens, AccountKindsCarryTheirGroups) {
    auto system = io::make_token(token_kind::local_system);
    EXPECT_TRUE(system.contains(io::sids::local_system()));
    EXPECT_TRUE(system.contains(io::sids::builtin_admins()));
    auto admin = io::make_token(token_kind::administrator);
    EXPECT_TRUE(admin.contains(io::sids::builtin_admins()));
    EXPECT_FALSE(admin.contains(io::sids::local_system()));
    auto umdf = io::make_token(token_kind::user_mode_driver);
    EXPECT_TRUE(umdf.contains(io::sids::user_mode_drivers()));
    EXPECT_FALSE(umdf.contains(io::sids::builtin_admins()));
    auto user = io::make_token(token_kind::user);
    EXPECT_TRUE(user.contains(io::sids::builtin_users()));
    EXPECT_TRUE(user.contains(io::sids::everyone()));
    EXPECT_FALSE(user.contains(io::sids::builtin_admins()));
    EXPECT_FALSE(user.contains(io::sids::user_mode_drivers()));
}
