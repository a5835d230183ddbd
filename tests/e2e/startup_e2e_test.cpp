// The main job's scenario, end to end: a machine boots, programs open the device under
// different accounts, the device goes through query-stop, query-remove, sleep and resume,
// the modem emulator answers on port 0, a kernel client and two programs exchange messages
// through the driver, the port is lost and re-opened, and the machine shuts down clean.
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

std::string all_lines(const vraxsim::transcript& t) {
    std::string all;
    for (const auto& l : t.lines()) {
        all += l + "\n";
    }
    return all;
}

// The kernel client: its first client id granted, the second refused with 31 on the line that
// says so, its request answered and an indication for its id; a broadcast does not reach it.
TEST(Vraxsim, KernelClientGetsAnIdThenARefusalAndHearsItsAnswers) {
    vraxsim::transcript t(nullptr);
    EXPECT_EQ(vraxsim::run_scenario({}, &t), 0);
    const std::string all = all_lines(t);
    EXPECT_TRUE(has_line(t, "vraxkc: KernelClientRegister(its receive callback) -> 0 (success)"))
        << all;
    EXPECT_TRUE(has_line(t, "kernel client: client id 9 granted for service 3 (result 0")) << all;
    EXPECT_TRUE(has_line(t,
                         "kernel client: second client id for service 3 refused: result 1, "
                         "error 31 (no client id left)"))
        << all;
    // Answers to its control requests carry its own running number: 1, then 2.
    EXPECT_TRUE(has_line(t,
                         "ctl type=1 txn=1 msg=0x0022 tlvlen=12 | tlv 0x02[4]=00000000 | tlv "
                         "0x01[2]=0309"))
        << all;
    EXPECT_TRUE(has_line(t, "ctl type=1 txn=2 msg=0x0022 tlvlen=7 | tlv 0x02[4]=01001f00")) << all;
    EXPECT_TRUE(has_line(t,
                         "svc type=2 txn=257 msg=0x0010 tlvlen=13 | tlv 0x02[4]=00000000 | "
                         "tlv 0x01[3]=c0ffee"))
        << all;
    EXPECT_TRUE(has_line(t, "svc type=4 txn=0 msg=0x0030 tlvlen=4 | tlv 0x01[1]=42")) << all;
    EXPECT_EQ(count_lines(t, "kernel client: receive callback"), 4u) << all;
}

// Two programs: binding and its version words, a refused bind with its Win32 error name, a
// client id, a write and its answer, and one broadcast read by both.
TEST(Vraxsim, ProgramsBindWriteReadAndShareABroadcast) {
    vraxsim::transcript t(nullptr);
    EXPECT_EQ(vraxsim::run_scenario({}, &t), 0);
    const std::string all = all_lines(t);
    EXPECT_TRUE(has_line(t,
                         "client-a: DeviceIoControl(IOCTL_VRAX_BIND_SERVICE, service 1, port 0) "
                         "-> TRUE, 8 bytes"))
        << all;
    EXPECT_TRUE(has_line(t,
                         "client-a: DeviceIoControl(IOCTL_VRAX_GET_CLIENT_ID, service 1) -> "
                         "TRUE, 1 byte"))
        << all;
    EXPECT_TRUE(has_line(t, "client-a: WriteFile(12 bytes) -> TRUE, 12 bytes")) << all;
    EXPECT_TRUE(has_line(t, "client-a: ReadFile(512 bytes) -> TRUE, 19 bytes")) << all;
    EXPECT_TRUE(has_line(t,
                         "client-b: DeviceIoControl(IOCTL_VRAX_BIND_SERVICE, service 255, port "
                         "0) -> FALSE, GetLastError() = 87 ERROR_INVALID_PARAMETER"))
        << all;
    // The broadcast: once on the wire, once in each program's read.
    EXPECT_EQ(count_lines(t, "svc type=4 txn=0 msg=0x0031 tlvlen=4 | tlv 0x01[1]=07"), 3u) << all;
    // The session that held client id 1 releases it as it ends.
    EXPECT_TRUE(has_line(t, "msg=0x0023 tlvlen=5 | tlv 0x01[2]=0101  ; client id 1 released"))
        << all;
}

// Every frame is one line with its direction; a port loss brings a second notice and a
// second service-table request, each answered table filling the version words.
TEST(Vraxsim, EachFrameOnOneLineAndThePortLossFetchesTheTableAgain) {
    vraxsim::transcript t(nullptr);
    EXPECT_EQ(vraxsim::run_scenario({}, &t), 0);
    const std::string all = all_lines(t);
    for (const auto& l : t.lines()) {
        if (l.rfind("   frame ", 0) == 0) {
            EXPECT_TRUE(l.find(" port 0  driver -> modem  if=0x01") != std::string::npos ||
                        l.find(" port 0  modem -> driver  ") != std::string::npos ||
                        l.find(" port 0  modem            modem ") != std::string::npos)
                << l;
        }
    }
    EXPECT_EQ(count_lines(t,
                          "driver -> modem  if=0x01 len=11 flags=0x00 svc=0 cid=0 | ctl type=0 "
                          "txn=1 msg=0x0027"),
              1u)
        << all;
    EXPECT_EQ(count_lines(t,
                          "driver -> modem  if=0x01 len=11 flags=0x00 svc=0 cid=0 | ctl "
                          "type=0 txn=7 msg=0x0027"),
              1u)
        << all;
    EXPECT_EQ(count_lines(t, "modem -> driver  if=0x01 len=66 flags=0x00 svc=0 cid=0 | ctl type=1"),
              2u)
        << all;
    EXPECT_EQ(count_lines(t, "version table port 0, service 3: 0x0003 0x0000 0x0001 0x0000"), 2u)
        << all;
    EXPECT_TRUE(has_line(t, "modem            modem closed the channel")) << all;
    EXPECT_TRUE(has_line(t, "ok    port 0's row of the service version table is cleared")) << all;
}

}  // namespace
