#include "ioctl/controls.h"

#include <vrax/vrax_ioctl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "core/scheduler.h"
#include "kernel/object_manager.h"
#include "support/fuzz_support.h"

#include "vrax_wire.h"

namespace fuzz::ioctl {

using platform::scheduler;

namespace {

constexpr std::size_t max_length = 4096;
constexpr std::uint8_t unwritten_fill = 0xCC;  // a system buffer's bytes nobody wrote
constexpr DWORD error_invalid_function = 1;
constexpr DWORD error_access_denied = 5;
constexpr DWORD error_more_data = 234;
constexpr DWORD error_cancelled = 995;  // ERROR_OPERATION_ABORTED
constexpr ULONG_PTR pending_status = static_cast<ULONG>(STATUS_PENDING);

constexpr DWORD driver_codes[] = {
    IOCTL_VRAX_RESET_SESSION,     IOCTL_VRAX_SUBMIT_CONTROL_REQUEST,
    IOCTL_VRAX_STOP_PORT,         IOCTL_VRAX_READ_MESSAGE,
    IOCTL_VRAX_GET_CLIENT_ID,     IOCTL_VRAX_SERVICE_TWO_QUERY,
    IOCTL_VRAX_BIND_SERVICE,      IOCTL_VRAX_BIND_SERVICE_2,
    IOCTL_VRAX_OPEN_EVENT,        IOCTL_VRAX_OPEN_EVENT_W,
    IOCTL_VRAX_CLOSE_EVENT,       IOCTL_VRAX_VALUE_QUERY,
    IOCTL_VRAX_READ_NOTIFICATION,
};

// Codes around the driver's: the functions just outside its range, its codes with another
// transfer type, access or device type, and the extremes.
constexpr DWORD nearby_codes[] = {
    VRAX_IOCTL(0x8FF),
    VRAX_IOCTL(0x90D),
    VRAX_IOCTL(0x90E),
    VRAX_IOCTL(0x910),
    VRAX_IOCTL(0x000),
    IOCTL_VRAX_RESET_SESSION | 1,          // METHOD_IN_DIRECT
    IOCTL_VRAX_GET_CLIENT_ID | 2,          // METHOD_OUT_DIRECT
    IOCTL_VRAX_BIND_SERVICE | 3,           // METHOD_NEITHER
    IOCTL_VRAX_READ_MESSAGE | (1u << 14),  // FILE_READ_ACCESS
    IOCTL_VRAX_VALUE_QUERY | (3u << 14),   // FILE_READ_ACCESS | FILE_WRITE_ACCESS
    (0x22u << 16) | (0x904u << 2),         // another device type
    (0x8001u << 16) | (0x900u << 2),       // a vendor device type
    IOCTL_VRAX_READ_NOTIFICATION + 4,
    0x00000000u,
    0xFFFFFFFFu,
    0x80000000u | IOCTL_VRAX_OPEN_EVENT,
};

constexpr std::uint32_t service_choices[] = {0, 1, 2, 3, 5, 254, 255, 256, 0xFFFFFFFFu};
constexpr std::uint32_t port_choices[] = {0, 0, 0, 1, 28, 29, 255, 0xFFFFFFFFu};
constexpr std::size_t long_lengths[] = {256, 257, 510, 511, 512, 513, 4095, 4096};

// Index of a driver code in driver_codes, or -1.
int code_index(DWORD code) {
    for (std::size_t i = 0; i < std::size(driver_codes); ++i)
        if (driver_codes[i] == code)
            return static_cast<int>(i);
    return -1;
}

void put32(bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bytes wide(const std::u16string& s, bool terminated = true) {
    bytes out;
    for (char16_t c : s) {
        out.push_back(static_cast<std::uint8_t>(c));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    if (terminated) {
        out.push_back(0);
        out.push_back(0);
    }
    return out;
}

// Event names: two short ones (so the same name is opened again), one with a prefix the
// driver does not interpret, the empty name, names at and past the 127- and 255-character
// limits of the two open controls, and names with path separators.
bytes event_name(std::uint8_t choice) {
    switch (choice % 10) {
        case 0:
            return wide(u"VraxFuzzA");
        case 1:
            return wide(u"VraxFuzzB");
        case 2:
            return wide(u"Global\\VraxFuzzC");
        case 3:
            return wide(u"");
        case 4:
            return wide(std::u16string(127, u'n'));
        case 5:
            return wide(std::u16string(128, u'n'));
        case 6:
            return wide(std::u16string(237, u'w'));  // the wide path's 256 characters, exactly
        case 7:
            return wide(std::u16string(255, u'w'));
        case 8:
            return wide(u"VraxFuzz\\Sub");
        default:
            return wide(u"..\\..\\Device\\VRAX");
    }
}

// The content a well-meaning program would send for the code, and the lengths it would use
// (`alternative` picks the other common form: the 8-byte binding input, the whole body).
bytes structured_input(DWORD code, reader& in, const event_handles& events, far_modem& modem) {
    switch (code) {
        case IOCTL_VRAX_GET_CLIENT_ID:
        case IOCTL_VRAX_BIND_SERVICE:
        case IOCTL_VRAX_BIND_SERVICE_2: {
            bytes b(8, 0);
            put32(b, 0, service_choices[in.next() % std::size(service_choices)]);
            put32(b, 4, port_choices[in.next() % std::size(port_choices)]);
            return b;
        }
        case IOCTL_VRAX_VALUE_QUERY: {
            bytes b(12, 0);
            put32(b, 0, in.next32());
            const std::uint16_t v = in.next16();
            modem.note_value16(v);
            fuzz::machine::put16(b, 4, v);
            put32(b, 8, port_choices[in.next() % std::size(port_choices)]);
            return b;
        }
        case IOCTL_VRAX_OPEN_EVENT:
        case IOCTL_VRAX_OPEN_EVENT_W:
            return event_name(in.next());
        case IOCTL_VRAX_CLOSE_EVENT: {
            bytes b(8, 0);
            const std::uint8_t choice = in.next();
            std::uint64_t v = 0;
            if (choice % 4 != 3 && !events.values.empty())
                v = events.values[events.values.size() - 1 - (choice >> 2) % events.values.size()];
            else
                v = in.next32() | static_cast<std::uint64_t>(in.next32()) << 32;
            for (int i = 0; i < 8; ++i)
                b[i] = static_cast<std::uint8_t>(v >> (8 * i));
            return b;
        }
        case IOCTL_VRAX_SUBMIT_CONTROL_REQUEST: {
            // Descriptor: kind, session key, tag, two reserved words, port, service type,
            // client id; then the body's first bytes.
            bytes b(VRAX_CONTROL_DESCRIPTOR_SIZE, 0);
            put32(b, 0, in.next() % 15);
            const std::uint8_t key = in.next();
            put32(b, 4, key % 3 == 0 ? 0 : key % 3 == 1 ? VRAX_SESSION_KEY_NONE : in.next32());
            put32(b, 8, in.next32());
            put32(b, 20, port_choices[in.next() % std::size(port_choices)]);
            put32(b, 24, service_choices[in.next() % std::size(service_choices)]);
            b[28] = in.next();
            const bytes body = in.take(in.next() % 33);
            b.insert(b.end(), body.begin(), body.end());
            return b;
        }
        default:
            return in.take(in.next() % 16);
    }
}

std::size_t natural_input(DWORD code, bool alternative, const bytes& structured) {
    switch (code) {
        case IOCTL_VRAX_RESET_SESSION:
            return 8;
        case IOCTL_VRAX_SUBMIT_CONTROL_REQUEST:
            return alternative ? VRAX_CONTROL_DESCRIPTOR_SIZE + VRAX_CONTROL_BODY_SIZE
                               : structured.size();
        case IOCTL_VRAX_STOP_PORT:
            return 4;
        case IOCTL_VRAX_GET_CLIENT_ID:
        case IOCTL_VRAX_BIND_SERVICE:
        case IOCTL_VRAX_BIND_SERVICE_2:
            return alternative ? 8 : 4;
        case IOCTL_VRAX_OPEN_EVENT:
        case IOCTL_VRAX_OPEN_EVENT_W:
        case IOCTL_VRAX_CLOSE_EVENT:
        case IOCTL_VRAX_VALUE_QUERY:
            return structured.size();
        default:
            return alternative ? structured.size() : 0;
    }
}

std::size_t natural_output(DWORD code, bool alternative) {
    switch (code) {
        case IOCTL_VRAX_RESET_SESSION:
            return 12;
        case IOCTL_VRAX_READ_MESSAGE:
            return alternative ? 4096 : 512;
        case IOCTL_VRAX_GET_CLIENT_ID:
            return 1;
        case IOCTL_VRAX_SERVICE_TWO_QUERY:
            return alternative ? 3 : 8;
        case IOCTL_VRAX_BIND_SERVICE:
        case IOCTL_VRAX_BIND_SERVICE_2:
            return alternative ? 4 : 8;
        case IOCTL_VRAX_OPEN_EVENT:
        case IOCTL_VRAX_OPEN_EVENT_W:
        case IOCTL_VRAX_READ_NOTIFICATION:
            return 8;
        case IOCTL_VRAX_VALUE_QUERY:
            return 2;
        default:
            return 0;
    }
}

// Length choice (3 bits): the natural length, its other common form, 0, one less, one more,
// a few bytes, one of the long lengths, anything up to 4096.
std::size_t choose_length(std::uint8_t choice, std::size_t natural, std::size_t alternative,
                          reader& in) {
    std::size_t n;
    switch (choice % 8) {
        case 0:
            n = natural;
            break;
        case 1:
            n = alternative;
            break;
        case 2:
            n = 0;
            break;
        case 3:
            n = natural == 0 ? 0 : natural - 1;
            break;
        case 4:
            n = natural + 1;
            break;
        case 5:
            n = in.next() % 16;
            break;
        case 6:
            n = long_lengths[in.next() % std::size(long_lengths)];
            break;
        default:
            n = in.next16() % (max_length + 1);
            break;
    }
    return std::min(n, max_length);
}

}  // namespace

void event_handles::note(std::uint64_t v) {
    if (std::find(values.begin(), values.end(), v) != values.end())
        return;
    values.push_back(v);
    if (values.size() > 16)
        values.erase(values.begin());
}

bool is_read_control(DWORD code) {
    return code == IOCTL_VRAX_READ_MESSAGE || code == IOCTL_VRAX_READ_NOTIFICATION;
}

control_spec read_control(reader& in, const event_handles& events, far_modem& modem) {
    control_spec s;
    const std::uint8_t code_choice = in.next();
    if (code_choice < 0xC0)
        s.code = driver_codes[code_choice % std::size(driver_codes)];
    else if (code_choice < 0xF0)
        s.code = nearby_codes[code_choice % std::size(nearby_codes)];
    else
        s.code = in.next32();
    const std::uint8_t shape = in.next();
    bytes content;
    switch (shape % 4) {
        case 0:
            content = structured_input(s.code, in, events, modem);
            break;
        case 1:
            content = in.take(in.next() % 65);
            break;
        case 2:
            break;  // zeros
        default:
            content = wide(std::u16string(2048, u'A'), false);  // never terminated
            break;
    }
    const std::size_t in_length = choose_length(shape >> 2, natural_input(s.code, false, content),
                                                natural_input(s.code, true, content), in);
    s.input.assign(in_length, 0);
    if (shape % 4 == 1) {
        // The input's bytes, then a pattern.
        for (std::size_t i = 0; i < in_length; ++i)
            s.input[i] = i < content.size() ? content[i] : static_cast<std::uint8_t>(i * 13 + 1);
    } else {
        std::copy_n(content.begin(), std::min(content.size(), in_length), s.input.begin());
    }
    s.out_length =
        choose_length(shape >> 5, natural_output(s.code, false), natural_output(s.code, true), in);
    return s;
}

control_io::control_io(control_spec s) : spec(std::move(s)) {
    input = spec.input;
    out.assign(spec.out_length, canary);
}

control_io::~control_io() {
    if (thread != nullptr)
        CloseHandle(thread);
}

void control_io::send(HANDLE h) {
    DWORD n = 0;
    const BOOL result =
        DeviceIoControl(h, spec.code, input.empty() ? nullptr : input.data(),
                        static_cast<DWORD>(input.size()), out.empty() ? nullptr : out.data(),
                        static_cast<DWORD>(out.size()), &n, with_overlapped ? &ov : nullptr);
    const DWORD e = result ? 0 : GetLastError();
    auto& s = scheduler::get();
    std::lock_guard g(s.lock());
    ok = result;
    call_error = e;
    call_returned = n;
    returned.store(true, std::memory_order_release);
    s.wake();
}

void control_io::not_sent() {
    auto& s = scheduler::get();
    std::lock_guard g(s.lock());
    sent = false;
    ok = FALSE;
    call_error = ERROR_INVALID_HANDLE;
    returned.store(true, std::memory_order_release);
    s.wake();
}

namespace {

ULONG_PTR load(const ULONG_PTR& field) {
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}

// Whether the call left the request pending for the OVERLAPPED to report.
bool left_pending(const control_io& io) {
    return !io.synchronous_handle && io.with_overlapped && !io.ok &&
           io.call_error == ERROR_IO_PENDING;
}

}  // namespace

bool control_io::done() const {
    if (finished)
        return true;
    if (!returned.load(std::memory_order_acquire))
        return false;
    return !left_pending(*this) || load(ov.Internal) != pending_status;
}

bool control_io::finish(std::int64_t ms) {
    if (finished)
        return true;
    auto& s = scheduler::get();
    const platform::ticks limit = s.now() + ms * platform::ticks_per_ms;
    {
        std::unique_lock lk(s.lock());
        s.block(
            lk, [this] { return done(); }, limit, "fuzz: a control to complete");
    }
    if (!done())
        return false;
    finished = true;
    if (left_pending(*this) ||
        (with_overlapped && !synchronous_handle && load(ov.Internal) != pending_status)) {
        // The OVERLAPPED tells: the status the request completed with and its information.
        const auto status = static_cast<NTSTATUS>(static_cast<ULONG>(load(ov.Internal)));
        error = NT_SUCCESS(status) ? 0 : RtlNtStatusToDosError(status);
        transferred = static_cast<DWORD>(load(ov.InternalHigh));
        copied = !NT_ERROR(status);
    } else {
        // Refused before it reached the driver, or a synchronous handle: the call's result.
        error = ok ? 0 : call_error;
        transferred = call_returned;
        copied = ok || call_error == error_more_data;
    }
    return true;
}

namespace {

DWORD WINAPI send_on_thread(LPVOID p) {
    auto* io = static_cast<control_io*>(p);
    io->send(io->target);
    return 0;
}

}  // namespace

void start(control_io& io, HANDLE h) {
    io.target = h;
    if (io.how == issuer::harness) {
        io.send(h);
        return;
    }
    io.thread = CreateThread(nullptr, 0, send_on_thread, &io, 0, nullptr);
    fuzz::expect(io.thread != nullptr, "CreateThread");
}

namespace {

const char* issuer_name(issuer how) {
    switch (how) {
        case issuer::harness:
            return "overlapped";
        case issuer::sync_thread:
            return "synchronous";
        case issuer::exiting_thread:
            return "exiting thread";
        default:
            return "program";
    }
}

}  // namespace

void check(control_io& io, far_modem& modem, event_handles& events) {
    if (io.checked || !io.finished)
        return;
    io.checked = true;
    if (!io.sent)
        return;
    static const bool show = std::getenv("VRAX_FUZZ_SHOW") != nullptr;
    if (show)
        std::fprintf(stderr, "control 0x%08x (%s, in %zu, out %zu): error %lu, %lu bytes\n",
                     static_cast<unsigned>(io.spec.code), issuer_name(io.how), io.input.size(),
                     io.out.size(), static_cast<unsigned long>(io.error),
                     static_cast<unsigned long>(io.transferred));
    fuzz::expect(io.input == io.spec.input, "a control's input buffer was written");
    const std::size_t out_length = io.out.size();
    if (!io.copied) {
        // Nothing is copied back for an error status: the output is untouched.
        for (std::uint8_t b : io.out)
            fuzz::expect(b == canary, "a failed control wrote into its output");
        // An unknown code is refused by the driver, unless the handle lacks the access the
        // code asks for or the request was cancelled while it waited in the queue.
        if (code_index(io.spec.code) < 0)
            fuzz::expect(io.error == error_invalid_function || io.error == error_access_denied ||
                             io.error == error_cancelled,
                         "an unknown code failed other than ERROR_INVALID_FUNCTION");
        return;
    }
    fuzz::expect(io.transferred <= out_length, "a control returned more than its output buffer");
    for (std::size_t i = io.transferred; i < out_length; ++i)
        fuzz::expect(io.out[i] == canary, "a control's output changed past what it returned");
    const DWORD code = io.spec.code;
    const bool free_content = code == IOCTL_VRAX_READ_MESSAGE || code == IOCTL_VRAX_OPEN_EVENT ||
                              code == IOCTL_VRAX_OPEN_EVENT_W;
    if (!free_content) {
        // Where the input did not reach, a returned byte the driver did not write still holds
        // the system buffer's fill: uninitialised pool handed to the program.
        for (std::size_t i = io.input.size(); i < io.transferred; ++i)
            fuzz::expect(io.out[i] != unwritten_fill,
                         "a control returned bytes of its system buffer nobody wrote");
    }
    fuzz::expect(code_index(code) >= 0, "an unknown code succeeded");
    if (io.error != 0)
        return;  // a warning: its information is the driver's business
    const std::uint8_t* out = io.out.data();
    switch (code) {
        case IOCTL_VRAX_RESET_SESSION:
        case IOCTL_VRAX_SUBMIT_CONTROL_REQUEST:
        case IOCTL_VRAX_CLOSE_EVENT:
            fuzz::expect(io.transferred == 0, "a control without output returned bytes");
            break;
        case IOCTL_VRAX_STOP_PORT:
            fuzz::expect(io.transferred == 0 && io.input.size() == 4,
                         "the stop-port control succeeded other than with 4 bytes in");
            break;
        case IOCTL_VRAX_READ_MESSAGE:
            fuzz::expect(modem.sent_message(bytes(io.out.begin(), io.out.begin() + io.transferred)),
                         "a message read returned something other than one whole message sent");
            break;
        case IOCTL_VRAX_GET_CLIENT_ID:
            fuzz::expect(io.transferred == 1 && modem.granted(out[0]),
                         "a client-id control returned an id the modem never granted");
            break;
        case IOCTL_VRAX_SERVICE_TWO_QUERY:
            fuzz::fail("a service-2 query succeeded");
        case IOCTL_VRAX_BIND_SERVICE:
        case IOCTL_VRAX_BIND_SERVICE_2: {
            const DWORD expected = out_length < 4 ? 0 : out_length == 8 ? 8 : 4;
            fuzz::expect(io.transferred == expected, "a bind returned the wrong number of bytes");
            break;
        }
        case IOCTL_VRAX_OPEN_EVENT:
        case IOCTL_VRAX_OPEN_EVENT_W: {
            fuzz::expect(io.transferred == 8, "an event open returned other than 8 bytes");
            std::uint64_t v = 0;
            std::memcpy(&v, out, 8);
            fuzz::expect(platform::ob::is_kernel_handle(reinterpret_cast<HANDLE>(v)),
                         "an event open returned something other than a kernel handle");
            events.note(v);
            break;
        }
        case IOCTL_VRAX_VALUE_QUERY:
            fuzz::expect(io.transferred == 2 &&
                             modem.answered_value(static_cast<std::uint16_t>(out[0] | out[1] << 8)),
                         "a value query returned a value nobody gave");
            break;
        case IOCTL_VRAX_READ_NOTIFICATION: {
            fuzz::expect(io.transferred == 8, "a notification read returned other than 8 bytes");
            const std::uint32_t state =
                out[0] | out[1] << 8 | out[2] << 16 | static_cast<std::uint32_t>(out[3]) << 24;
            const std::uint32_t service =
                out[4] | out[5] << 8 | out[6] << 16 | static_cast<std::uint32_t>(out[7]) << 24;
            fuzz::expect(state <= 1 && service <= 254, "a notification out of range");
            break;
        }
        default:
            break;
    }
}

}  // namespace fuzz::ioctl
