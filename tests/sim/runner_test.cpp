// The foreign-driver runner: the program gets its arguments, the verdict line reports its
// exit, the machine's sleep and resume, a Ctrl-C, and the final check.
#include <gtest/gtest.h>
#include <windows.h>

#include <cfgmgr32.h>

#include <cstring>
#include <string>
#include <vector>

#include "foreign_runner.h"
#include "test_drivers.h"

namespace {

std::string run(std::vector<const char*> args, sim::runner::program_main program, int& rc) {
    args.insert(args.begin(), "runner");
    std::vector<char*> argv;
    for (const char* a : args) {
        argv.push_back(const_cast<char*>(a));
    }
    testing::internal::CaptureStdout();
    rc = sim::runner::run_foreign(static_cast<int>(argv.size()), argv.data(),
                                  sim_test::StoreDriverEntry, program);
    return testing::internal::GetCapturedStdout();
}

std::string verdict_line(const std::string& out) {
    auto at = out.rfind("RESULT ");
    return at == std::string::npos ? "<none>" : out.substr(at, out.find('\n', at) - at);
}

// Finds the store's interface, writes argv[1] and reads it back: 0 when it came back.
int echo_argument(int argc, char** argv) {
    if (argc != 2 || std::strcmp(argv[0], "echoapp.exe") != 0) {
        return 3;
    }
    ULONG len = 0;
    GUID cls = sim_test::store_class;
    if (CM_Get_Device_Interface_List_SizeW(&len, &cls, nullptr, 0) != CR_SUCCESS || len <= 1) {
        return 4;
    }
    std::u16string list(len, u'\0');
    CM_Get_Device_Interface_ListW(&cls, nullptr, list.data(), len, 0);
    HANDLE h = CreateFileW(list.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return 5;
    }
    DWORD n = 0;
    char back[64] = {};
    bool ok = WriteFile(h, argv[1], static_cast<DWORD>(std::strlen(argv[1])), &n, nullptr) &&
              ReadFile(h, back, sizeof back, &n, nullptr) && std::string(back, n) == argv[1];
    CloseHandle(h);
    return ok ? 0 : 1;
}

int sleep_six_seconds(int, char**) {
    Sleep(6000);
    return 0;
}

int endless(int, char**) {
    for (;;) {
        Sleep(100);
    }
}

}  // namespace

TEST(ForeignRunner, TheProgramGetsItsArgumentsAndAPassIsReported) {
    int rc = -1;
    std::string out = run({"--service", "STORE", "--hardware-id", "root\\STORE", "--mode",
                           "round trip", "--", "hello"},
                          echo_argument, rc);
    EXPECT_EQ(rc, 0) << out;
    std::string v = verdict_line(out);
    EXPECT_TRUE(
        v.starts_with("RESULT round trip | program: passed (exit 0) | virtual 0 ms | real "))
        << v;
    EXPECT_TRUE(v.ends_with(" ms | final check: clean")) << v;
}

TEST(ForeignRunner, AFailingProgramFailsTheRun) {
    int rc = -1;
    std::string out =
        run({"--service", "STORE", "--hardware-id", "root\\STORE"}, echo_argument, rc);
    EXPECT_EQ(rc, 1);
    // No program arguments: the mode is named so, and echo_argument refuses with 3.
    EXPECT_NE(verdict_line(out).find("RESULT (no arguments) | program: failed (exit 3)"),
              std::string::npos)
        << out;
}

TEST(ForeignRunner, TheMachineSleepsAndResumesTheDeviceWhileTheProgramRuns) {
    int rc = -1;
    std::string out = run({"--service", "STORE", "--hardware-id", "root\\STORE", "--mode", "s",
                           "--sleep-at", "50", "--resume-after", "5000"},
                          sleep_six_seconds, rc);
    EXPECT_EQ(rc, 0) << out;
    std::string v = verdict_line(out);
    EXPECT_NE(v.find("| sleep 0x00000000 STATUS_SUCCESS, resume 0x00000000 STATUS_SUCCESS |"),
              std::string::npos)
        << v;
    EXPECT_NE(v.find("| virtual 6000 ms |"), std::string::npos) << v;
}

TEST(ForeignRunner, CtrlCStopsAnEndlessProgram) {
    int rc = -1;
    std::string out = run({"--service", "STORE", "--hardware-id", "root\\STORE", "--mode", "e",
                           "--interrupt-at", "350"},
                          endless, rc);
    EXPECT_EQ(rc, 1);
    std::string v = verdict_line(out);
    EXPECT_NE(v.find("program: ended by Ctrl-C (exit 0xC000013A) | virtual 350 ms"),
              std::string::npos)
        << v;
}

TEST(ForeignRunner, BadOptionsAreRefused) {
    int rc = -1;
    run({"--sleep-at", "soon"}, endless, rc);
    EXPECT_EQ(rc, 2);
}
