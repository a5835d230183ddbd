#include "scenario.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "chart.h"
#include "core/faults.h"
#include "core/scheduler.h"
#include "framedecode/frame_decoder.h"
#include "io/device_objects.h"
#include "kernel/object_manager.h"
#include "kclient/kclient.h"
#include "kernel/strings.h"
#include "machine/machine.h"
#include "modem/modem.h"
#include "pnp/pnp_manager.h"
#include "programs/clients.h"
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
    process->run([&result] { result.opened = programs::open_and_close(result.error); });
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
    return ControlDevice != nullptr && VraxInterfaceEnabled(GetVraxDeviceContext(ControlDevice));
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

void report_open(transcript& t, const std::string& who, const open_result& r) {
    if (r.opened) {
        t.line(who + ": CreateFileW(\\\\.\\VRAX) succeeded");
    } else {
        t.line(who + ": CreateFileW(\\\\.\\VRAX) failed, GetLastError() = " +
               sim::win32_error_name(r.error));
    }
}

// ---- The modem, its frames and the version table ----------------------------------------------

// Services 1, 2 and 3 with ids 1..8, except service 3, which has one id (9) to hand out, so a
// second request for it is refused with error 31.
modem::config modem_config() {
    modem::config c;
    c.services[2].pool = {9};
    c.services[2].limit = 1;
    return c;
}

// The frames and channel events the modem logged since `shown`, one decoded line each.
void print_frames(transcript& t, const modem::emulator& mdm, std::size_t& shown) {
    const auto log = mdm.log();
    for (; shown < log.size(); ++shown) {
        const modem::log_entry& e = log[shown];
        t.line("frame " + modem::format(e));
        if (e.dir == modem::log_entry::direction::to_driver &&
            e.decoded.find("msg=0x0021") != std::string::npos &&
            e.decoded.find("ctl type=1") != std::string::npos) {
            t.detail("(the second list of version words follows TLV 0x10 as raw bytes, which a");
            t.detail(" TLV reader shows as a cut TLV; the driver reads it as a list)");
        }
    }
}

std::string hex16(std::uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", v);
    return text;
}

std::string words_text(const USHORT* w) {
    return hex16(w[0]) + " " + hex16(w[1]) + " " + hex16(w[2]) + " " + hex16(w[3]);
}

// One entry of the service version table, copied under the lock the port's thread stores a
// table under.
VRAX_SERVICE_VERSION version_of(unsigned port, unsigned service) {
    WdfWaitLockAcquire(ClientSessionsLock, nullptr);
    const VRAX_SERVICE_VERSION v = ServiceVersionTable[port][service];
    WdfWaitLockRelease(ClientSessionsLock);
    return v;
}

// Port `port`'s row of the service version table, for the services the modem lists.
void print_versions(transcript& t, unsigned port) {
    for (unsigned s = 0; s <= 3; ++s) {
        t.line("version table port " + std::to_string(port) + ", service " + std::to_string(s) +
               ": " + words_text(version_of(port, s).Words));
    }
}

// A service message as it travels after the frame header, framed for `service` and
// `client` so the modem's codec and the frame decoder can read it.
modem::bytes framed(std::uint8_t service, std::uint8_t client, const std::vector<UCHAR>& message) {
    modem::bytes f{modem::interface_type, 0, 0, 0, service, client};
    f.insert(f.end(), message.begin(), message.end());
    f[1] = static_cast<std::uint8_t>((f.size() - 1) & 0xFF);
    f[2] = static_cast<std::uint8_t>((f.size() - 1) >> 8);
    return f;
}

// The decoder's text of a message without its frame header.
std::string message_text(std::uint8_t service, std::uint8_t client,
                         const std::vector<UCHAR>& message) {
    std::string text = framedecode::decode_frame(framed(service, client, message));
    auto bar = text.find(" | ");
    return bar == std::string::npos ? text : text.substr(bar + 3);
}

// "result 0" or "result 1, error 31 (no client id left)" from a message's result TLV.
std::string result_text(const modem::message& m) {
    const modem::tlv* r = modem::find_tlv(m, modem::result_tlv);
    if (r == nullptr || r->value.size() < 4) {
        return "no result TLV";
    }
    const std::uint16_t result = modem::get_u16(r->value, 0);
    const std::uint16_t error = modem::get_u16(r->value, 2);
    if (result == 0) {
        return "result 0 (success)";
    }
    return "result " + std::to_string(result) + ", error " + std::to_string(error) +
           (error == modem::error_no_client_ids ? " (no client id left)" : "");
}

// ---- The kernel-mode client -------------------------------------------------------------------

// A control-service request for a client id of `service`: control header (type 0, any
// transaction id, message 0x22, TLV length 4) and TLV 0x01 = {service}.
std::vector<UCHAR> client_id_request(std::uint8_t service) {
    return {0x00, 0x00, 0x22, 0x00, 0x04, 0x00, 0x01, 0x01, 0x00, service};
}

std::string routine_result(LONG r) {
    return std::to_string(r) + (r == 0 ? " (success)" : " (failure)");
}

// Waits until the kernel client's callback has been called `count` times in all.
bool wait_for_callbacks(std::size_t count) {
    return wait_until([count] { return kclient::received().size() >= count; }, 5000);
}

// The client id a control answer grants (TLV 0x01 = {service, id}), or nothing.
std::optional<std::uint8_t> granted_id(const kclient::received_message& c, std::string& result) {
    auto d = modem::decode(framed(static_cast<std::uint8_t>(c.service),
                                  static_cast<std::uint8_t>(c.client_id), c.message));
    if (!d.msg) {
        result = "unreadable: " + d.problem;
        return std::nullopt;
    }
    result = result_text(*d.msg);
    const modem::tlv* r = modem::find_tlv(*d.msg, modem::result_tlv);
    const modem::tlv* id = modem::find_tlv(*d.msg, 0x01);
    if (r == nullptr || r->value.size() < 4 || modem::get_u16(r->value, 0) != 0 || id == nullptr ||
        id->value.size() < 2) {
        return std::nullopt;
    }
    return id->value[1];
}

// ---- The story's state ------------------------------------------------------------------------

io::token_kind token_of(account a) {
    switch (a) {
        case account::user:
            return io::token_kind::user;
        case account::local_system:
            return io::token_kind::local_system;
        case account::administrator:
            break;
    }
    return io::token_kind::administrator;
}

const char* account_text(account a) {
    switch (a) {
        case account::user:
            return "an ordinary user";
        case account::local_system:
            return "LocalSystem";
        case account::administrator:
            break;
    }
    return "an administrator";
}

// Win32 error names, with the few the machine's table does not carry.
std::string error_text(DWORD code) {
    switch (code) {
        case ERROR_BAD_COMMAND:
            return "22 ERROR_BAD_COMMAND";
        case ERROR_BUSY:
            return "170 ERROR_BUSY";
        case ERROR_IO_INCOMPLETE:
            return "996 ERROR_IO_INCOMPLETE";
        default:
            return sim::win32_error_name(code);
    }
}

// A program's calls as the account keeps them: the program writes through its call_log (a
// sink and a clock), the account reads snapshots while the program may still run.
class recorded_log {
  public:
    recorded_log()
        : log_(
              [this](win32_call c) {
                  std::lock_guard g(lock_);
                  calls_.push_back(std::move(c));
              },
              &modem::next_order) {}
    recorded_log(const recorded_log&) = delete;
    recorded_log& operator=(const recorded_log&) = delete;

    call_log& log() { return log_; }
    std::vector<win32_call> snapshot() const {
        std::lock_guard g(lock_);
        return calls_;
    }

  private:
    mutable std::mutex lock_;
    std::vector<win32_call> calls_;
    call_log log_;
};

// What one run holds: the machine, the modem once it is there, what has been printed so
// far, each program's call log and the chart's own events.
struct story {
    story(const scenario_options& o, transcript& tr, int sections)
        : options(o), t(tr), m(machine_options(o)), total_sections(sections) {}

