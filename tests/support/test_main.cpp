// Test entry point: the test's own thread is a known thread of the scheduler, so virtual
// time only moves when the test itself is blocked too.
//
// VRAX_SCHED_SEEDS=FIRST-LAST runs the selected tests once for each seed of the range, in one
// process: each repetition switches the scheduler's deterministic mode on afresh under its
// own seed before any test of it starts, and the first repetition with a failure ends the
// process (status 1) once its failure has named the seed and the replay. The seed runner uses
// it to spare a process start per seed. A run in a sequence starts with the threads the
// platform keeps for the life of the process already there, so it takes another order than
// the same seed alone (VRAX_SCHED_SEED=N); the whole sequence up to it replays it. With
// either variable the end of each repetition prints "deterministic scheduler: seed N, S
// steps, order H" (H a hash of the order taken), so that two runs can be compared.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "core/scheduler.h"

namespace {

struct seed_range {
    std::uint64_t first;
    std::uint64_t last;
};

// VRAX_SCHED_SEEDS, when set; a value that is not "FIRST-LAST" with FIRST <= LAST is refused
// loudly, as is setting both it and VRAX_SCHED_SEED.
std::optional<seed_range> seeds_from_environment() {
    const char* text = std::getenv("VRAX_SCHED_SEEDS");
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    const char* single = std::getenv("VRAX_SCHED_SEED");
    if (single != nullptr && *single != '\0') {
        std::fprintf(stderr, "VRAX_SCHED_SEEDS and VRAX_SCHED_SEED are both set\n");
        std::exit(2);
    }
    const std::string range(text);
    const std::size_t dash = range.find('-');
    std::optional<std::uint64_t> first;
    std::optional<std::uint64_t> last;
    if (dash != std::string::npos) {
        first = platform::scheduler::parse_seed(range.substr(0, dash));
        last = platform::scheduler::parse_seed(range.substr(dash + 1));
    }
    if (!first || !last || *first > *last || *last - *first >= 1000000) {
        std::fprintf(stderr,
                     "VRAX_SCHED_SEEDS='%s' is not a range of seeds FIRST-LAST (at most a "
                     "million)\n",
                     text);
        std::exit(2);
    }
    return seed_range{*first, *last};
}

// In the scheduler's deterministic mode (VRAX_SCHED_SEED, VRAX_SCHED_SEEDS or a test's own
// seed), a failing test says which seed it ran under and how to run that order again.
class seed_listener : public ::testing::EmptyTestEventListener {
  public:
    seed_listener(std::optional<seed_range> range, bool report_steps)
        : range_(range), report_steps_(report_steps) {}

  private:
    void OnTestIterationStart(const ::testing::UnitTest&, int iteration) override {
        if (range_) {
            platform::scheduler::get().set_deterministic_in_sequence(
                range_->first, range_->first + static_cast<std::uint64_t>(iteration));
        }
    }
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
    void OnTestIterationEnd(const ::testing::UnitTest& unit, int) override {
        platform::scheduler& s = platform::scheduler::get();
        if (report_steps_ && s.deterministic()) {
            std::printf("deterministic scheduler: seed %llu, %llu steps, order %016llx\n",
                        static_cast<unsigned long long>(s.seed()),
                        static_cast<unsigned long long>(s.steps()),
                        static_cast<unsigned long long>(s.order_fingerprint()));
        }
        if (range_ && unit.failed_test_count() != 0) {
            std::printf("a test failed under seed %llu; the runs after it are not made\n",
                        static_cast<unsigned long long>(s.seed()));
            std::fflush(nullptr);
            std::_Exit(1);
        }
    }
    std::optional<seed_range> range_;
    bool report_steps_;
    bool printed_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    platform::scheduler::get().adopt_current_thread("test");
    ::testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::optional<seed_range> range = seeds_from_environment();
    if (range) {
        GTEST_FLAG_SET(repeat, static_cast<int>(range->last - range->first + 1));
    }
    const char* single = std::getenv("VRAX_SCHED_SEED");
    const bool report_steps = range || (single != nullptr && *single != '\0');
    platform::scheduler::get().keep_order_fingerprint(report_steps);
    ::testing::UnitTest::GetInstance()->listeners().Append(new seed_listener(range, report_steps));
    return RUN_ALL_TESTS();
}
