// The stress run at a small size with a fixed seed: programs, kernel clients, port losses and
// kills, and nothing lost, duplicated, misdelivered, left pending, held against the flow
// control or leaked.
#include <gtest/gtest.h>

#include <cstdio>

#include "stress_run.h"

namespace {

TEST(StressRun, EightProgramsAndTwoKernelClientsLoseNothingAcrossPortLossesAndKills) {
    stress::options o;
    o.clients = 8;
    o.messages = 500;
    o.kernel_clients = 2;
    o.port_loss_every = 1500;
    o.kill_every = 2500;
    o.seed = 12;
    o.progress = false;
    const stress::result r = stress::run(o);
    stress::print_summary(stdout, o, r);
    ASSERT_TRUE(r.failure.empty()) << r.failure;
    EXPECT_EQ(r.v.losses, 0u);
    EXPECT_EQ(r.v.duplicates, 0u);
    EXPECT_EQ(r.v.misdelivered, 0u);
    EXPECT_EQ(r.v.never_completed, 0u);
    EXPECT_EQ(r.v.flow_control, 0u);
    EXPECT_TRUE(r.final_check.empty());
    // The run did what it is for: the rules' drops happened, and most messages arrived.
    EXPECT_GT(r.counts.at("port losses"), 0u);
    EXPECT_GT(r.counts.at("programs killed"), 0u);
    EXPECT_GT(r.v.writes_held, 0u) << "the bursts reach the outstanding-write limit";
    EXPECT_GT(r.v.requests_written, 3000u);
    EXPECT_GT(r.v.delivered, r.v.requests_written / 2);
}

}  // namespace