    static sim::machine_options machine_options(const scenario_options& o) {
        sim::machine_options mo;
        mo.wall_clock = o.wall_clock;
        return mo;
    }

    // Starts a section: on the transcript, as a band on the chart, and, in a long
    // scenario, with a line saying how far the run has come.
    void section(const std::string& title) {
        const int n = t.section_number() + 1;
        chart_events.push_back(
            {modem::next_order(), "", "", std::to_string(n) + ". " + title, chart::style::section});
        t.section(title);
        if (total_sections >= 10) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "(progress: section %d of %d, machine time %.3f s, %zu frames so far)", n,
                          total_sections,
                          static_cast<double>(scheduler::get().now()) /
                              static_cast<double>(platform::ticks_per_ms * 1000),
                          frame_count());
            t.line(text);
        }
    }
    std::size_t frame_count() const {
        std::size_t n = 0;
        for (const auto& e : mdm ? mdm->log() : std::vector<modem::log_entry>{}) {
            n += e.dir != modem::log_entry::direction::event ? 1 : 0;
        }
        return n;
    }
    // Every program's calls: from the live logs, or from what was kept of them once the
    // logs were closed before the final check.
    std::vector<std::pair<std::string, std::vector<win32_call>>> all_calls() const {
        if (logs.empty()) {
            return kept_calls;
        }
        std::vector<std::pair<std::string, std::vector<win32_call>>> out;
        for (const auto& [name, log] : logs) {
            out.emplace_back(name, log->snapshot());
        }
        return out;
    }
    // Keeps every log's calls and closes the logs: their locks are Win32 events of the host
    // process, which must be gone before the final check counts objects.
    void close_logs() {
        kept_calls = all_calls();
        logs.clear();
    }
    void note(const std::string& lane, const std::string& label) {
        chart_events.push_back({modem::next_order(), lane, "", label, chart::style::note});
    }
    void arrow(const std::string& from, const std::string& to, const std::string& label,
               chart::style kind) {
        chart_events.push_back({modem::next_order(), from, to, label, kind});
    }
    // The call log of program `name`, created on first use with the shared order clock.
    recorded_log& log_for(const std::string& name) {
        for (auto& [n, l] : logs) {
            if (n == name) {
                return *l;
            }
        }
        logs.emplace_back(name, std::make_unique<recorded_log>());
        return *logs.back().second;
    }
    std::shared_ptr<win32::process> start_program(const std::string& name) {
        return win32::process::create(token_of(options.programs), name);
    }
    bool programs_may_open() const { return options.programs != account::user; }
    bool fault(const char* name) const { return options.fault == name; }

    const scenario_options& options;
    transcript& t;
    sim::machine m;
    int total_sections;
    std::unique_ptr<modem::emulator> mdm;
    std::size_t printed = 0;
    std::size_t frames_shown = 0;
    std::size_t opens_seen = 0;
    std::size_t callbacks_seen = 0;
    sim::installed_driver* kc = nullptr;
    std::vector<chart::event> chart_events;
    std::vector<std::pair<std::string, std::unique_ptr<recorded_log>>> logs;
    std::vector<std::pair<std::string, std::vector<win32_call>>> kept_calls;
    // The program that waits for the named event the driver sets at shutdown.
    std::shared_ptr<win32::process> watcher;
    std::atomic<bool> watcher_registered{false};
};

void trace(story& s) {
    print_trace(s.t, s.m, s.printed);
}

void frames(story& s) {
    print_frames(s.t, *s.mdm, s.frames_shown);
}

// A program's first call is its open: as the account allows, it succeeds, or the security
// descriptor refuses it. False when the program got no handle (its section ends there).
bool opened_as_the_account_allows(story& s, const recorded_log& log, const std::string& who) {
    const auto calls = log.snapshot();
    const win32_call* open = nullptr;
    for (const auto& c : calls) {
        if (open == nullptr && c.what.rfind("CreateFileW", 0) == 0) {
            open = &c;
        }
    }
    const bool opened = open != nullptr && open->ok;
    if (s.programs_may_open()) {
        s.t.expect(opened, who + " opens \\\\.\\VRAX as " + account_text(s.options.programs));
    } else {
        s.t.expect(!opened && open != nullptr && open->error == ERROR_ACCESS_DENIED,
                   who + " runs as an ordinary user: the security descriptor refuses the open");
    }
    return opened;
}

// The callback's calls from the last one printed on, one line each with the message decoded.
void print_callbacks(story& s) {
    const auto calls = kclient::received();
    for (; s.callbacks_seen < calls.size(); ++s.callbacks_seen) {
        const auto& c = calls[s.callbacks_seen];
        s.t.line("kernel client: receive callback (port " + std::to_string(c.port) + ", service " +
                 std::to_string(c.service) + ", client " + std::to_string(c.client_id) + ", " +
                 std::to_string(c.message.size()) + " bytes, IRQL " + std::to_string(c.irql) + ")");
        const std::string text = message_text(static_cast<std::uint8_t>(c.service),
                                              static_cast<std::uint8_t>(c.client_id), c.message);
        s.t.detail(text);
        s.arrow("VRAX", "vraxkc", "receive callback: " + text, chart::style::result);
    }
}

// ---- The chart ----------------------------------------------------------------------------------

// "ctl request 0x0022 txn 5" or "svc 1 cid 1 type 2 msg 0x0010" from a frame's bytes.
std::string frame_label(const modem::log_entry& e) {
    const auto& f = e.frame;
    if (f.size() < 6) {
        return std::to_string(f.size()) + " bytes, shorter than a frame header";
    }
    char text[96];
    if (f[4] == 0 && f.size() >= 10) {
        static const char* kinds[] = {"request", "response", "indication"};
        std::snprintf(text, sizeof text, "ctl %s 0x%04x txn %u", f[6] <= 2 ? kinds[f[6]] : "type ?",
                      f[8] | (f[9] << 8), f[7]);
    } else if (f.size() >= 11) {
        std::snprintf(text, sizeof text, "svc %u cid %u type %u msg 0x%04x", f[4], f[5], f[6],
                      f[9] | (f[10] << 8));
    } else {
        std::snprintf(text, sizeof text, "svc %u cid %u, %zu bytes", f[4], f[5], f.size());
    }
    std::string label = text;
    if (!e.note.empty()) {
        label += ": " + e.note;
    }
    return label;
}

// The result of a call as the chart shows it.
std::string result_label(const win32_call& c) {
    if (c.what.rfind("WaitForSingleObject", 0) == 0) {
        return c.transferred == WAIT_OBJECT_0  ? "WAIT_OBJECT_0: the event is set"
               : c.transferred == WAIT_TIMEOUT ? "WAIT_TIMEOUT"
                                               : "WAIT_FAILED, " + error_text(c.error);
    }
    if (!c.ok) {
        return "FALSE, " + error_text(c.error);
    }
    const bool counted = c.what.rfind("DeviceIoControl", 0) == 0 ||
                         c.what.rfind("ReadFile", 0) == 0 || c.what.rfind("WriteFile", 0) == 0;
    if (!counted) {
        return "TRUE";
    }
    return "TRUE, " + std::to_string(c.transferred) + (c.transferred == 1 ? " byte" : " bytes");
}

