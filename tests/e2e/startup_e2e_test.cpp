// The main job's scenario, end to end: a machine boots, programs open the device under
// different accounts, the device goes through query-stop, query-remove, sleep and resume,
// and the machine shuts down clean.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "scenario.h"

namespace {

bool has_line(const vraxsim::transcript& t, const std::string& text) {
    return std::any_of(t.lines().begin(), t.lines().end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

TEST(Vraxsim, ScenarioHoldsEveryExpectation) {
    vraxsim::transcript t(nullptr);
    int failures = vraxsim::run_scenario({}, &t);
    std::string all;
    for (const auto& l : t.lines()) {
        all += l + "\n";
    }
    EXPECT_EQ(failures, 0) << all;
    EXPECT_TRUE(has_line(t,
                         "ordinary user: CreateFileW(\\\\.\\VRAX) failed, GetLastError() = 5 "
                         "ERROR_ACCESS_DENIED"))
        << all;
    EXPECT_TRUE(has_line(t,
                         "administrator: CreateFileW(\\\\.\\VRAX) failed, GetLastError() = "
                         "632 ERROR_NOINTERFACE"))
        << all;
    // The driver's start-up and unload both leave trace records the transcript decodes.
    EXPECT_TRUE(has_line(t, "[info] ")) << all;
    EXPECT_TRUE(has_line(t, "[error] ")) << all;
}

}  // namespace
