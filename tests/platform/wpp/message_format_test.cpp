// Parsing and rendering of trace formats: what a statement may pass, and that the consumer
// renders numbers as the statement's conversion asks.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "wpp/message_format.h"

namespace {

using namespace platform::wpp;

constexpr GUID format_guid = {0x11111111, 0x2222, 0x3333, {4, 4, 5, 5, 5, 5, 5, 5}};

template <typename... T>
std::string render_with(const char* format, ULONG line, T... values) {
    const message_format& f =
        register_site(format_guid, 4, 1, "/src/x/file.cpp", line, "Caller", format);
    std::vector<std::uint64_t> storage;
    storage.resize(sizeof...(T));
    std::vector<arg_bytes> args;
    std::size_t i = 0;
    (
        [&] {
            std::memcpy(&storage[i], &values, sizeof(values));
            args.push_back({&storage[i], sizeof(values)});
            ++i;
        }(),
        ...);
    return render(f, args);
}

TEST(MessageFormat, AcceptsNumbersAndRejectsEverythingElse) {
    std::string error;
    for (const char* ok : {"%d %i %u %x %X %c %p", "%hd %hhu %lu %llx %I64d %I32u %Iu %zu",
                           "%-8d|%08x|%+d|% d|%#x|%.3u", "%!STATUS! %!HRESULT! %!bool!",
                           "%!FUNC! %!LINE! %!FILE! 100%%"}) {
        EXPECT_TRUE(parse_format(ok, &error).has_value()) << ok << ": " << error;
    }
    for (const char* bad :
         {"%s", "%S", "%ws", "%ls", "%f", "%*d", "%n", "%!GUID!", "%!x", "%lc", "%"}) {
        EXPECT_FALSE(parse_format(bad, &error).has_value()) << bad;
    }
}

TEST(MessageFormat, RendersAsTheConversionAsks) {
    EXPECT_EQ(render_with("%d|%u|%x|%X", 1, -5, 4000000000u, 0xabcu, 0xabcu),
              "-5|4000000000|abc|ABC");
    EXPECT_EQ(render_with("[%-6d][%06d][%+d][% d][%#x][%.3u]", 2, 42, -42, 7, 7, 255u, 5u),
              "[42    ][-00042][+7][ 7][0xff][005]");
    EXPECT_EQ(render_with("%hd %hu %hhd", 3, 0x18000, 0x18000u, 0x1FF), "-32768 32768 -1");
    EXPECT_EQ(render_with("%I64d %llx", 4, std::int64_t{-1} << 40, std::uint64_t{1} << 60),
              "-1099511627776 1000000000000000");
    EXPECT_EQ(render_with("%!STATUS! %!bool! %!bool!", 5, 0x103, 0, 2), "0x00000103 FALSE TRUE");
    EXPECT_EQ(render_with("%!FUNC!@%!FILE!:%!LINE! %c", 6, int{'A'}), "Caller@file.cpp:6 A");
    // Missing or mis-sized arguments show as such rather than reading past them.
    EXPECT_EQ(render_with("%u %u", 7, 1u), "1 <?>");
    EXPECT_EQ(render_with("%I64u", 8, 1u), "<?>");
}

TEST(MessageFormat, EachSiteHasOneNumber) {
    const auto& a = register_site(format_guid, 2, 1, "a.cpp", 10, "F", "x %u");
    const auto& again = register_site(format_guid, 2, 1, "a.cpp", 10, "F", "x %u");
    const auto& other = register_site(format_guid, 2, 1, "a.cpp", 11, "F", "x %u");
    EXPECT_EQ(a.number, again.number);
    EXPECT_NE(a.number, other.number);
    auto found = find_format(format_guid, other.number);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->line, 11u);
    EXPECT_FALSE(find_format(format_guid, 0).has_value());
}

}  // namespace