// Lanes in order: the programs as they first called, the kernel client, the driver, the modem.
void write_chart(story& s) {
    std::vector<std::string> lanes;
    std::vector<chart::event> events = s.chart_events;
    for (const auto& [name, calls] : s.all_calls()) {
        if (calls.empty()) {
            continue;
        }
        lanes.push_back(name);
        for (const auto& c : calls) {
            const bool local = c.what.rfind("CreateEventW", 0) == 0 ||
                               c.what.rfind("CloseHandle(event)", 0) == 0 ||
                               c.what.rfind("GetOverlappedResult", 0) == 0;
            if (local) {
                events.push_back(
                    {c.started, name, "", c.what + " -> " + result_label(c), chart::style::note});
                continue;
            }
            if (c.what.rfind("WaitForSingleObject", 0) == 0) {
                events.push_back({c.started, name, "", c.what, chart::style::note});
                events.push_back({c.finished, "VRAX", name, result_label(c),
                                  c.ok ? chart::style::result : chart::style::failed});
                continue;
            }
            events.push_back({c.started, name, "VRAX", c.what, chart::style::call});
            events.push_back({c.finished, "VRAX", name, result_label(c),
                              c.ok ? chart::style::result : chart::style::failed});
        }
    }
    if (s.kc != nullptr) {
        lanes.push_back("vraxkc");
    }
    lanes.push_back("VRAX");
    lanes.push_back("modem");
    if (s.mdm) {
        for (const auto& e : s.mdm->log()) {
            switch (e.dir) {
                case modem::log_entry::direction::from_driver:
                    events.push_back(
                        {e.order, "VRAX", "modem", frame_label(e), chart::style::frame});
                    break;
                case modem::log_entry::direction::to_driver:
                    events.push_back(
                        {e.order, "modem", "VRAX", frame_label(e), chart::style::frame});
                    break;
                case modem::log_entry::direction::event:
                    events.push_back({e.order, "modem", "", e.note, chart::style::note});
                    break;
            }
        }
    }
    const std::string svg = chart::render(lanes, events);
    std::ofstream out(s.options.chart, std::ios::binary | std::ios::trunc);
    out << svg;
    out.close();
    s.t.expect(out.good(), "sequence chart written to " + s.options.chart + " (" +
                               std::to_string(lanes.size()) + " lanes, " +
                               std::to_string(svg.size()) + " bytes)");
}
// The kernel client driver installed beside VRAX: the interface, client ids (one refused),
// a request and its answer, an indication, and a broadcast it does not see.
void kernel_client_sections(story& s) {
    transcript& t = s.t;
    sim::machine& m = s.m;
    modem::emulator& mdm = *s.mdm;
    s.section("A kernel-mode client driver gets VRAX's interface without opening the device");
    kclient::clear_received();
    s.callbacks_seen = 0;
    auto& kc = m.host().install(kclient::package());
    s.kc = &kc;
    NTSTATUS status = kc.boot();
    t.line("vraxkc: DriverEntry, AddDevice, start -> " + sim::status_name(status));
    status = kclient::connect(m.control_device_object());
    t.line(
        "vraxkc: IRP_MN_QUERY_INTERFACE for GUID_VRAX_KERNEL_INTERFACE, sent to VRAX's stack "
        "-> " +
        sim::status_name(status));
    auto iface = kclient::interface();
    if (iface) {
        t.detail("size " + std::to_string(iface->InterfaceHeader.Size) + ", version " +
                 std::to_string(iface->InterfaceHeader.Version) +
                 "; four routines: register, deregister, send control, send message");
    }
    t.expect(NT_SUCCESS(status) && iface.has_value(), "the kernel client holds the interface");
    s.arrow("vraxkc", "VRAX", "IRP_MN_QUERY_INTERFACE -> " + sim::status_name(status),
            chart::style::call);
    s.arrow("vraxkc", "VRAX", "KernelClientRegister(receive callback)", chart::style::call);
    LONG r = kclient::register_client();
    t.line("vraxkc: KernelClientRegister(its receive callback) -> " + routine_result(r));
    t.detail("its key comes from the same counter as the sessions' keys");
    t.expect(r == 0, "the kernel client is registered");
    trace(s);

    s.section("The kernel client asks for client ids of service 3: one granted, one refused");
    s.arrow("vraxkc", "VRAX", "KernelClientSendControl(client id, service 3)", chart::style::call);
    r = kclient::send_control(0, client_id_request(3));
    t.line("vraxkc: KernelClientSendControl(port 0, client id request 0x22 for service 3) -> " +
           routine_result(r));
    std::optional<std::uint8_t> id;
    if (wait_for_callbacks(1)) {
        std::string result;
        id = granted_id(kclient::received()[0], result);
        print_callbacks(s);
        t.line(id ? "kernel client: client id " + std::to_string(*id) + " granted for service 3 (" +
                        result + ")"
                  : "kernel client: no client id (" + result + ")");
    }
    t.detail("the response reaches the callback renumbered: byte 1 is the client's own count");
    t.expect(id == std::uint8_t{9}, "the kernel client holds client id 9 of service 3");
    s.arrow("vraxkc", "VRAX", "KernelClientSendControl(another client id, service 3)",
            chart::style::call);
    r = kclient::send_control(0, client_id_request(3));
    t.line("vraxkc: KernelClientSendControl(port 0, a second client id request for service 3) -> " +
           routine_result(r));
    bool refused = false;
    if (wait_for_callbacks(2)) {
        std::string result;
        refused = !granted_id(kclient::received()[1], result);
        print_callbacks(s);
        t.line("kernel client: second client id for service 3 refused: " + result);
        refused = refused && result.find("error 31") != std::string::npos;
    }
    t.expect(refused, "the modem's pool is empty: the second request is refused with error 31");
    frames(s);
    trace(s);

    s.section("The kernel client sends a request on its client id and gets the answer");
    const std::uint8_t cid = id.value_or(9);
    s.arrow("vraxkc", "VRAX",
            "KernelClientSendMessage(service 3, client " + std::to_string(cid) + ")",
            chart::style::call);
    r = kclient::send_message(0, 3, cid, service_request({0xC0, 0xFF, 0xEE}));
    t.line("vraxkc: KernelClientSendMessage(port 0, service 3, client " + std::to_string(cid) +
           ", request 0x0010) -> " + routine_result(r));
    const bool answered = wait_for_callbacks(3);
    print_callbacks(s);
    t.expect(r == 0 && answered && kclient::received()[2].message.size() > 0 &&
                 kclient::received()[2].message[0] == 2,
             "the answer (message type 2) reaches the client's callback");
    status = mdm.indicate(3, cid, 0x0030, {{0x01, {0x42}}});
    t.line("modem: indication 0x0030 to service 3, client " + std::to_string(cid) + " -> " +
           sim::status_name(status));
    t.expect(wait_for_callbacks(4), "the indication for its client id reaches the callback");
    print_callbacks(s);
    status = mdm.indicate(3, modem::broadcast_client, 0x0031);
    t.line("modem: broadcast 0x0031 to every client of service 3 -> " + sim::status_name(status));
    settle_ms(100);
    t.expect(kclient::received().size() == 4,
             "a broadcast goes to the sessions bound to the service, not to kernel clients");
    t.detail("the kernel client's callback sees the frames for the ids it owns and the answers to");
    t.detail("its control requests; no session is bound to service 3, so nobody takes it");
    frames(s);
    trace(s);
}

// ---- User-mode programs -----------------------------------------------------------------------

// ---- Boot, accounts, Plug and Play, power -------------------------------------------------------

void boot_sections(story& s) {
    transcript& t = s.t;
    s.section("The machine boots: Windows 10.0, VRAX installed as a root-enumerated device");
    NTSTATUS status = s.m.load_driver();
    t.line("DriverEntry -> " + sim::status_name(status));
    status = s.m.add_device();
    t.line("AddDevice (the framework's device-add callback) -> " + sim::status_name(status));
    status = s.m.start_device();
    t.line("start (prepare hardware, working-state entry) -> " + sim::status_name(status));
    s.note("VRAX", "DriverEntry, AddDevice, start -> " + sim::status_name(status));
    t.expect(NT_SUCCESS(status) && s.m.running(), "the driver is loaded and its device started");

    s.section("What the driver built");
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

    s.section("The driver's trace so far (level verbose, flag TRACE_VRAX)");
    trace(s);
}

void account_section(story& s) {
    transcript& t = s.t;
    s.section("Programs open the device");
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
    s.note("VRAX", "opens refused: user 5 (security), administrator and LocalSystem 632");
    trace(s);
}

