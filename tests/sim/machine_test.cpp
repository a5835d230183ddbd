// The machine that installs any driver: two drivers at once, each with what its INF writes
// (hardware-key values, device interfaces) reaching it, programs using both, power events
// for one leaving the other alone, a clean shutdown, and VRAX's machine hosting another
// driver beside VRAX.
#include <gtest/gtest.h>
#include <windows.h>

#include <cfgmgr32.h>

#include <string>
#include <vector>

#include "machine/machine.h"
#include "machine/platform_machine.h"
#include "test_drivers.h"
#include "win32/process.h"

namespace io = platform::io;
using sim_test::answer_class;
using sim_test::store_class;

namespace {

// The interface paths of a class, as a program finds them.
std::vector<std::u16string> paths(const GUID& cls,
                                  ULONG flags = CM_GET_DEVICE_INTERFACE_LIST_PRESENT) {
    ULONG len = 0;
    if (CM_Get_Device_Interface_List_SizeW(&len, const_cast<GUID*>(&cls), nullptr, flags) !=
        CR_SUCCESS) {
        return {};
    }
    std::u16string buf(len, u'\0');
    if (CM_Get_Device_Interface_ListW(const_cast<GUID*>(&cls), nullptr, buf.data(), len, flags) !=
        CR_SUCCESS) {
        return {};
    }
    std::vector<std::u16string> out;
    for (std::size_t at = 0; at < buf.size() && buf[at] != 0;) {
        out.emplace_back(buf.c_str() + at);
        at += out.back().size() + 1;
    }
    return out;
}

HANDLE open_first(const GUID& cls) {
    auto list = paths(cls);
    if (list.empty()) {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(list[0].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

// What the program saw, for the test thread.
struct client_result {
    bool wrote = false;
    std::string echoed;
    ULONG answer = 0;
    DWORD error = 0;
};

void store_and_ask(client_result& r) {
    HANDLE store = open_first(store_class);
    HANDLE answer = open_first(answer_class);
    if (store == INVALID_HANDLE_VALUE || answer == INVALID_HANDLE_VALUE) {
        r.error = GetLastError();
        return;
    }
    DWORD n = 0;
    r.wrote = WriteFile(store, "hello", 5, &n, nullptr) && n == 5;
    char buf[16] = {};
    if (ReadFile(store, buf, sizeof buf, &n, nullptr)) {
        r.echoed.assign(buf, n);
    }
    if (!ReadFile(answer, &r.answer, sizeof r.answer, &n, nullptr)) {
        r.error = GetLastError();
    }
    CloseHandle(store);
    CloseHandle(answer);
}

}  // namespace

TEST(PlatformMachine, TwoDriversRunSideBySideAndShutDownClean) {
    sim::platform_machine m;
    auto& store = m.install(sim_test::store_package());
    auto& answer = m.install(sim_test::answer_package(42));
    ASSERT_EQ(m.boot(), STATUS_SUCCESS);
    EXPECT_EQ(platform::pnp::instance_id(store.device()), u"root\\STORE\\0000");
    EXPECT_EQ(paths(store_class).size(), 1u);
    EXPECT_EQ(paths(answer_class).size(), 1u);

    client_result r;
    auto app = m.run_program(io::token_kind::administrator, "client", [&r] { store_and_ask(r); });
    app->wait();
    EXPECT_EQ(app->exit_code(), 0u);
    EXPECT_TRUE(r.wrote);
    EXPECT_EQ(r.echoed, "hello");
    EXPECT_EQ(r.answer, 42u) << "error " << r.error;  // the INF's hardware-key value

    // Power events are per device: the store sleeps, the answer keeps serving.
    ASSERT_EQ(store.sleep(), STATUS_SUCCESS);
    EXPECT_EQ(platform::pnp::state(answer.device()), platform::pnp::device_state::started);
    ASSERT_EQ(store.resume(), STATUS_SUCCESS);

    EXPECT_EQ(m.shutdown(), std::vector<std::string>{});
    EXPECT_FALSE(store.loaded());
    EXPECT_FALSE(answer.loaded());
    // Taken down in the reverse order of installation.
    std::vector<std::string> unloads;
    for (const auto& e : m.events()) {
        if (e.what.ends_with("unload driver")) {
            unloads.push_back(e.what);
        }
    }
    EXPECT_EQ(unloads, (std::vector<std::string>{"ANSWER: unload driver", "STORE: unload driver"}));
}

TEST(PlatformMachine, TheInfsInterfaceIsRegisteredBeforeTheDriverStartsTheDevice) {
    sim::platform_machine m;
    auto& answer = m.install(sim_test::answer_package(7));
    ASSERT_EQ(answer.load(), STATUS_SUCCESS);
    ASSERT_EQ(answer.add_device(), STATUS_SUCCESS);
    auto registered = paths(answer_class, CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES);
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_TRUE(registered[0].ends_with(u"\\A")) << platform::kernel::to_utf8(registered[0]);
    EXPECT_TRUE(paths(answer_class).empty());  // not enabled until the device starts
    ASSERT_EQ(answer.start(), STATUS_SUCCESS);
    EXPECT_EQ(paths(answer_class), registered);  // the driver's interface is the INF's
    EXPECT_TRUE(m.shutdown().empty());
}

TEST(PlatformMachine, AProgramStillRunningAtShutdownIsEnded) {
    sim::platform_machine m;
    m.install(sim_test::store_package());
    ASSERT_EQ(m.boot(), STATUS_SUCCESS);
    auto app = m.run_program(io::token_kind::administrator, "stuck", [] {
        HANDLE h = open_first(store_class);
        HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
        DWORD bytes;
        ULONG_PTR key;
        LPOVERLAPPED ov;
        GetQueuedCompletionStatus(port, &bytes, &key, &ov, INFINITE);
        CloseHandle(h);
    });
    Sleep(10);
    EXPECT_TRUE(m.shutdown().empty());  // its handle to the store was closed first
    EXPECT_TRUE(app->exited());
}

TEST(PlatformMachine, CtrlCEndsAProgramWithTheConsolesExitCode) {
    sim::platform_machine m;
    auto app = m.run_program(io::token_kind::user, "endless", [] {
        for (;;) {
            Sleep(100);
        }
    });
    Sleep(250);
    app->interrupt();
    app->wait();
    EXPECT_EQ(app->exit_code(), static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
}

TEST(PlatformMachineDeathTest, TwoPackagesMayNotShareAService) {
    EXPECT_DEATH(
        {
            sim::platform_machine m;
            m.install(sim_test::store_package());
            m.install(sim_test::store_package());
        },
        "service name of its own: STORE");
}

TEST(VraxMachine, HostsAnotherDriverBesideVrax) {
    sim::machine_options o;
    o.trace_level = 0;
    sim::machine m(o);
    auto& store = m.host().install(sim_test::store_package());
    ASSERT_EQ(m.boot(), STATUS_SUCCESS);  // VRAX only
    EXPECT_FALSE(store.loaded());
    ASSERT_EQ(m.host().boot(), STATUS_SUCCESS);  // the rest
    EXPECT_TRUE(store.loaded());
    client_result r;
    auto app = m.host().run_program(io::token_kind::administrator, "client", [&r] {
        HANDLE h = open_first(store_class);
        DWORD n = 0;
        r.wrote = h != INVALID_HANDLE_VALUE && WriteFile(h, "x", 1, &n, nullptr);
        CloseHandle(h);
    });
    app->wait();
    EXPECT_TRUE(r.wrote);
    EXPECT_TRUE(m.shutdown().empty());
    EXPECT_EQ(m.events().back().what, "unload driver vrax");
}
