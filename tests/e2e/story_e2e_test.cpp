// The later chapters of the main job's story, read back from the transcript: what each
// program got from the driver for a cancelled client-id control, for sixteen writes with no
// answer, for a named event set at shutdown, and across a port loss; then the options that
// choose the scenario, the programs' account and a fault, and the command's exit status.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "scenario.h"

namespace {

struct run {
    int failures = 0;
    vraxsim::transcript t{nullptr};
    std::string all;

    explicit run(const vraxsim::scenario_options& o = {}) {
        failures = vraxsim::run_scenario(o, &t);
        for (const auto& l : t.lines()) {
            all += l + "\n";
        }
    }
    // The index of the first line containing `text` at or after `from`, or npos.
    std::size_t find(const std::string& text, std::size_t from = 0) const {
        for (std::size_t i = from; i < t.lines().size(); ++i) {
            if (t.lines()[i].find(text) != std::string::npos) {
                return i;
            }
        }
        return std::string::npos;
    }
    std::size_t count(const std::string& text) const {
        return static_cast<std::size_t>(
            std::count_if(t.lines().begin(), t.lines().end(),
                          [&](const std::string& l) { return l.find(text) != std::string::npos; }));
    }
};

// CancelIoEx reaches the control the modem has not answered: 995, and the session's next
// client-id control fails at once too; the request was on the wire before the cancel.
TEST(Story, ACancelledClientIdControlIsAbortedAndItsAbortStays) {
    run r;
    ASSERT_EQ(r.failures, 0) << r.all;
    const std::size_t cancel = r.find(
        "client-e: CancelIoEx(DeviceIoControl(IOCTL_VRAX_GET_CLIENT_ID, service 2)) -> TRUE");
    ASSERT_NE(cancel, std::string::npos) << r.all;
    const std::string aborted =
        "client-e: DeviceIoControl(IOCTL_VRAX_GET_CLIENT_ID, service 2) -> FALSE, GetLastError() "
        "= 995 ERROR_OPERATION_ABORTED";
    const std::size_t first = r.find(aborted, cancel);
    ASSERT_NE(first, std::string::npos) << r.all;
    EXPECT_NE(r.find(aborted, first + 1), std::string::npos) << r.all;
    EXPECT_NE(r.find("ok    the modem had the request (and held its answer) when it was cancelled"),
              std::string::npos)
        << r.all;
    // Both answers arrive 2 s after their requests; the session's clean-up releases the id
    // it heard of last.
    for (const char* grant : {"0201  ; late", "0202  ; late"}) {
        EXPECT_NE(r.find(std::string("msg=0x0022 tlvlen=12 | tlv 0x02[4]=00000000 | tlv 0x01[2]=") +
                         grant),
                  std::string::npos)
            << r.all;
    }
    EXPECT_NE(
        r.find("msg=0x0023 tlvlen=5 | tlv 0x01[2]=0202  ; client id 2 released for service 2"),
        std::string::npos)
        << r.all;
}

// Fifteen writes complete; the sixteenth is still pending after an indication is read and
// completes only after the program reads a message of type 2.
TEST(Story, TheSixteenthWriteWaitsForAMessageOfTypeTwo) {
    run r;
    ASSERT_EQ(r.failures, 0) << r.all;
    EXPECT_EQ(r.count("client-f: WriteFile(11 bytes) -> TRUE, 11 bytes"), 16u) << r.all;
    const std::string incomplete =
        "client-f: GetOverlappedResult(WriteFile(11 bytes), no wait) -> FALSE, GetLastError() = "
        "996 ERROR_IO_INCOMPLETE";
    const std::size_t held = r.find(incomplete);
    ASSERT_NE(held, std::string::npos) << r.all;
    const std::size_t indication = r.find("client-f: ReadFile(512 bytes) -> TRUE, 7 bytes", held);
    ASSERT_NE(indication, std::string::npos) << r.all;
    const std::size_t still_held = r.find(incomplete, indication);
    ASSERT_NE(still_held, std::string::npos) << r.all;
    const std::size_t answer =
        r.find("client-f: ReadFile(512 bytes) -> TRUE, 14 bytes", still_held);
    ASSERT_NE(answer, std::string::npos) << r.all;
    EXPECT_NE(r.find("client-f: WriteFile(11 bytes) -> TRUE, 11 bytes", answer), std::string::npos)
        << "the sixteenth write completes after the type-2 read\n"
        << r.all;
    // On the wire: the sixteenth request (value 0x10) follows the type-2 answer.
    const std::size_t two = r.find("svc type=2 txn=1 msg=0x0010 tlvlen=7");
    ASSERT_NE(two, std::string::npos) << r.all;
    EXPECT_NE(r.find("driver -> modem  if=0x01 len=16 flags=0x00 svc=1 cid=1 | svc type=0 txn=257 "
                     "msg=0x0010 tlvlen=4 | tlv 0x01[1]=10",
                     two),
              std::string::npos)
        << r.all;
}

// The program's event: registered twice with one handle value, untouched by the port loss,
// signalled during the removal.
TEST(Story, TheNamedEventAProgramRegisteredIsSetAtShutdown) {
    run r;
    ASSERT_EQ(r.failures, 0) << r.all;
    EXPECT_EQ(r.count("watcher: DeviceIoControl(IOCTL_VRAX_OPEN_EVENT_W, \"VraxPortsDown\") -> "
                      "TRUE, 8 bytes"),
              2u)
        << r.all;
    const std::size_t shutdown = r.find(". Shutdown: removal, unload");
    ASSERT_NE(shutdown, std::string::npos) << r.all;
    const std::size_t signalled =
        r.find("watcher: WaitForSingleObject(3600000 ms) -> WAIT_OBJECT_0", shutdown);
    EXPECT_NE(signalled, std::string::npos) << r.all;
    EXPECT_EQ(r.count("WaitForSingleObject"), 1u) << "the wait ends once, at shutdown\n" << r.all;
}

// Two bound sessions: each reads port lost with its own service type, then port ready after
// the table comes back.
TEST(Story, BoundSessionsHearThePortLostAndThenReady) {
    run r;
    ASSERT_EQ(r.failures, 0) << r.all;
    for (const char* service : {"1", "2"}) {
        const std::string ready = std::string("port state 0 (port ready), service type ") + service;
        const std::string lost = std::string("port state 1 (port lost), service type ") + service;
        const std::size_t loss_section = r.find(". Port loss: the modem closes the channel");
        ASSERT_NE(loss_section, std::string::npos) << r.all;
        const std::size_t l = r.find(lost, loss_section);
        ASSERT_NE(l, std::string::npos) << r.all;
        const std::size_t recovery = r.find(". Recovery: the modem opens again", l);
        ASSERT_NE(recovery, std::string::npos) << r.all;
        EXPECT_NE(r.find(ready, recovery), std::string::npos) << r.all;
    }
}

// Each section is numbered once, the long story reports its progress, and a shorter
// scenario tells less.
TEST(Options, ScenariosAreNumberedAndTheLongOneShowsProgress) {
    run full;
    ASSERT_EQ(full.failures, 0) << full.all;
    EXPECT_NE(full.find("21. Summary"), std::string::npos) << full.all;
    EXPECT_NE(full.find("(progress: section 16 of 21, machine time "), std::string::npos)
        << full.all;

    vraxsim::scenario_options o;
    o.scenario = "basic";
    run basic(o);
    ASSERT_EQ(basic.failures, 0) << basic.all;
    EXPECT_NE(basic.find("8. Summary"), std::string::npos) << basic.all;
    EXPECT_EQ(basic.find("(progress:"), std::string::npos) << basic.all;
    EXPECT_EQ(basic.find("client-b"), std::string::npos) << basic.all;
    EXPECT_NE(basic.find("client-a: ReadFile(512 bytes) -> TRUE, 19 bytes"), std::string::npos)
        << basic.all;
    EXPECT_NE(basic.find("ok    client-a has exited: its session released client id 1"),
              std::string::npos)
        << basic.all;

    o.scenario = "no-such-story";
    run unknown(o);
    EXPECT_EQ(unknown.failures, 1);
    EXPECT_NE(unknown.find("no scenario named \"no-such-story\""), std::string::npos);
}

// Under an ordinary user's token every program is refused by the security descriptor, and
// the story says so instead of failing.
TEST(Options, AnOrdinaryUsersProgramsAreRefusedTheDevice) {
    vraxsim::scenario_options o;
    o.programs = vraxsim::account::user;
    run r(o);
    EXPECT_EQ(r.failures, 0) << r.all;
    for (const char* who :
         {"client-a", "client-b", "watcher", "client-c", "client-e", "client-f"}) {
        EXPECT_NE(r.find(std::string(who) +
                         ": CreateFileW(\\\\.\\VRAX, read and write, overlapped) -> FALSE, "
                         "GetLastError() = 5 ERROR_ACCESS_DENIED"),
                  std::string::npos)
            << who << "\n"
            << r.all;
    }
    EXPECT_EQ(r.find("client-a: DeviceIoControl"), std::string::npos) << r.all;
}

struct fault_case {
    const char* fault;
    const char* error;
};

class Faults : public ::testing::TestWithParam<fault_case> {};

// Each fault reaches client-a's client-id control as the driver handles it, and the story
// goes on to its clean shutdown.
TEST_P(Faults, ClientAsControlFailsAsTheFaultMakesIt) {
    vraxsim::scenario_options o;
    o.fault = GetParam().fault;
    run r(o);
    EXPECT_EQ(r.failures, 0) << r.all;
    EXPECT_NE(r.find(std::string("client-a: DeviceIoControl(IOCTL_VRAX_GET_CLIENT_ID, service 1) "
                                 "-> FALSE, GetLastError() = ") +
                     GetParam().error),
              std::string::npos)
        << r.all;
    EXPECT_NE(r.find("ok    no pool, handles, references or devices left behind"),
              std::string::npos)
        << r.all;
}

INSTANTIATE_TEST_SUITE_P(
    Vraxsim, Faults,
    ::testing::Values(fault_case{"no-answer", "121 ERROR_SEM_TIMEOUT"},
                      fault_case{"refused-id", "1450 ERROR_NO_SYSTEM_RESOURCES"},
                      fault_case{"port-loss-at-id", "995 ERROR_OPERATION_ABORTED"},
                      fault_case{"no-work-item", "1450 ERROR_NO_SYSTEM_RESOURCES"}),
    [](const ::testing::TestParamInfo<fault_case>& i) {
        std::string name = i.param.fault;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

// ---- The command ------------------------------------------------------------------------------

int exit_status(const std::string& arguments, std::string& out) {
    const std::string command = std::string(VRAXSIM_PATH) + " " + arguments + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        return -1;
    }
    char buffer[512];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) {
        out.append(buffer, n);
    }
    const int raw = pclose(p);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

TEST(VraxsimCommand, HelpListsTheNamesAndUsageErrorsExitWithTwo) {
    std::string help;
    EXPECT_EQ(exit_status("--help", help), 0);
    for (const auto& list : {vraxsim::scenarios(), vraxsim::accounts(), vraxsim::faults()}) {
        for (const auto& c : list) {
            EXPECT_NE(help.find(std::string("  ") + c.name + " "), std::string::npos)
                << c.name << "\n"
                << help;
        }
    }
    for (const char* bad : {"--frobnicate", "--scenario nope", "--account root", "--fault nope",
                            "--scenario", "--chart", "--scenario port-loss --fault no-answer"}) {
        std::string out;
        EXPECT_EQ(exit_status(bad, out), 2) << bad << "\n" << out;
        EXPECT_NE(out.find("vraxsim: "), std::string::npos) << bad << "\n" << out;
        EXPECT_NE(out.find("(try --help)"), std::string::npos) << bad << "\n" << out;
    }
    std::string quiet;
    EXPECT_EQ(exit_status("--quiet --scenario=basic", quiet), 0) << quiet;
    EXPECT_EQ(quiet, "vraxsim: 0 failed expectation(s)\n");
}

}  // namespace
