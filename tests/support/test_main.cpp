// Test entry point: the test's own thread is a known thread of the scheduler, so virtual
// time only moves when the test itself is blocked too.
#include <gtest/gtest.h>

#include "core/scheduler.h"

int main(int argc, char** argv) {
    platform::scheduler::get().adopt_current_thread("test");
    ::testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
