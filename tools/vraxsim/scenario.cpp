#include "scenario.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/scheduler.h"
#include "framedecode/frame_decoder.h"
#include "io/device_objects.h"
#include "kernel/object_manager.h"
#include "kernel/strings.h"
#include "machine/machine.h"
#include "pnp/pnp_manager.h"
#include "smd/far_end.h"
#include "smd/install.h"
#include "smd/smd_driver.h"
#include "vrax/vrax_names.h"
#include "vrax_device.h"
#include "win32/process.h"

namespace vraxsim {
namespace {

namespace ob = platform::ob;
namespace io = platform::io;
namespace win32 = platform::win32;
namespace far_end = smd::far_end;
using platform::scheduler;

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

// Lets the machine's threads run for `ms` milliseconds of (virtual) time.
void settle_ms(std::int64_t ms) {
    auto& s = scheduler::get();
    const platform::ticks later = s.now() + ms * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    s.block(
        lk, [] { return false; }, later, "vraxsim: letting the machine run");
}

// Waits, in steps of 10 ms of machine time, until `done` holds or `ms` have passed.
bool wait_until(const std::function<bool()>& done, std::int64_t ms = 20000) {
    for (std::int64_t waited = 0; waited < ms && !done(); waited += 10) {
        settle_ms(10);
    }
    return done();
}

bool interface_enabled() {
    return ControlDevice != nullptr && GetVraxDeviceContext(ControlDevice)->InterfaceEnabled;
}

bool traced(const sim::machine& m, const char* text) {
    return m.trace() != nullptr && m.trace()->contains(text);
}

std::string hex_bytes(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::uint8_t b : bytes) {
        if (!s.empty()) {
            s += ' ';
        }
        s += digits[b >> 4];
        s += digits[b & 0xF];
    }
    return s;
}

// The open requests the SMD side received since `seen`, one line each with its event names.
void report_open_requests(transcript& t, std::size_t& seen) {
    auto opens = far_end::open_requests();
    for (; seen < opens.size(); ++seen) {
        const auto& o = opens[seen];
        t.line("SMD side: IOCTL_SMD_OPEN #" + std::to_string(seen + 1) + " (" +
               std::to_string(o.input_length) + " bytes) -> " + sim::status_name(o.status) +
               ", port " + (o.port ? std::to_string(*o.port) : std::string("(names disagree)")));
        t.detail("read event  " + utf8(o.read_event));
        t.detail("open event  " + utf8(o.open_event));
        t.detail("close event " + utf8(o.close_event));
    }
}

bool names_of_port_zero(const far_end::open_request& o) {
    return o.port == 0u && o.read_event == u"VRAX_SMD_SHARED_EVENT_READ_0" &&
           o.open_event == u"VRAX_SMD_SHARED_EVENT_OPEN_0" &&
           o.close_event == u"VRAX_SMD_SHARED_EVENT_CLOSE_0";
}

// The next frame the driver writes on port 0, decoded on one line.
bool report_notice(transcript& t) {
    auto frame = far_end::next_frame(0, far_end::deadline_in_ms(5000));
    if (!frame) {
        t.line("SMD side: no frame written on port 0 within 5 s");
        return false;
    }
    t.line("SMD side: port 0 frame of " + std::to_string(frame->size()) +
           " bytes: " + hex_bytes(*frame));
    t.detail(framedecode::decode_frame(*frame));
    return true;
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

    t.section("The SMD channel driver arrives, the SMD side ready on port 0");
    far_end::reset();  // the far end is process-wide: nothing left from an earlier machine
    status = far_end::open_channel(0);
    t.line("SMD side: port 0 open at its end; the next channel bound to it is met at once -> " +
           sim::status_name(status));
    const smd::install_options smd_names;
    auto& smd_driver =
        m.host().install({smd_names.service, SmdDriverEntry, smd_names.hardware_id, {}, {}, {}});
    status = smd_driver.boot();
    t.line("smd: DriverEntry, AddDevice, start -> " + sim::status_name(status));
    t.expect(NT_SUCCESS(status), "the SMD driver is loaded and its device started");
    auto smd_links = smd::interface_links();
    for (const auto& link : smd_links) {
        t.line("SMD interface enabled: " + utf8(link));
    }
    t.expect(smd_links.size() == 1, "one SMD interface, whose arrival VRAX is told about");

    t.section("VRAX opens port 0: the open request, the open event, the port-open notice");
    std::size_t opens_seen = 0;
    t.expect(wait_until([] { return !far_end::open_requests().empty(); }, 5000),
             "the SMD side receives an open request for port 0");
    report_open_requests(t, opens_seen);
    auto opens = far_end::open_requests();
    t.expect(!opens.empty() && names_of_port_zero(opens[0]) && opens[0].status == STATUS_SUCCESS,
             "port 0 is bound with the events VRAX_SMD_SHARED_EVENT_{READ,OPEN,CLOSE}_0");
    t.line(std::string("SMD side: channel 0 ") +
           (far_end::far_end_open(0) ? "open at both ends, its open event signalled"
                                     : "not open at the SMD end"));
    t.expect(report_notice(t), "VRAX writes the port-open notice on port 0");
    t.expect(wait_until(interface_enabled, 5000),
             "the service thread sees the open event and enables VRAX's device interface");
    for (const auto& link : platform::pnp::enabled_interfaces(GUID_DEVINTERFACE_VRAX)) {
        t.line("VRAX interface enabled: " + utf8(link));
    }
    auto admin_now = open_as(io::token_kind::administrator, "admin-app");
    report_open(t, "administrator", admin_now);
    t.detail("the interface check passes now that the modem channel is open");
    t.expect(admin_now.opened, "an administrator's open succeeds");
    print_trace(t, m, printed);

    t.section("A frame from the SMD side reaches the demultiplexer");
    const std::vector<std::uint8_t> incoming{0x01, 0x02, 0x00};
    status = far_end::queue_read(0, incoming);
    t.line("SMD side: queued a read of " + std::to_string(incoming.size()) + " bytes (" +
           hex_bytes(incoming) + ") -> " + sim::status_name(status));
    t.expect(wait_until([&m] { return traced(m, "demux: port 0 frame of 3 bytes"); }, 5000),
             "the service thread reads it and hands it to the demultiplexer");
    print_trace(t, m, printed);

    t.section("The SMD side closes the channel: VRAX closes port 0 and opens it again");
    status = far_end::close_channel(0);
    t.line("SMD side: channel 0 closed (close event signalled) -> " + sim::status_name(status));
    t.expect(wait_until([] { return !far_end::close_requests().empty(); }, 5000),
             "VRAX answers with a close request");
    for (const auto& c : far_end::close_requests()) {
        t.line("SMD side: IOCTL_SMD_CLOSE -> " + sim::status_name(c.status) + ", port " +
               (c.port ? std::to_string(*c.port) : std::string("(unbound)")));
    }
    t.expect(wait_until([] { return far_end::open_requests().size() >= 2; }, 5000),
             "VRAX sends a new open request");
    report_open_requests(t, opens_seen);
    opens = far_end::open_requests();
    t.expect(opens.size() == 2 && names_of_port_zero(opens[1]) && opens[1].status == STATUS_SUCCESS,
             "the re-open uses the same event names");
    t.expect(!interface_enabled(), "VRAX's interface is disabled until the SMD side opens again");
    status = far_end::open_channel(0);
    t.line("SMD side: channel 0 opened again -> " + sim::status_name(status));
    if (!report_notice(t)) {
        t.detail("port 0's routing stayed open across the re-open, so no new notice was sent");
    }
    t.expect(wait_until(interface_enabled, 5000), "VRAX's interface is enabled again");
    print_trace(t, m, printed);

    t.section("Shutdown: removal, unload and the verifier's final check");
    auto report = m.shutdown();
    for (const auto& e : m.events()) {
        if (e.what == "remove device" || e.what == "surprise removal" ||
            e.what == "unload driver vrax") {
            t.line(e.what + " -> " + sim::status_name(e.status));
        }
    }
    for (const auto& e : m.host().events()) {
        if (e.what.rfind("smd: ", 0) == 0 && e.what.find("remove") != std::string::npos) {
            t.line(e.what + " -> " + sim::status_name(e.status));
        }
    }
    t.expect(traced(m, "port 0: service thread ends") && traced(m, "ports stopped, wait forever"),
             "the removal waits for port 0's service thread to end");
    t.expect(!NT_SUCCESS(ob::lookup(u"\\Device\\VRAX").status), "\\Device\\VRAX is gone");
    for (const auto& line : report) {
        t.line("outstanding: " + line);
    }
    t.expect(report.empty(), "no pool, handles, references or devices left behind");
    print_trace(t, m, printed);
    far_end::reset();

    t.section("Summary");
    t.line(t.failures() == 0 ? "every expectation held"
                             : std::to_string(t.failures()) + " expectation(s) failed");
    if (options.quiet && out == nullptr) {
        std::printf("vraxsim: %d failed expectation(s)\n", t.failures());
    }
    return t.failures();
}

}  // namespace vraxsim
