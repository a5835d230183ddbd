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

std::size_t count_lines(const vraxsim::transcript& t, const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(t.lines().begin(), t.lines().end(),
                      [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

// Port 0 over the simulated SMD driver: both open requests carry the three event names, the
// port-open notice decodes as a control request 0x27, a frame read reaches the demultiplexer,
// and the administrator gets in once the interface is enabled.
TEST(Vraxsim, PortZeroOpensCarriesFramesAndReopens) {
    vraxsim::transcript t(nullptr);
    int failures = vraxsim::run_scenario({}, &t);
    std::string all;
    for (const auto& l : t.lines()) {
        all += l + "\n";
    }
    EXPECT_EQ(failures, 0) << all;
    EXPECT_EQ(count_lines(t, "IOCTL_SMD_OPEN #"), 2u) << all;
    EXPECT_TRUE(has_line(t, "IOCTL_SMD_OPEN #2 (780 bytes) -> 0x00000000 STATUS_SUCCESS, port 0"))
        << all;
    EXPECT_EQ(count_lines(t, "read event  VRAX_SMD_SHARED_EVENT_READ_0"), 2u) << all;
    EXPECT_EQ(count_lines(t, "open event  VRAX_SMD_SHARED_EVENT_OPEN_0"), 2u) << all;
    EXPECT_EQ(count_lines(t, "close event VRAX_SMD_SHARED_EVENT_CLOSE_0"), 2u) << all;
    EXPECT_TRUE(has_line(t, "SMD side: port 0 frame of 12 bytes: 01 0b 00 00 00 00 00 01 27"))
        << all;
    EXPECT_TRUE(
        has_line(t, "if=0x01 len=11 flags=0x00 svc=0 cid=0 | ctl type=0 txn=1 msg=0x0027 tlvlen=0"))
        << all;
    EXPECT_TRUE(has_line(t, "administrator: CreateFileW(\\\\.\\VRAX) succeeded")) << all;
    EXPECT_TRUE(has_line(t, "demux: port 0 frame of 3 bytes")) << all;
    EXPECT_TRUE(has_line(t, "SMD side: IOCTL_SMD_CLOSE -> 0x00000000 STATUS_SUCCESS, port 0"))
        << all;
    EXPECT_TRUE(has_line(t, "port 0: service thread ends")) << all;
}

}  // namespace