void pnp_power_sections(story& s) {
    transcript& t = s.t;
    s.section("Plug and Play: the device refuses to be stopped or removed on request");
    NTSTATUS status = s.m.query_stop();
    t.line("query-stop -> " + sim::status_name(status));
    t.expect(!NT_SUCCESS(status), "query-stop is refused");
    status = s.m.query_remove();
    t.line("query-remove -> " + sim::status_name(status));
    t.expect(!NT_SUCCESS(status), "query-remove is refused");
    t.expect(NT_SUCCESS(ob::lookup(u"\\Device\\VRAX").status), "the device stays");
    s.note("VRAX", "query-stop, query-remove -> refused");

    s.section("Power: sleep and resume");
    status = s.m.sleep();
    t.line("sleep -> " + sim::status_name(status) +
           "; working-state exit (target D3) purges "
           "the queue");
    ULONG state = client_queue_state();
    t.line("default queue: " + queue_state_text(state));
    t.expect((state & WdfIoQueueAcceptRequests) == 0, "the purged queue refuses requests");
    status = s.m.resume();
    t.line("resume -> " + sim::status_name(status) + "; working-state entry starts it again");
    state = client_queue_state();
    t.line("default queue: " + queue_state_text(state));
    t.expect((state & WdfIoQueueAcceptRequests) != 0, "the queue accepts requests again");
    s.note("VRAX", "sleep (D3) and resume (D0)");
    trace(s);
}

// ---- Port 0
// ---------------------------------------------------------------------------------------

void port_sections(story& s) {
    transcript& t = s.t;
    s.section("The SMD channel driver arrives; the modem emulator answers on port 0");
    far_end::reset();  // the far end is process-wide: nothing left from an earlier machine
    s.mdm = std::make_unique<modem::emulator>(modem_config());
    s.mdm->start(0);
    t.line("modem: on port 0's far end, its end of the channel open; services 1, 2, 3, ids 1..8");
    t.detail("service 3 has a single client id (9) to hand out");
    frames(s);
    const smd::install_options smd_names;
    auto& smd_driver =
        s.m.host().install({smd_names.service, SmdDriverEntry, smd_names.hardware_id, {}, {}, {}});
    NTSTATUS status = smd_driver.boot();
    t.line("smd: DriverEntry, AddDevice, start -> " + sim::status_name(status));
    t.expect(NT_SUCCESS(status), "the SMD driver is loaded and its device started");
    auto smd_links = smd::interface_links();
    for (const auto& link : smd_links) {
        t.line("SMD interface enabled: " + utf8(link));
    }
    t.expect(smd_links.size() == 1, "one SMD interface, whose arrival VRAX is told about");
    s.note("VRAX", "SMD interface arrives: VRAX opens port 0");

    s.section("VRAX opens port 0: the open request, the open event, the notice, the service table");
    modem::emulator& mdm = *s.mdm;
    t.expect(wait_until([] { return !far_end::open_requests().empty(); }, 5000),
             "the SMD side receives an open request for port 0");
    report_open_requests(t, s.opens_seen);
    auto opens = far_end::open_requests();
    t.expect(!opens.empty() && names_of_port_zero(opens[0]) && opens[0].status == STATUS_SUCCESS,
             "port 0 is bound with the events VRAX_SMD_SHARED_EVENT_{READ,OPEN,CLOSE}_0");
    t.line(std::string("SMD side: channel 0 ") +
           (far_end::far_end_open(0) ? "open at both ends, its open event signalled"
                                     : "not open at the SMD end"));
    auto notice = mdm.wait_for_request(modem::control_service, modem::msg_port_open, 5000);
    if (notice) {
        t.line("SMD side: port 0 frame of " + std::to_string(notice->frame.size()) +
               " bytes: " + hex_bytes(notice->frame));
        t.detail(framedecode::decode_frame(notice->frame));
    }
    t.expect(notice.has_value(), "VRAX writes the port-open notice on port 0");
    t.expect(wait_until(interface_enabled, 5000),
             "the service thread sees the open event and enables VRAX's device interface");
    auto table = mdm.wait_for_request(modem::control_service, modem::msg_service_table, 5000);
    t.expect(table.has_value(), "the port-open work item asks the control service for its table");
    t.expect(wait_until([] { return version_of(0, 0).Words[0] != 0; }, 5000),
             "the answer fills port 0's row of the service version table");
    frames(s);
    print_versions(t, 0);
    for (const auto& link : platform::pnp::enabled_interfaces(GUID_DEVINTERFACE_VRAX)) {
        t.line("VRAX interface enabled: " + utf8(link));
    }
    auto admin_now = open_as(io::token_kind::administrator, "admin-app");
    report_open(t, "administrator", admin_now);
    t.detail("the interface check passes now that the modem channel is open");
    t.expect(admin_now.opened, "an administrator's open succeeds");
    trace(s);
}

void bad_frame_section(story& s) {
    transcript& t = s.t;
    s.section("A frame that does not parse reaches the demultiplexer and is dropped");
    const std::vector<std::uint8_t> incoming{0x01, 0x02, 0x00};
    NTSTATUS status = s.mdm->inject(incoming, "three bytes, shorter than a frame header");
    t.line("modem: queued a read of " + std::to_string(incoming.size()) + " bytes (" +
           hex_bytes(incoming) + ") -> " + sim::status_name(status));
    t.expect(wait_until([&s] { return traced(s.m, "demux: port 0 frame of 3 bytes"); }, 5000),
             "the service thread reads it and hands it to the demultiplexer");
    s.note("VRAX", "3-byte frame dropped by the demultiplexer");
    frames(s);
    trace(s);
}

// ---- User-mode programs -------------------------------------------------------------------------

std::string notification_text(const byte_vector& d) {
    if (d.size() != 8) {
        return std::to_string(d.size()) + " bytes, not a notification";
    }
    auto u32_at = [&d](std::size_t i) {
        return static_cast<std::uint32_t>(d[i] | (d[i + 1] << 8) | (d[i + 2] << 16) |
                                          (static_cast<std::uint32_t>(d[i + 3]) << 24));
    };
    const std::uint32_t state = u32_at(0);
    const std::uint32_t service = u32_at(4);
    return "port state " + std::to_string(state) +
           (state == 0   ? " (port ready)"
            : state == 1 ? " (port lost)"
                         : "") +
           ", service type " + std::to_string(service);
}

// A program's calls from `shown` on, one line each with its result, details decoded.
void print_calls(transcript& t, const std::string& who, const recorded_log& log, std::size_t& shown,
                 std::uint8_t service, std::uint8_t client) {
    const auto calls = log.snapshot();
    for (; shown < calls.size(); ++shown) {
        const win32_call& c = calls[shown];
        std::string text = who + ": " + c.what + " -> ";
        const bool counted = c.what.rfind("DeviceIoControl", 0) == 0 ||
                             c.what.rfind("ReadFile", 0) == 0 || c.what.rfind("WriteFile", 0) == 0;
        if (c.what.rfind("WaitForSingleObject", 0) == 0) {
            text += c.transferred == WAIT_OBJECT_0 ? "WAIT_OBJECT_0 (the event is signalled)"
                    : c.transferred == WAIT_TIMEOUT
                        ? "WAIT_TIMEOUT"
                        : "WAIT_FAILED, GetLastError() = " + error_text(c.error);
        } else if (c.ok) {
            text += "TRUE";
            if (counted) {
                text += ", " + std::to_string(c.transferred) +
                        (c.transferred == 1 ? " byte" : " bytes");
            }
        } else {
            text += "FALSE, GetLastError() = " + error_text(c.error);
        }
        t.line(text);
        if (!c.ok) {
            continue;
        }
        if (c.what.rfind("DeviceIoControl(IOCTL_VRAX_BIND_SERVICE", 0) == 0 && c.data.size() == 8) {
            USHORT w[4];
            for (int i = 0; i < 4; ++i) {
                w[i] = static_cast<USHORT>(c.data[2 * i] | (c.data[2 * i + 1] << 8));
            }
            t.detail("version words " + words_text(w));
        } else if (c.what.rfind("DeviceIoControl(IOCTL_VRAX_GET_CLIENT_ID", 0) == 0 &&
                   c.data.size() == 1) {
            t.detail(c.data[0] == 0xFF ? "client id 0xff: the modem had none left"
                                       : "client id " + std::to_string(c.data[0]));
        } else if (c.what.rfind("DeviceIoControl(IOCTL_VRAX_READ_NOTIFICATION", 0) == 0) {
            t.detail(notification_text(c.data));
        } else if (c.what.rfind("DeviceIoControl(IOCTL_VRAX_OPEN_EVENT", 0) == 0 &&
                   c.data.size() == 8) {
            t.detail("handle value " + hex_bytes(c.data) + " (little-endian)");
        } else if (c.what.rfind("ReadFile", 0) == 0) {
            t.detail(message_text(service, client, c.data));
        }
    }
}

