// Counted-string routines of the run-time library.
#include <gtest/gtest.h>
#include <wdm.h>

#include "kernel/strings.h"

namespace {

std::u16string text(const UNICODE_STRING& s) {
    return platform::kernel::to_u16(&s);
}

TEST(RtlStrings, InitCopyAndAppendRespectTheDestinationsCapacity) {
    UNICODE_STRING src;
    RtlInitUnicodeString(&src, u"\\Device\\VRAX");
    EXPECT_EQ(src.Length, 24);
    EXPECT_EQ(src.MaximumLength, 26);
    UNICODE_STRING null_init;
    RtlInitUnicodeString(&null_init, nullptr);
    EXPECT_EQ(null_init.Length, 0);
    EXPECT_EQ(null_init.Buffer, nullptr);

    WCHAR buf[8];
    UNICODE_STRING dst{0, sizeof(buf), buf};
    RtlCopyUnicodeString(&dst, &src);  // truncates to the capacity, no terminator room
    EXPECT_EQ(text(dst), u"\\Device\\");
    WCHAR big[32];
    UNICODE_STRING roomy{0, sizeof(big), big};
    RtlCopyUnicodeString(&roomy, &src);
    EXPECT_EQ(text(roomy), u"\\Device\\VRAX");
    EXPECT_EQ(big[12], 0);  // terminated when there is room
    RtlCopyUnicodeString(&roomy, nullptr);
    EXPECT_EQ(roomy.Length, 0);

    roomy.Length = 0;
    EXPECT_EQ(RtlAppendUnicodeToString(&roomy, u"abc"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&roomy, &src), STATUS_SUCCESS);
    EXPECT_EQ(text(roomy), u"abc\\Device\\VRAX");
    UNICODE_STRING small{0, 4, buf};
    EXPECT_EQ(RtlAppendUnicodeStringToString(&small, &src), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.Length, 0);  // untouched on failure
}

TEST(RtlStrings, CompareAndEqualWithAndWithoutCase) {
    UNICODE_STRING a, b, c;
    RtlInitUnicodeString(&a, u"Vrax");
    RtlInitUnicodeString(&b, u"VRAX");
    RtlInitUnicodeString(&c, u"VRAXX");
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0);  // 'r' > 'R'
    EXPECT_LT(RtlCompareUnicodeString(&b, &c, FALSE), 0);  // a prefix sorts first
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_FALSE(RtlEqualUnicodeString(&b, &c, TRUE));
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'\u00e9'), u'\u00c9');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'\u0436'), u'\u0416');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'1'), u'1');
}

TEST(RtlStrings, IntegerConversionsBothWays) {
    WCHAR buf[16];
    UNICODE_STRING s{0, sizeof(buf), buf};
    EXPECT_EQ(RtlIntegerToUnicodeString(3054, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(text(s), u"BEE");
    EXPECT_EQ(RtlIntegerToUnicodeString(0, 0, &s), STATUS_SUCCESS);
    EXPECT_EQ(text(s), u"0");
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 7, &s), STATUS_INVALID_PARAMETER);
    UNICODE_STRING tiny{0, 4, buf};
    EXPECT_EQ(RtlIntegerToUnicodeString(12345, 10, &tiny), STATUS_BUFFER_OVERFLOW);

    auto parse = [](const char16_t* str, ULONG base, ULONG* value) {
        UNICODE_STRING u;
        RtlInitUnicodeString(&u, str);
        return RtlUnicodeStringToInteger(&u, base, value);
    };
    ULONG v = 0;
    EXPECT_EQ(parse(u"  1234", 10, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 1234u);
    EXPECT_EQ(parse(u"0x1F", 0, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 31u);
    EXPECT_EQ(parse(u"0b101", 0, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 5u);
    EXPECT_EQ(parse(u"-7", 10, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, static_cast<ULONG>(-7));
    EXPECT_EQ(parse(u"42abc", 10, &v), STATUS_SUCCESS);  // stops at the first non-digit
    EXPECT_EQ(v, 42u);
    EXPECT_EQ(parse(u"ff", 16, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 255u);
    EXPECT_EQ(parse(u"12", 3, &v), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(parse(u"12", 10, nullptr), STATUS_ACCESS_VIOLATION);
}

TEST(RtlStrings, InitExRefusesStringsTooLongToCount) {
    std::u16string huge(40000, u'a');
    UNICODE_STRING s;
    EXPECT_EQ(RtlInitUnicodeStringEx(&s, huge.c_str()), STATUS_NAME_TOO_LONG);
    RtlInitUnicodeString(&s, huge.c_str());
    EXPECT_EQ(s.Length, 65532);  // capped, with room for the terminator
    EXPECT_EQ(RtlInitUnicodeStringEx(&s, u"ok"), STATUS_SUCCESS);
    EXPECT_EQ(s.Length, 4);
    const unsigned char x[] = {1, 2, 3, 4}, y[] = {1, 2, 9, 4};
    EXPECT_EQ(RtlCompareMemory(x, y, 4), 2u);
    EXPECT_EQ(RtlCompareMemory(x, x, 4), 4u);
}

}  // namespace
