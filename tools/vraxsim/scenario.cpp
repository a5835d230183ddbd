#include "scenario.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/scheduler.h"
#include "framedecode/frame_decoder.h"
#include "io/device_objects.h"
#include "kernel/object_manager.h"
#include "kclient/kclient.h"
#include "kernel/strings.h"
#include "machine/machine.h"
#include "modem/modem.h"
#include "pnp/pnp_manager.h"
#include "programs.h"
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

// Port `port`'s row of the service version table, for the services the modem lists.
void print_versions(transcript& t, unsigned port) {
    for (unsigned s = 0; s <= 3; ++s) {
        t.line("version table port " + std::to_string(port) + ", service " + std::to_string(s) +
               ": " + words_text(ServiceVersionTable[port][s].Words));
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

// A service request: type 0, transaction id 0x0101, message 0x0010, TLV 0x01 = `value`.
std::vector<UCHAR> service_request(std::vector<UCHAR> value) {
    std::vector<UCHAR> m{0x00, 0x01, 0x01, 0x10, 0x00};
    const std::size_t tlv_length = 3 + value.size();
    m.push_back(static_cast<UCHAR>(tlv_length));
    m.push_back(static_cast<UCHAR>(tlv_length >> 8));
    m.push_back(0x01);
    m.push_back(static_cast<UCHAR>(value.size()));
    m.push_back(static_cast<UCHAR>(value.size() >> 8));
    m.insert(m.end(), value.begin(), value.end());
    return m;
}

std::string routine_result(LONG r) {
    return std::to_string(r) + (r == 0 ? " (success)" : " (failure)");
}

// Waits until the kernel client's callback has been called `count` times in all.
bool wait_for_callbacks(std::size_t count) {
    return wait_until([count] { return kclient::received().size() >= count; }, 5000);
}

// The callback's calls from `from` on, one line each with the message decoded.
void print_callbacks(transcript& t, std::size_t& from) {
    const auto calls = kclient::received();
    for (; from < calls.size(); ++from) {
        const auto& c = calls[from];
        t.line("kernel client: receive callback (port " + std::to_string(c.port) + ", service " +
               std::to_string(c.service) + ", client " + std::to_string(c.client_id) + ", " +
               std::to_string(c.message.size()) + " bytes, IRQL " + std::to_string(c.irql) + ")");
        t.detail(message_text(static_cast<std::uint8_t>(c.service),
                              static_cast<std::uint8_t>(c.client_id), c.message));
    }
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

// The kernel client driver installed beside VRAX: the interface, client ids (one refused),
// a request and its answer, an indication, and a broadcast it does not see.
sim::installed_driver* kernel_client_sections(transcript& t, sim::machine& m, modem::emulator& mdm,
                                              std::size_t& frames_shown, std::size_t& printed) {
    t.section("A kernel-mode client driver gets VRAX's interface without opening the device");
    kclient::clear_received();
    auto& kc = m.host().install(kclient::package());
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
    LONG r = kclient::register_client();
    t.line("vraxkc: KernelClientRegister(its receive callback) -> " + routine_result(r));
    t.detail("its key comes from the same counter as the sessions' keys");
    t.expect(r == 0, "the kernel client is registered");
    print_trace(t, m, printed);

    t.section("The kernel client asks for client ids of service 3: one granted, one refused");
    std::size_t seen = 0;
    r = kclient::send_control(0, client_id_request(3));
    t.line("vraxkc: KernelClientSendControl(port 0, client id request 0x22 for service 3) -> " +
           routine_result(r));
    std::optional<std::uint8_t> id;
    if (wait_for_callbacks(1)) {
        std::string result;
        id = granted_id(kclient::received()[0], result);
        print_callbacks(t, seen);
        t.line(id ? "kernel client: client id " + std::to_string(*id) + " granted for service 3 (" +
                        result + ")"
                  : "kernel client: no client id (" + result + ")");
    }
    t.detail("the response reaches the callback renumbered: byte 1 is the client's own count");
    t.expect(id == std::uint8_t{9}, "the kernel client holds client id 9 of service 3");
    r = kclient::send_control(0, client_id_request(3));
    t.line("vraxkc: KernelClientSendControl(port 0, a second client id request for service 3) -> " +
           routine_result(r));
    bool refused = false;
    if (wait_for_callbacks(2)) {
        std::string result;
        refused = !granted_id(kclient::received()[1], result);
        print_callbacks(t, seen);
        t.line("kernel client: second client id for service 3 refused: " + result);
        refused = refused && result.find("error 31") != std::string::npos;
    }
    t.expect(refused, "the modem's pool is empty: the second request is refused with error 31");
    print_frames(t, mdm, frames_shown);
    print_trace(t, m, printed);

    t.section("The kernel client sends a request on its client id and gets the answer");
    const std::uint8_t cid = id.value_or(9);
    r = kclient::send_message(0, 3, cid, service_request({0xC0, 0xFF, 0xEE}));
    t.line("vraxkc: KernelClientSendMessage(port 0, service 3, client " + std::to_string(cid) +
           ", request 0x0010) -> " + routine_result(r));
    const bool answered = wait_for_callbacks(3);
    print_callbacks(t, seen);
    t.expect(r == 0 && answered && kclient::received()[2].message.size() > 0 &&
                 kclient::received()[2].message[0] == 2,
             "the answer (message type 2) reaches the client's callback");
    status = mdm.indicate(3, cid, 0x0030, {{0x01, {0x42}}});
    t.line("modem: indication 0x0030 to service 3, client " + std::to_string(cid) + " -> " +
           sim::status_name(status));
    t.expect(wait_for_callbacks(4), "the indication for its client id reaches the callback");
    print_callbacks(t, seen);
    status = mdm.indicate(3, modem::broadcast_client, 0x0031);
    t.line("modem: broadcast 0x0031 to every client of service 3 -> " + sim::status_name(status));
    settle_ms(100);
    t.expect(kclient::received().size() == 4,
             "a broadcast goes to the sessions bound to the service, not to kernel clients");
    t.detail("the kernel client's callback sees the frames for the ids it owns and the answers to");
    t.detail("its control requests; no session is bound to service 3, so nobody takes it");
    print_frames(t, mdm, frames_shown);
    print_trace(t, m, printed);
    return &kc;
}

// ---- User-mode programs -----------------------------------------------------------------------

// A program's calls from `shown` on, one line each with its result, details decoded.
void print_calls(transcript& t, const std::string& who, const call_log& log, std::size_t& shown,
                 std::uint8_t service, std::uint8_t client) {
    const auto calls = log.snapshot();
    for (; shown < calls.size(); ++shown) {
        const win32_call& c = calls[shown];
        std::string text = who + ": " + c.what + " -> ";
        if (c.ok) {
            text += "TRUE";
            if (c.what.rfind("CreateFileW", 0) != 0 && c.what != "CloseHandle") {
                text += ", " + std::to_string(c.transferred) +
                        (c.transferred == 1 ? " byte" : " bytes");
            }
        } else {
            text += "FALSE, GetLastError() = " + sim::win32_error_name(c.error);
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
        } else if (c.what.rfind("ReadFile", 0) == 0) {
            t.detail(message_text(service, client, c.data));
        }
    }
}

// Two programs on service 1: the first binds, gets a client id, writes a request and reads
// the answer; both then wait in a read that a broadcast completes.
void program_sections(transcript& t, const sim::machine& m, modem::emulator& mdm,
                      std::size_t& frames_shown, std::size_t& printed) {
    t.section("A program binds to service 1, gets a client id, writes a request, reads the answer");
    call_log log_a;
    call_log log_b;
    std::atomic<bool> a_waiting{false};
    std::atomic<bool> b_waiting{false};
    std::atomic<int> a_id{-1};
    auto a = win32::process::create(io::token_kind::administrator, "client-a");
    a->run([&] {
        vrax_client c(log_a);
        if (!c.open()) {
            return;
        }
        std::uint16_t words[4];
        std::uint8_t id = 0;
        byte_vector answer;
        if (!c.bind(1, 0, words) || !c.get_client_id(1, id)) {
            return;
        }
        a_id = id;
        if (!c.write(service_request({0xAA, 0xBB})) || !c.read(512, answer)) {
            return;
        }
        if (c.start_read(512)) {
            a_waiting = true;
            c.finish_read(answer);
        }
    });
    t.expect(wait_until([&] { return a_waiting.load() || a->exited(); }, 20000),
             "client-a has its answer and waits in another read");
    std::size_t a_shown = 0;
    const auto client = static_cast<std::uint8_t>(a_id.load() < 0 ? 0 : a_id.load());
    print_calls(t, "client-a", log_a, a_shown, 1, client);
    const auto calls = log_a.snapshot();
    t.expect(calls.size() == 5 && calls[2].ok && calls[2].data == byte_vector{1},
             "client-a binds, gets client id 1, writes and reads its answer");
    t.expect(calls.size() == 5 && calls[4].ok && !calls[4].data.empty() && calls[4].data[0] == 2 &&
                 calls[4].data[1] == 0x01 && calls[4].data[2] == 0x01,
             "the answer is message type 2 with the request's transaction id 0x0101");
    t.detail("a message of type 2 read by the session releases one of its 15 outstanding writes");
    print_frames(t, mdm, frames_shown);
    print_trace(t, m, printed);

    t.section("A second program on service 1, and a broadcast to every session of the service");
    auto b = win32::process::create(io::token_kind::administrator, "client-b");
    b->run([&] {
        vrax_client c(log_b);
        std::uint16_t words[4];
        byte_vector message;
        if (!c.open()) {
            return;
        }
        c.bind(255, 0, words);  // no such service type: refused
        if (c.bind(1, 0, words) && c.start_read(512)) {
            b_waiting = true;
            c.finish_read(message);
        }
    });
    t.expect(wait_until([&] { return b_waiting.load() || b->exited(); }, 20000),
             "client-b is bound (no client id) and waits in a read");
    std::size_t b_shown = 0;
    print_calls(t, "client-b", log_b, b_shown, 1, modem::broadcast_client);
    const auto b_calls = log_b.snapshot();
    t.expect(b_calls.size() >= 2 && !b_calls[1].ok && b_calls[1].error == ERROR_INVALID_PARAMETER,
             "a bind to service type 255 is refused before the version table is read");
    NTSTATUS status = mdm.indicate(1, modem::broadcast_client, 0x0031, {{0x01, {0x07}}});
    t.line("modem: broadcast 0x0031 to every client of service 1 -> " + sim::status_name(status));
    a->wait();
    b->wait();
    print_calls(t, "client-a", log_a, a_shown, 1, modem::broadcast_client);
    print_calls(t, "client-b", log_b, b_shown, 1, modem::broadcast_client);
    auto read_ok = [](const call_log& l, std::size_t index) {
        auto c = l.snapshot();
        return c.size() > index && c[index].ok && c[index].data.size() > 3 &&
               c[index].data[0] == 4 && c[index].data[3] == 0x31;
    };
    t.expect(read_ok(log_a, 5) && read_ok(log_b, 3),
             "both sessions' waiting reads get the broadcast (type 4, message 0x0031)");
    t.detail("each program exits: its handle's clean-up and close end the session; client-a's");
    t.detail("session held client id 1, so the driver releases it and the modem confirms; each");
    t.detail("bind also stored a port-ready notification (service 1's word 2 is not 0) that no");
    t.detail("one read, freed with the session");
    t.expect(wait_until([&mdm] { return mdm.granted(1).empty(); }, 10000),
             "the modem counts client id 1 of service 1 as released");
    print_frames(t, mdm, frames_shown);
    print_trace(t, m, printed);
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

    t.section("The SMD channel driver arrives; the modem emulator answers on port 0");
    far_end::reset();  // the far end is process-wide: nothing left from an earlier machine
    modem::emulator mdm(modem_config());
    std::size_t frames_shown = 0;
    mdm.start(0);
    t.line("modem: on port 0's far end, its end of the channel open; services 1, 2, 3, ids 1..8");
    t.detail("service 3 has a single client id (9) to hand out");
    print_frames(t, mdm, frames_shown);
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

    t.section("VRAX opens port 0: the open request, the open event, the notice, the service table");
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
    t.expect(wait_until([] { return ServiceVersionTable[0][0].Words[0] != 0; }, 5000),
             "the answer fills port 0's row of the service version table");
    print_frames(t, mdm, frames_shown);
    print_versions(t, 0);
    for (const auto& link : platform::pnp::enabled_interfaces(GUID_DEVINTERFACE_VRAX)) {
        t.line("VRAX interface enabled: " + utf8(link));
    }
    auto admin_now = open_as(io::token_kind::administrator, "admin-app");
    report_open(t, "administrator", admin_now);
    t.detail("the interface check passes now that the modem channel is open");
    t.expect(admin_now.opened, "an administrator's open succeeds");
    print_trace(t, m, printed);

    t.section("A frame that does not parse reaches the demultiplexer and is dropped");
    const std::vector<std::uint8_t> incoming{0x01, 0x02, 0x00};
    status = mdm.inject(incoming, "three bytes, shorter than a frame header");
    t.line("modem: queued a read of " + std::to_string(incoming.size()) + " bytes (" +
           hex_bytes(incoming) + ") -> " + sim::status_name(status));
    t.expect(wait_until([&m] { return traced(m, "demux: port 0 frame of 3 bytes"); }, 5000),
             "the service thread reads it and hands it to the demultiplexer");
    print_frames(t, mdm, frames_shown);
    print_trace(t, m, printed);

    sim::installed_driver* kc = kernel_client_sections(t, m, mdm, frames_shown, printed);
    program_sections(t, m, mdm, frames_shown, printed);

    t.section("Port loss: the modem closes the channel; VRAX closes port 0 and opens it again");
    status = mdm.close_channel();
    t.line("modem: channel 0 closed at its end (close event signalled) -> " +
           sim::status_name(status));
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
    t.expect(!interface_enabled(), "VRAX's interface is disabled until the modem opens again");
    t.expect(ServiceVersionTable[0][0].Words[0] == 0 && ServiceVersionTable[0][1].Words[0] == 0,
             "port 0's row of the service version table is cleared with the loss");
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
    t.expect(wait_until([] { return ServiceVersionTable[0][1].Words[0] != 0; }, 5000),
             "its answer fills the version table again");
    t.expect(wait_until(interface_enabled, 5000), "VRAX's interface is enabled again");
    print_frames(t, mdm, frames_shown);
    print_versions(t, 0);
    print_trace(t, m, printed);

    t.section("Shutdown: removal, unload and the verifier's final check");
    if (kc != nullptr && kc->loaded()) {
        kc->take_down();
        t.line(
            "kernel client driver: removed and unloaded (it deregisters and gives the "
            "interface back first)");
    }
    mdm.stop();
    t.line("modem: stopped (its frame hook removed, its timers dropped)");
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
