// Return addresses and code addresses to function, file and line.
#include "core/symbolizer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace sym = platform::symbolizer;

namespace {

[[gnu::noinline]] const void* my_return_address() {
    return __builtin_return_address(0);
}

[[gnu::noinline]] int some_routine(int x) {
    return x + 1;
}

TEST(Symbolizer, AReturnAddressNamesTheCallersFunctionFileAndLine) {
    int line = __LINE__ + 1;
    const void* site = my_return_address();
    sym::location where;
    ASSERT_TRUE(sym::resolve(site, &where));
    EXPECT_EQ(where.file, "tests/platform/core/symbolizer_test.cpp");
    EXPECT_EQ(where.line, line);
    EXPECT_EQ(where.function,
              "(anonymous namespace)::"
              "Symbolizer_AReturnAddressNamesTheCallersFunctionFileAndLine_Test::TestBody");
    EXPECT_EQ(sym::describe(site),
              where.function + " (" + where.file + ":" + std::to_string(line) + ")");
}

TEST(Symbolizer, ACodeAddressIsLookedUpAsItIs) {
    EXPECT_EQ(some_routine(1), 2);
    std::string text = sym::describe_code(reinterpret_cast<const void*>(&some_routine));
    EXPECT_EQ(text.rfind("(anonymous namespace)::some_routine (tests/platform/core/"
                         "symbolizer_test.cpp:",
                         0),
              0u)
        << text;
}

TEST(Symbolizer, AddressesOutsideAnyModuleAreShownAsNumbers) {
    EXPECT_EQ(sym::describe(nullptr), "an unknown place");
    sym::location where;
    EXPECT_FALSE(sym::resolve(reinterpret_cast<const void*>(std::uintptr_t(0x10)), &where));
    EXPECT_EQ(sym::describe(reinterpret_cast<const void*>(std::uintptr_t(0x10))), "0x10");
}

}  // namespace
