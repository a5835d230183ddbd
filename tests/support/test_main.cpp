// Test entry point: the test's own thread is a known thread of the scheduler, so virtual
// time only moves when the test itself is blocked too.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "core/scheduler.h"

namespace {

// In the scheduler's deterministic mode (VRAX_SCHED_SEED, or a test's own seed), a failing
// test says which seed it ran under and how to run that order again.
class replay_note_printer : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { printed_ = false; }
    void OnTestPartResult(const ::testing::TestPartResult& result) override {
        if (!result.failed() || printed_) {
            return;
        }
        std::string note = platform::scheduler::replay_note();
        if (!note.empty()) {
            std::fprintf(stderr, "%s\n", note.c_str());
            printed_ = true;
        }
    }
    bool printed_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    platform::scheduler::get().adopt_current_thread("test");
    ::testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ::testing::UnitTest::GetInstance()->listeners().Append(new replay_note_printer);
    return RUN_ALL_TESTS();
}