// What client-a's client-id control yields under each fault, and why.
struct id_fault {
    const char* name;
    DWORD error;
    const char* why;
};
const id_fault id_faults[] = {
    {"no-answer", ERROR_SEM_TIMEOUT,
     "the modem never sends the answer: the work item's 5-second wait ends it with "
     "STATUS_IO_TIMEOUT"},
    {"refused-id", ERROR_NO_SYSTEM_RESOURCES,
     "the modem refuses with error 31: client id 0xff, completed with "
     "STATUS_INSUFFICIENT_RESOURCES"},
    {"port-loss-at-id", ERROR_OPERATION_ABORTED,
     "the modem closes the channel instead of answering: the port loss aborts the waiting "
     "control"},
    {"no-work-item", ERROR_NO_SYSTEM_RESOURCES,
     "WdfWorkItemCreate fails at the platform's fault point: the control completes with "
     "the framework's status at once"},
};

const id_fault* find_id_fault(const std::string& name) {
    for (const auto& f : id_faults) {
        if (name == f.name) {
            return &f;
        }
    }
    return nullptr;
}

// Sets up the fault that client-a's client-id control meets.
void inject_id_fault(story& s, const id_fault& f) {
    using kind = modem::misbehaviour::kind;
    s.t.line(std::string("fault ") + f.name + ": " + f.why);
    if (s.fault("no-answer")) {
        s.mdm->misbehave(modem::misbehaviour::on(kind::never_answer, modem::msg_client_id));
    } else if (s.fault("refused-id")) {
        auto rule = modem::misbehaviour::on(kind::error_result, modem::msg_client_id);
        rule.error_code = modem::error_no_client_ids;
        s.mdm->misbehave(rule);
    } else if (s.fault("port-loss-at-id")) {
        auto rule = modem::misbehaviour::on(kind::close_instead, modem::msg_client_id);
        rule.reopen_after_ms = 1000;
        s.mdm->misbehave(rule);
    } else if (s.fault("no-work-item")) {
        platform::faults::fail_nth("WdfWorkItemCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    }
}

// client-a binds to service 1, gets a client id, writes a request and reads the answer; in
// the full story it then waits in a read that section 14's broadcast completes.
struct client_a_run {
    std::shared_ptr<win32::process> process;
    std::atomic<bool> waiting{false};
    std::size_t shown = 0;
};

// The client id a program was granted, as its call log shows it: what its first successful
// client-id control returned (0 for an empty answer), -1 when none succeeded.
int granted_client_id(const recorded_log& log) {
    for (const auto& c : log.snapshot()) {
        if (c.ok && c.what.rfind("DeviceIoControl(IOCTL_VRAX_GET_CLIENT_ID", 0) == 0) {
            return c.data.empty() ? 0 : c.data[0];
        }
    }
    return -1;
}

void client_a_section(story& s, client_a_run& a, bool wait_for_broadcast) {
    transcript& t = s.t;
    s.section("A program binds to service 1, gets a client id, writes a request, reads the answer");
    recorded_log& log = s.log_for("client-a");
    const id_fault* fault = find_id_fault(s.options.fault);
    if (fault != nullptr) {
        inject_id_fault(s, *fault);
    }
    a.process = s.start_program("client-a");
    a.process->run([&a, &log, wait_for_broadcast] {
        programs::client_a(log.log(), wait_for_broadcast, [&a] { a.waiting = true; });
    });
    if (wait_for_broadcast) {
        t.expect(wait_until([&] { return a.waiting.load() || a.process->exited(); }, 20000),
                 "client-a is done with its request and waits in another read");
    } else {
        a.process->wait();
    }
    const int id = granted_client_id(log);
    const auto client = static_cast<std::uint8_t>(id < 0 ? 0 : id);
    print_calls(t, "client-a", log, a.shown, 1, client);
    if (!opened_as_the_account_allows(s, log, "client-a")) {
        return;
    }
    const auto calls = log.snapshot();
    if (fault != nullptr) {
        t.expect(calls.size() >= 3 && !calls[2].ok && calls[2].error == fault->error,
                 std::string("client-a's client-id control fails with ") +
                     error_text(fault->error) + ", as the fault makes it");
        if (s.fault("port-loss-at-id")) {
            t.expect(wait_until([] { return interface_enabled(); }, 10000),
                     "the modem opens its end again and the port comes back");
            report_open_requests(t, s.opens_seen);
        }
    } else {
        t.expect(calls.size() >= 5 && calls[2].ok && calls[2].data == byte_vector{1},
                 "client-a binds, gets client id 1, writes and reads its answer");
        t.expect(calls.size() >= 5 && calls[4].ok && !calls[4].data.empty() &&
                     calls[4].data[0] == 2 && calls[4].data[1] == 0x01 && calls[4].data[2] == 0x01,
                 "the answer is message type 2 with the request's transaction id 0x0101");
        t.detail(
            "a message of type 2 read by the session releases one of its 15 outstanding writes");
    }
    if (!wait_for_broadcast && fault == nullptr) {
        t.expect(wait_until([&s] { return s.mdm->granted(1).empty(); }, 10000),
                 "client-a has exited: its session released client id 1 and the modem confirmed");
    }
    frames(s);
    trace(s);
}

void client_b_section(story& s, client_a_run& a) {
    transcript& t = s.t;
    s.section("A second program on service 1, and a broadcast to every session of the service");
    recorded_log& log_a = s.log_for("client-a");
    recorded_log& log_b = s.log_for("client-b");
    std::atomic<bool> b_waiting{false};
    auto b = s.start_program("client-b");
    b->run([&log_b, &b_waiting] {
        programs::client_b(log_b.log(), [&b_waiting] { b_waiting = true; });
    });
    t.expect(wait_until([&] { return b_waiting.load() || b->exited(); }, 20000),
             "client-b is bound (no client id) and waits in a read");
    std::size_t b_shown = 0;
    print_calls(t, "client-b", log_b, b_shown, 1, modem::broadcast_client);
    const bool b_open = opened_as_the_account_allows(s, log_b, "client-b");
    const auto b_calls = log_b.snapshot();
    if (b_open) {
        t.expect(
            b_calls.size() >= 2 && !b_calls[1].ok && b_calls[1].error == ERROR_INVALID_PARAMETER,
            "a bind to service type 255 is refused before the version table is read");
    }
    NTSTATUS status = s.mdm->indicate(1, modem::broadcast_client, 0x0031, {{0x01, {0x07}}});
    t.line("modem: broadcast 0x0031 to every client of service 1 -> " + sim::status_name(status));
    a.process->wait();
    b->wait();
    print_calls(t, "client-a", log_a, a.shown, 1, modem::broadcast_client);
    print_calls(t, "client-b", log_b, b_shown, 1, modem::broadcast_client);
    if (!b_open) {
        return;
    }
    auto read_ok = [](const recorded_log& l, std::size_t index) {
        auto c = l.snapshot();
        return c.size() > index && c[index].ok && c[index].data.size() > 3 &&
               c[index].data[0] == 4 && c[index].data[3] == 0x31;
    };
    // client-a's waiting read is its sixth call, or its fourth when it got no client id.
    const std::size_t a_read = s.options.fault.empty() ? 5 : 3;
    t.expect(read_ok(log_a, a_read) && read_ok(log_b, 3),
             "both sessions' waiting reads get the broadcast (type 4, message 0x0031)");
    t.detail("each program exits: its handle's clean-up and close end the session; client-a's");
    t.detail("session held client id 1, so the driver releases it and the modem confirms; each");
    t.detail("bind also stored a port-ready notification (service 1's word 2 is not 0) that no");
    t.detail("one read, freed with the session");
    if (s.fault("no-answer")) {
        // The answer was lost, not the grant: the modem holds an id the driver never learned.
        t.expect(s.mdm->granted(1) == std::vector<std::uint8_t>{1},
                 "the modem still counts client id 1 as held: its grant never reached the driver");
    } else {
        t.expect(wait_until([&s] { return s.mdm->granted(1).empty(); }, 10000),
                 "the modem counts client id 1 of service 1 as released");
    }
    frames(s);
    trace(s);
}

// A program that wants to know when the ports go down: it creates a named event, has the
// driver register it, and waits on it until the shutdown section sets it.
void named_event_section(story& s) {
    transcript& t = s.t;
    s.section("A program registers a named event for the driver to set when the ports shut down");
    recorded_log& log = s.log_for("watcher");
    s.watcher = s.start_program("watcher");
    s.watcher->run([&s, &log] {
        programs::ports_down_watcher(log.log(), "VraxPortsDown",
                                     [&s] { s.watcher_registered = true; });
    });
    t.expect(wait_until([&s] { return s.watcher_registered.load() || s.watcher->exited(); }),
             "the watcher has registered its event and waits on it");
    std::size_t shown = 0;
    print_calls(t, "watcher", log, shown, 0, 0);
    if (!opened_as_the_account_allows(s, log, "watcher")) {
        return;
    }
    const auto calls = log.snapshot();
    t.expect(calls.size() >= 5 && calls[0].ok && calls[2].ok && calls[3].ok &&
                 calls[2].data.size() == 8 && calls[2].data == calls[3].data,
             "both registrations return the same handle value: one slot of the driver's table");
    t.detail("the program created Global\\VraxPortsDown (not signalled); the driver opened");
    t.detail("\\BaseNamedObjects\\VraxPortsDown, the same event, and keeps a reference to it in");
    t.detail("its table of 512; the program closed its handle of \\\\.\\VRAX and now waits on the");
    t.detail("event, which neither the session's end nor a port loss sets: only the shutdown");
    trace(s);
}

// ---- Port loss and recovery, seen by two bound sessions -----------------------------------------

// A program bound to `service` that reads port-state notifications: the one its bind stored,
// then each one the driver posts while it waits.
struct port_watcher {
    std::string name;
    std::uint32_t service = 0;
    std::shared_ptr<win32::process> process;
    std::atomic<int> waiting{0};  // notification reads started so far
    std::size_t shown = 0;
};

void start_port_watcher(story& s, port_watcher& w, int reads) {
    recorded_log& log = s.log_for(w.name);
    w.process = s.start_program(w.name);
    w.process->run([&w, &log, reads] {
        programs::port_state_reader(log.log(), w.service, reads, [&w] { ++w.waiting; });
    });
}

// The data of the n-th successful notification read in a program's log (0: the first).
std::optional<byte_vector> nth_notification(const recorded_log& log, std::size_t n) {
    for (const auto& c : log.snapshot()) {
        if (c.what == "DeviceIoControl(IOCTL_VRAX_READ_NOTIFICATION)" && c.ok) {
            if (n == 0) {
                return c.data;
            }
            --n;
        }
    }
    return std::nullopt;
}

byte_vector notification(std::uint32_t state, std::uint32_t service) {
    return {static_cast<std::uint8_t>(state), 0, 0, 0, static_cast<std::uint8_t>(service), 0, 0, 0};
}

void port_loss_sections(story& s) {
    transcript& t = s.t;
    modem::emulator& mdm = *s.mdm;
    s.section("Port loss: the modem closes the channel; the bound sessions are told, VRAX reopens");
    port_watcher w1;
    w1.name = "client-c";
    w1.service = 1;
    port_watcher w2;
    w2.name = "client-d";
    w2.service = 2;
    start_port_watcher(s, w1, 2);
    start_port_watcher(s, w2, 2);
    const bool may_open = s.programs_may_open();
    t.expect(wait_until([&] {
                 return (w1.waiting >= 1 || w1.process->exited()) &&
                        (w2.waiting >= 1 || w2.process->exited());
             }),
             "client-c (service 1) and client-d (service 2) wait in a notification read");
    for (port_watcher* w : {&w1, &w2}) {
        print_calls(t, w->name, s.log_for(w->name), w->shown, 0, 0);
        if (!opened_as_the_account_allows(s, s.log_for(w->name), w->name)) {
            continue;
        }
        t.expect(nth_notification(s.log_for(w->name), 0) == notification(0, w->service),
                 w->name + " first reads the port-ready notification its bind stored");
    }
    const std::size_t opens_before = far_end::open_requests().size();
    const std::size_t closes_before = far_end::close_requests().size();
    NTSTATUS status = mdm.close_channel();
    t.line("modem: channel 0 closed at its end (close event signalled) -> " +
           sim::status_name(status));
    t.expect(wait_until([&] { return far_end::close_requests().size() > closes_before; }, 5000),
             "VRAX answers with a close request");
    const auto closes = far_end::close_requests();
    for (std::size_t i = closes_before; i < closes.size(); ++i) {
        t.line("SMD side: IOCTL_SMD_CLOSE -> " + sim::status_name(closes[i].status) + ", port " +
               (closes[i].port ? std::to_string(*closes[i].port) : std::string("(unbound)")));
    }
    t.expect(wait_until([&] { return far_end::open_requests().size() > opens_before; }, 5000),
             "VRAX sends a new open request");
    report_open_requests(t, s.opens_seen);
    auto opens = far_end::open_requests();
    t.expect(opens.size() == opens_before + 1 && names_of_port_zero(opens.back()) &&
                 opens.back().status == STATUS_SUCCESS,
             "the re-open uses the same event names");
    t.expect(!interface_enabled(), "VRAX's interface is disabled until the modem opens again");
    t.expect(version_of(0, 0).Words[0] == 0 && version_of(0, 1).Words[0] == 0,
             "port 0's row of the service version table is cleared with the loss");
    if (may_open) {
        t.expect(wait_until([&] { return w1.waiting >= 2 && w2.waiting >= 2; }, 5000),
                 "both programs have their port-lost notification and wait in the next read");
    }
    for (port_watcher* w : {&w1, &w2}) {
        print_calls(t, w->name, s.log_for(w->name), w->shown, 0, 0);
        if (may_open) {
            t.expect(nth_notification(s.log_for(w->name), 1) == notification(1, w->service),
                     w->name + " reads port state 1 (port lost) with its service type " +
                         std::to_string(w->service));
        }
    }
    s.note("VRAX", "port lost: state 1 to every bound session");
    frames(s);
    trace(s);

    s.section(
        "Recovery: the modem opens again, the table comes back, the sessions hear port ready");
    status = mdm.open_channel();
    t.line("modem: channel 0 opened again -> " + sim::status_name(status));
    t.expect(mdm.wait_for_request(modem::control_service, modem::msg_port_open, 5000).has_value(),
             "VRAX sends the port-open notice again on the re-opened channel");
    t.line("modem: client ids it still counts as held on service 3: " +
           std::to_string(mdm.granted(3).size()) + " (the notice returned them to the pool)");
    t.expect(mdm.granted(3).empty(), "the notice returns every client id to the modem's pools");
    t.expect(
        mdm.wait_for_request(modem::control_service, modem::msg_service_table, 5000).has_value(),
        "the service table is asked for again");
    t.expect(wait_until([] { return version_of(0, 1).Words[0] != 0; }, 5000),
             "its answer fills the version table again");
    t.expect(wait_until(interface_enabled, 5000), "VRAX's interface is enabled again");
    w1.process->wait();
    w2.process->wait();
    for (port_watcher* w : {&w1, &w2}) {
        print_calls(t, w->name, s.log_for(w->name), w->shown, 0, 0);
        if (may_open) {
            t.expect(nth_notification(s.log_for(w->name), 2) == notification(0, w->service),
                     w->name + " reads port state 0 (port ready) once the table is back");
        }
    }
    s.note("VRAX", "port ready: state 0 to every bound session");
    frames(s);
    print_versions(t, 0);
    trace(s);
}

// ---- A cancelled client-id control ------------------------------------------------------------

void cancelled_section(story& s) {
    transcript& t = s.t;
    modem::emulator& mdm = *s.mdm;
    s.section("A program cancels its client-id control while the modem holds the answer");
    // Both client-id answers are held, so the second control's wait finds only the abort
    // set (an answer already there would win the wait: it is the first object waited on).
    auto late = modem::misbehaviour::on(modem::misbehaviour::kind::late, modem::msg_client_id);
    late.delay_ms = 2000;
    late.times = 2;
    mdm.misbehave(late);
    t.line("modem: the next two client-id answers go out 2 s after their requests");
    recorded_log& log = s.log_for("client-e");
    auto e = s.start_program("client-e");
    const std::size_t granted_before = mdm.granted(2).size();
    e->run([&log] { programs::cancelling_client(log.log()); });
    e->wait();
    std::size_t shown = 0;
    print_calls(t, "client-e", log, shown, 2, 0);
    if (!opened_as_the_account_allows(s, log, "client-e")) {
        return;
    }
    const auto calls = log.snapshot();
    // open, bind, CancelIoEx, the cancelled control, the second control, CloseHandle
    t.expect(calls.size() >= 5 && calls[2].ok && !calls[3].ok &&
                 calls[3].error == ERROR_OPERATION_ABORTED,
             "CancelIoEx ends the waiting control with ERROR_OPERATION_ABORTED (995)");
    bool sent_before_cancel = false;
    for (const auto& entry : mdm.log()) {
        if (entry.dir == modem::log_entry::direction::from_driver && entry.frame.size() > 9 &&
            entry.frame[4] == 0 && entry.frame[8] == modem::msg_client_id &&
            entry.order < calls[2].started) {
            sent_before_cancel = true;
        }
    }
    t.expect(sent_before_cancel,
             "the modem had the request (and held its answer) when it was cancelled");
    t.expect(calls.size() >= 5 && !calls[4].ok && calls[4].error == ERROR_OPERATION_ABORTED,
             "the session's next client-id control fails at once: its abort event stays set");
    // The late grants finish their transactions although the controls failed: the session
    // holds the id it heard last, and its clean-up gives that one back.
    auto released_an_id = [&mdm] {
        for (const auto& r : mdm.requests()) {
            const modem::tlv* which = r.msg && r.msg->message_id == modem::msg_release
                                          ? modem::find_tlv(*r.msg, 0x01)
                                          : nullptr;
            if (which != nullptr && which->value.size() == 2 && which->value[0] == 2) {
                return true;
            }
        }
        return false;
    };
    t.expect(wait_until(released_an_id, 5000),
             "the session kept the id granted last and its clean-up released it");
    t.line("modem: client ids it counts as held on service 2: " +
           std::to_string(mdm.granted(2).size() - granted_before));
    t.detail("both controls' work items sent their requests before their waits saw the abort,");
    t.detail("so the modem granted two ids to controls that had failed already; the session");
    t.detail("keeps the last one it is told of, so the other stays held until the port's next");
    t.detail("notice returns it");
    frames(s);
    trace(s);
}

// ---- Flow control -------------------------------------------------------------------------------

void flow_control_section(story& s) {
    transcript& t = s.t;
    modem::emulator& mdm = *s.mdm;
    s.section("Flow control: the 16th write waits until the session reads a message of type 2");
    auto silent = modem::misbehaviour::on(modem::misbehaviour::kind::never_answer, std::nullopt, 1);
    silent.times = 16;
    mdm.misbehave(silent);
    t.line("modem: the next 16 requests of service 1 get no answer");
    recorded_log& log = s.log_for("client-f");
    std::atomic<int> stage{0};
    auto f = s.start_program("client-f");
    f->run([&log, &stage] {
        programs::flow_control_client(
            log.log(), [&stage] { stage = 1; }, [&stage] { stage = 2; });
    });
    auto requests_of_service_1 = [&mdm] {
        std::size_t n = 0;
        for (const auto& r : mdm.requests()) {
            n += r.msg && r.msg->service_type == 1 ? 1 : 0;
        }
        return n;
    };
    // The far end hands the modem each frame the driver wrote on a thread of its own: what the
    // modem received is counted once that thread has caught up.
    auto requests_reach = [&](std::size_t n) {
        return wait_until([&] { return requests_of_service_1() >= n; }, 1000) &&
               requests_of_service_1() == n;
    };
    const std::size_t before = requests_of_service_1();
    const bool held = wait_until([&] { return stage.load() >= 1 || f->exited(); });
    // What its client-id control returned is in its log by now: the writes came after it.
    const int id = granted_client_id(log);
    std::size_t shown = 0;
    print_calls(t, "client-f", log, shown, 1, static_cast<std::uint8_t>(id));
    if (!opened_as_the_account_allows(s, log, "client-f")) {
        f->wait();
        return;
    }
    t.expect(held && requests_reach(before + 15),
             "15 writes went out and completed; the 16th is held in the session's backlog");
    NTSTATUS status = mdm.indicate(1, static_cast<std::uint8_t>(id), 0x0040);
    t.line("modem: indication 0x0040 (type 4) to client " + std::to_string(id) + " -> " +
           sim::status_name(status));
    t.expect(wait_until([&] { return stage.load() >= 2 || f->exited(); }), "client-f reads it");
    print_calls(t, "client-f", log, shown, 1, static_cast<std::uint8_t>(id));
    settle_ms(50);  // a 16th write released by mistake would reach the modem meanwhile
    t.expect(requests_of_service_1() == before + 15,
             "a message of type 4 releases nothing: the 16th write still waits");
    modem::message two;
    two.service_type = 1;
    two.client_id = static_cast<std::uint8_t>(id);
    two.message_type = 2;
    two.transaction_id = 1;
    two.message_id = 0x0010;
    two.tlvs = {{modem::result_tlv, modem::result_value(0, 0)}};
    status = mdm.send(two, {}, "a late answer to the first write");
    t.line("modem: an answer (type 2) to the first write -> " + sim::status_name(status));
    f->wait();
    print_calls(t, "client-f", log, shown, 1, static_cast<std::uint8_t>(id));
    const auto calls = log.snapshot();
    t.expect(requests_reach(before + 16) && !calls.empty() && calls.size() >= 2 &&
                 calls[calls.size() - 2].what == "WriteFile(11 bytes)" &&
                 calls[calls.size() - 2].ok,
             "reading the type-2 answer released the 16th write: it went out and completed");
    frames(s);
    trace(s);
}

// ---- Shutdown ---------------------------------------------------------------------------------

void shutdown_section(story& s) {
    transcript& t = s.t;
    s.section("Shutdown: removal, unload and the verifier's final check");
    if (s.kc != nullptr && s.kc->loaded()) {
        s.kc->take_down();
        t.line(
            "kernel client driver: removed and unloaded (it deregisters and gives the "
            "interface back first)");
    }
    if (s.mdm) {
        s.mdm->stop();
        t.line("modem: stopped (its frame hook removed, its timers dropped)");
    }
    const std::uint64_t removal = modem::next_order();
    // The device refuses query-remove, so it goes as its bus would take it: surprise removal,
    // then removal. The port shut-down on the way sets the registered named events.
    if (!NT_SUCCESS(s.m.remove_device())) {
        s.m.surprise_remove();
    }
    s.note("VRAX", "removed: ports shut down, registered named events set");
    if (s.watcher) {
        s.watcher->wait();
        recorded_log& log = s.log_for("watcher");
        std::size_t shown = 0;
        const auto calls = log.snapshot();
        // Only what the wait returned: the registration was shown in its own section.
        for (shown = 0; shown < calls.size(); ++shown) {
            if (calls[shown].what.rfind("WaitForSingleObject", 0) == 0) {
                break;
            }
        }
        print_calls(t, "watcher", log, shown, 0, 0);
        if (s.programs_may_open()) {
            bool signalled = false;
            for (const auto& c : calls) {
                signalled = signalled || (c.what.rfind("WaitForSingleObject", 0) == 0 &&
                                          c.transferred == WAIT_OBJECT_0 && c.finished > removal);
            }
            t.expect(signalled,
                     "the watcher's wait returns WAIT_OBJECT_0 during the removal: the driver set "
                     "its event");
        }
    }
    s.close_logs();
    auto report = s.m.shutdown();
    for (const auto& e : s.m.events()) {
        if (e.what == "remove device" || e.what == "surprise removal" ||
            e.what == "unload driver vrax") {
            t.line(e.what + " -> " + sim::status_name(e.status));
        }
    }
    for (const auto& e : s.m.host().events()) {
        if (e.what.rfind("smd: ", 0) == 0 && e.what.find("remove") != std::string::npos) {
            t.line(e.what + " -> " + sim::status_name(e.status));
        }
    }
    if (s.mdm) {
        t.expect(traced(s.m, "port 0: service thread ends") &&
                     traced(s.m, "ports stopped, wait forever"),
                 "the removal waits for port 0's service thread to end");
    }
    t.expect(!NT_SUCCESS(ob::lookup(u"\\Device\\VRAX").status), "\\Device\\VRAX is gone");
    for (const auto& line : report) {
        t.line("outstanding: " + line);
    }
    t.expect(report.empty(), "no pool, handles, references or devices left behind");
    s.note("VRAX", "unloaded; final check " + std::string(report.empty() ? "clean" : "FAILED"));
    trace(s);
    far_end::reset();
}

// ---- Scenarios ----------------------------------------------------------------------------------

enum class step {
    boot,           // 3 sections
    accounts,       // 1
    pnp_power,      // 2
    port,           // 2
    bad_frame,      // 1
    kernel_client,  // 3
    client_a,       // 1: client-a waits for the broadcast when client_b follows
    client_b,       // 1
    named_event,    // 1
    port_loss,      // 2
    cancelled,      // 1
    flow_control,   // 1
    shutdown,       // 1
};

int sections_of(step s) {
    switch (s) {
        case step::boot:
        case step::kernel_client:
            return 3;
        case step::pnp_power:
        case step::port:
        case step::port_loss:
            return 2;
        default:
            return 1;
    }
}

struct scenario_plan {
    const char* name;
    const char* what;
    std::vector<step> steps;
};

const std::vector<scenario_plan>& plans() {
    static const std::vector<scenario_plan> all = {
        {"full",
         "the whole story: boot, accounts, PnP and power, port 0 and its frames, a kernel "
         "client, programs with a broadcast, a named event, port loss and recovery, a "
         "cancelled client-id control, flow control, shutdown",
         {step::boot, step::accounts, step::pnp_power, step::port, step::bad_frame,
          step::kernel_client, step::client_a, step::client_b, step::named_event, step::port_loss,
          step::cancelled, step::flow_control, step::shutdown}},
        {"basic",
         "boot, port 0 opens, one program binds, gets a client id, writes and reads, shutdown",
         {step::boot, step::port, step::client_a, step::shutdown}},
        {"port-loss",
         "boot, port 0, a named event registered, port loss and recovery seen by two "
         "programs, the event set at shutdown",
         {step::boot, step::port, step::named_event, step::port_loss, step::shutdown}},
        {"flow-control",
         "boot, port 0, a cancelled client-id control, the 16th write held back, shutdown",
         {step::boot, step::port, step::cancelled, step::flow_control, step::shutdown}},
    };
    return all;
}

const scenario_plan* find_plan(const std::string& name) {
    for (const auto& p : plans()) {
        if (name == p.name) {
            return &p;
        }
    }
    return nullptr;
}

bool has_step(const scenario_plan& p, step s) {
    return std::find(p.steps.begin(), p.steps.end(), s) != p.steps.end();
}

}  // namespace

std::span<const choice> scenarios() {
    static const std::vector<choice> list = [] {
        std::vector<choice> l;
        for (const auto& p : plans()) {
            l.push_back({p.name, p.what});
        }
        return l;
    }();
    return list;
}

std::span<const choice> faults() {
    static const choice list[] = {
        {"no-answer",
         "the modem never answers client-a's client-id request (5 s, ERROR_SEM_TIMEOUT)"},
        {"refused-id",
         "the modem refuses client-a's client id with error 31 (ERROR_NO_SYSTEM_RESOURCES)"},
        {"port-loss-at-id",
         "the modem closes the channel instead of answering client-a's client-id request and "
         "opens it again 1 s later"},
        {"no-work-item",
         "platform fault point: WdfWorkItemCreate fails for client-a's client-id control"},
    };
    return list;
}

std::span<const choice> accounts() {
    static const choice list[] = {
        {"user", "an ordinary user: the device's security descriptor refuses the open"},
        {"administrator", "a member of Administrators (the default)"},
        {"LocalSystem", "the LocalSystem account (session 0)"},
    };
    return list;
}

bool parse_account(const std::string& name, account& out) {
    if (name == "user") {
        out = account::user;
    } else if (name == "administrator") {
        out = account::administrator;
    } else if (name == "LocalSystem") {
        out = account::local_system;
    } else {
        return false;
    }
    return true;
}

int run_scenario(const scenario_options& options, transcript* out) {
    transcript local(options.quiet ? nullptr : stdout);
    transcript& t = out != nullptr ? *out : local;
    const scenario_plan* plan = find_plan(options.scenario);
    if (plan == nullptr) {
        t.expect(false, "no scenario named \"" + options.scenario + "\"");
        return t.failures();
    }
    if (!options.fault.empty() &&
        (find_id_fault(options.fault) == nullptr || !has_step(*plan, step::client_a))) {
        t.expect(false, "fault \"" + options.fault + "\" does not apply to scenario " + plan->name +
                            " (the faults meet client-a's client-id control)");
        return t.failures();
    }
    int sections = 1;  // the summary
    for (step st : plan->steps) {
        sections += sections_of(st);
    }
    story s(options, t, sections);
    client_a_run a;
    for (step st : plan->steps) {
        switch (st) {
            case step::boot:
                boot_sections(s);
                break;
            case step::accounts:
                account_section(s);
                break;
            case step::pnp_power:
                pnp_power_sections(s);
                break;
            case step::port:
                port_sections(s);
                break;
            case step::bad_frame:
                bad_frame_section(s);
                break;
            case step::kernel_client:
                kernel_client_sections(s);
                break;
            case step::client_a:
                client_a_section(s, a, has_step(*plan, step::client_b));
                break;
            case step::client_b:
                client_b_section(s, a);
                break;
            case step::named_event:
                named_event_section(s);
                break;
            case step::port_loss:
                port_loss_sections(s);
                break;
            case step::cancelled:
                cancelled_section(s);
                break;
            case step::flow_control:
                flow_control_section(s);
                break;
            case step::shutdown:
                shutdown_section(s);
                break;
        }
    }
    platform::faults::clear();

    s.section("Summary");
    if (!options.chart.empty()) {
        write_chart(s);
    }
    t.line(t.failures() == 0 ? "every expectation held"
                             : std::to_string(t.failures()) + " expectation(s) failed");
    if (options.quiet && out == nullptr) {
        std::printf("vraxsim: %d failed expectation(s)\n", t.failures());
    }
    return t.failures();
}

}  // namespace vraxsim
