// Fault rules and call counting.
#include <gtest/gtest.h>

#include "core/faults.h"

namespace faults = platform::faults;

namespace {

TEST(Faults, NthCallFailsOnceCountedFromWhenTheRuleIsSet) {
    faults::fault_point("RoutineA");
    faults::fault_point("RoutineA");
    faults::fail_nth("RoutineA", 2, -5);
    EXPECT_FALSE(faults::fault_point("RoutineA").has_value());
    EXPECT_EQ(faults::fault_point("RoutineA"), -5);
    EXPECT_FALSE(faults::fault_point("RoutineA").has_value());
    EXPECT_EQ(faults::calls("RoutineA"), 5u);
    EXPECT_EQ(faults::calls("NeverCalled"), 0u);
}

TEST(Faults, AlwaysRulesLastUntilClearedAndOtherRoutinesAreUntouched) {
    faults::fail_always("RoutineB", -7);
    EXPECT_EQ(faults::fault_point("RoutineB"), -7);
    EXPECT_EQ(faults::fault_point("RoutineB"), -7);
    EXPECT_FALSE(faults::fault_point("RoutineC").has_value());
    faults::clear("RoutineB");
    EXPECT_FALSE(faults::fault_point("RoutineB").has_value());
    EXPECT_EQ(faults::calls("RoutineB"), 3u);  // clearing keeps the count
    faults::fail_always("RoutineB", -7);
    faults::fail_always("RoutineC", -8);
    faults::clear();
    EXPECT_FALSE(faults::fault_point("RoutineB").has_value());
    EXPECT_FALSE(faults::fault_point("RoutineC").has_value());
    faults::reset_counts();
    EXPECT_EQ(faults::calls("RoutineB"), 0u);
}

}  // namespace
