#include "scenario.h"

#include <windows.h>

#include <string>
#include <vector>

#include "io/device_objects.h"
#include "kernel/object_manager.h"
#include "kernel/strings.h"
#include "machine/machine.h"
#include "vrax_device.h"
#include "win32/process.h"

namespace vraxsim {
namespace {

namespace ob = platform::ob;
namespace io = platform::io;
namespace win32 = platform::win32;

std::string utf8(std::u16string_view s) {
    return platform::kernel::to_utf8(s);
}

std::string level_name(UCHAR level) {
    switch (level) {
        case 1:
            return "critical";
        case 2:
            return "error";
        case 3:
            return "warning";
        case 4:
            return "info";
        case 5:
            return "verbose";
        default:
            return std::to_string(level);
    }
}

std::string base_name(const std::string& path) {
    auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Prints the trace records that arrived since `printed`.
void print_trace(transcript& t, const sim::machine& m, std::size_t& printed) {
    if (m.trace() == nullptr) {
        return;
    }
    auto records = m.trace()->records();
    if (printed >= records.size()) {
        t.line("(no new trace records)");
        return;
    }
    for (; printed < records.size(); ++printed) {
        const auto& r = records[printed];
        t.line("[" + level_name(r.level) + "] " + base_name(r.file) + ":" + std::to_string(r.line) +
               " " + r.text);
    }
}

std::string queue_state_text(ULONG state) {
    std::string s;
    s += (state & WdfIoQueueAcceptRequests) ? "accepting" : "not accepting";
    s += (state & WdfIoQueueDispatchRequests) ? ", dispatching" : ", not dispatching";
    if (state & WdfIoQueueNoRequests) {
        s += ", empty";
    }
    if (state & WdfIoQueueDriverNoRequests) {
        s += ", none in the driver";
    }
    return s;
}

ULONG client_queue_state() {
    if (ControlDevice == nullptr) {
        return 0;
    }
    auto* context = GetVraxDeviceContext(ControlDevice);
    if (context->ClientQueue == nullptr) {
        return 0;
    }
    return static_cast<ULONG>(WdfIoQueueGetState(context->ClientQueue, nullptr, nullptr));
}

struct open_result {
    bool opened = false;
    DWORD error = 0;
};

// A program running as `kind` opens \\.\VRAX for reading and writing, then closes it.
open_result open_as(io::token_kind kind, const std::string& name) {
    open_result result;
    auto process = win32::process::create(kind, name);
    process->run([&result] {
        HANDLE h = CreateFileW(L"\\\\.\\VRAX", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            result.error = GetLastError();
            return;
        }
        result.opened = true;
        CloseHandle(h);
    });
    process->wait();
    return result;
}

void report_open(transcript& t, const std::string& who, const open_result& r) {
    if (r.opened) {
        t.line(who + ": CreateFileW(\\\\.\\VRAX) succeeded");
    } else {
        t.line(who + ": CreateFileW(\\\\.\\VRAX) failed, GetLastError() = " +
               sim::win32_error_name(r.error));
    }
}

}  // namespace

int run_scenario(const scenario_options& options, transcript* out) {
    transcript local(options.quiet ? nullptr : stdout);
    transcript& t = out != nullptr ? *out : local;
    std::size_t printed = 0;

    sim::machine_options mo;
    mo.wall_clock = options.wall_clock;
    sim::machine m(mo);

    t.section("The machine boots: Windows 10.0, VRAX installed as a root-enumerated device");
    NTSTATUS status = m.load_driver();
    t.line("DriverEntry -> " + sim::status_name(status));
    status = m.add_device();
    t.line("AddDevice (the framework's device-add callback) -> " + sim::status_name(status));
    status = m.start_device();
    t.line("start (prepare hardware, working-state entry) -> " + sim::status_name(status));
    t.expect(NT_SUCCESS(status) && m.running(), "the driver is loaded and its device started");

    t.section("What the driver built");
    // Only the status: a look-up result holds a reference, which must not outlive the device.
    t.expect(NT_SUCCESS(ob::lookup(u"\\Device\\VRAX").status),
             "control device \\Device\\VRAX exists");
    auto [link_status, target] = ob::query_symbolic_link(u"\\DosDevices\\VRAX");
    t.expect(NT_SUCCESS(link_status) && target == u"\\Device\\VRAX",
             "symbolic link \\DosDevices\\VRAX -> " + utf8(target));
    t.line("security descriptor: D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;UD)");
    t.detail("generic-all for LocalSystem, Administrators and user-mode drivers; nobody else");
    ULONG state = client_queue_state();
    t.line("default queue (sequential, not power managed): " + queue_state_text(state));
    t.expect((state & WdfIoQueueAcceptRequests) != 0, "the default queue accepts requests");

    t.section("The driver's trace so far (level verbose, flag TRACE_VRAX)");
    print_trace(t, m, printed);

    t.section("Programs open the device");
    auto user = open_as(io::token_kind::user, "user-app");
    report_open(t, "ordinary user", user);
    t.detail("refused by the security descriptor before the driver sees the open");
    t.expect(!user.opened && user.error == ERROR_ACCESS_DENIED,
             "an ordinary user is refused with ERROR_ACCESS_DENIED");
    auto admin = open_as(io::token_kind::administrator, "admin-app");
    report_open(t, "administrator", admin);
    t.detail(
        "the open reached the driver, which refuses new handles while the modem channel"
        " is not open (its device interface is disabled)");
    t.expect(!admin.opened && admin.error == ERROR_NOINTERFACE,
             "an administrator reaches the driver and gets ERROR_NOINTERFACE");
    auto system = open_as(io::token_kind::local_system, "service");
    report_open(t, "LocalSystem", system);
    t.expect(!system.opened && system.error == ERROR_NOINTERFACE,
             "LocalSystem reaches the driver too");
    print_trace(t, m, printed);

    t.section("Plug and Play: the device refuses to be stopped or removed on request");
    status = m.query_stop();
    t.line("query-stop -> " + sim::status_name(status));
    t.expect(!NT_SUCCESS(status), "query-stop is refused");
    status = m.query_remove();
    t.line("query-remove -> " + sim::status_name(status));
    t.expect(!NT_SUCCESS(status), "query-remove is refused");
    t.expect(NT_SUCCESS(ob::lookup(u"\\Device\\VRAX").status), "the device stays");

    t.section("Power: sleep and resume");
    status = m.sleep();
    t.line("sleep -> " + sim::status_name(status) +
           "; working-state exit (target D3) purges "
           "the queue");
    state = client_queue_state();
    t.line("default queue: " + queue_state_text(state));
    t.expect((state & WdfIoQueueAcceptRequests) == 0, "the purged queue refuses requests");
    status = m.resume();
    t.line("resume -> " + sim::status_name(status) + "; working-state entry starts it again");
    state = client_queue_state();
    t.line("default queue: " + queue_state_text(state));
    t.expect((state & WdfIoQueueAcceptRequests) != 0, "the queue accepts requests again");
    print_trace(t, m, printed);

    t.section("Shutdown: removal, unload and the verifier's final check");
    auto report = m.shutdown();
    for (const auto& e : m.events()) {
        if (e.what == "remove device" || e.what == "surprise removal" ||
            e.what == "unload driver vrax") {
            t.line(e.what + " -> " + sim::status_name(e.status));
        }
    }
    t.expect(!NT_SUCCESS(ob::lookup(u"\\Device\\VRAX").status), "\\Device\\VRAX is gone");
    for (const auto& line : report) {
        t.line("outstanding: " + line);
    }
    t.expect(report.empty(), "no pool, handles, references or devices left behind");
    print_trace(t, m, printed);

    t.section("Summary");
    t.line(t.failures() == 0 ? "every expectation held"
                             : std::to_string(t.failures()) + " expectation(s) failed");
    if (options.quiet && out == nullptr) {
        std::printf("vraxsim: %d failed expectation(s)\n", t.failures());
    }
    return t.failures();
}

}  // namespace vraxsim
