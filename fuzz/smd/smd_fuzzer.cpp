// The SMD side played by the fuzzer against the real driver on the real platform. An input
// starts from the driver's load-time state (VRAX loaded, the simulated SMD driver installed,
// its interface arriving, port 0 opened at both ends and announced), plays a script of far-end
// actions, and then puts the far end back: faults cleared, the SMD interface enabled (a new
// SMD device if the script removed the last one), port 0 open at both ends and served by the
// driver again, every frame the driver wrote checked. A machine serves a batch of inputs
// (VRAX_FUZZ_BATCH, default 32; 1 boots a machine for every input, which is how a finding is
// reproduced from its one input) and goes down with the verifier's final check after the
// batch's last input, at exit, and whenever the port does not come back within 10 s of virtual
// time. A bug check, a deadlock report, a sanitizer finding or a failed expectation is a
// finding.
//
// Input: byte 0 chooses the machine ("SupportNewHWID" on, off or missing; only for an input
// that boots one); then commands.
// Command byte c, op = c % 12:
//   0  chunk: 16-bit length n (top two bits clear), then n bytes (fewer at the end of the
//      input: the rest is a fill pattern), queued for the driver to read
//   1  the far end opens the channel          2  the far end closes it
//   3  fault: target, kind, status selector, 16-bit byte count, times (one byte each but
//      the count)                              4  every fault cleared
//   5  virtual time passes: selector into 0 ms .. 5 s
//   6  the SMD interface disabled (odd selector) or enabled (even)
//   7  the SMD device surprise-removed         8  a new SMD device arrives
//   9  the driver is asked to send a service message: service type, client id, 8-bit
//      length, then its bytes
//   10 the frames the driver wrote so far are taken and checked
//   11 the far end's frame hook set (odd selector) or removed (even)
// Every frame the driver writes must be a port-open notice or a frame the script sent.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include <ntddk.h>
#include <wdf.h>

#include "core/scheduler.h"
#include "machine/machine.h"
#include "smd/far_end.h"
#include "smd/install.h"
#include "support/driver_machine.h"
#include "support/fuzz_support.h"

#include "protocol/routing.h"

namespace {

namespace far_end = smd::far_end;
using bytes = std::vector<std::uint8_t>;

struct reader {
    const std::uint8_t* p;
    std::size_t left;
    std::uint8_t next() {  // 0 once the input is used up
        if (left == 0)
            return 0;
        --left;
        return *p++;
    }
    std::uint16_t next16() { return static_cast<std::uint16_t>(next() | next() << 8); }
};

constexpr NTSTATUS statuses[] = {
    STATUS_UNSUCCESSFUL,    STATUS_DEVICE_BUSY,       STATUS_PORT_DISCONNECTED,
    STATUS_IO_TIMEOUT,      STATUS_CANCELLED,         STATUS_INVALID_DEVICE_STATE,
    STATUS_BUFFER_OVERFLOW, STATUS_DATA_ERROR,        STATUS_INSUFFICIENT_RESOURCES,
    STATUS_NO_SUCH_DEVICE,  STATUS_INVALID_PARAMETER, STATUS_PENDING,
    STATUS_SUCCESS,         STATUS_NOT_SUPPORTED,     STATUS_TIMEOUT,
};
constexpr std::int64_t delays_ms[] = {0, 1, 10, 100, 999, 1000, 1001, 2000, 3000, 5000};
constexpr far_end::target targets[] = {far_end::target::open, far_end::target::close,
                                       far_end::target::read_pending, far_end::target::read,
                                       far_end::target::write};

void pass_ms(std::int64_t ms) {
    auto& s = platform::scheduler::get();
    const platform::ticks later = s.now() + ms * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    s.block(
        lk, [] { return false; }, later, "smd fuzzer: time passing");
}

bool is_notice(const bytes& f) {
    return f.size() == 12 && f[0] == 0x01 && f[1] == 11 && f[2] == 0 && f[3] == 0 && f[4] == 0 &&
           f[5] == 0 && f[6] == 0x00 && f[8] == 0x27 && f[9] == 0 && f[10] == 0 && f[11] == 0;
}

// The port-open routine's request for the service table, which follows each notice: a
// request from client id 0 on the control service, message 0x21, no TLVs.
bool is_service_table_request(const bytes& f) {
    return f.size() == 12 && f[0] == 0x01 && f[1] == 11 && f[2] == 0 && f[3] == 0 && f[4] == 0 &&
           f[5] == 0 && f[6] == 0x00 && f[8] == 0x21 && f[9] == 0 && f[10] == 0 && f[11] == 0;
}

// What the driver may write: notices, service-table requests, and the frames the script had
// it send. Checked on the
// harness thread and on the far end's hook thread.
struct written {
    std::mutex lock;
    std::set<bytes> sent;
    void expect_sent(bytes f) {
        std::lock_guard g(lock);
        sent.insert(std::move(f));
    }
    void check(const bytes& f) {
        std::lock_guard g(lock);
        fuzz::expect(is_notice(f) || is_service_table_request(f) || sent.count(f) != 0,
                     "the driver wrote a frame nobody sent");
    }
    void drain() {
        while (auto f = far_end::next_frame(0, platform::scheduler::get().now()))
            check(*f);
    }
};

void queue_chunk(reader& in) {
    std::size_t n = in.next16() & 0x3FFF;
    bytes chunk(n == 0 ? 1 : n);
    for (std::size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = in.left != 0 ? in.next() : static_cast<std::uint8_t>(i * 7);
    NTSTATUS s = far_end::queue_read(0, std::move(chunk));
    fuzz::expect(
        s == STATUS_SUCCESS || s == STATUS_INVALID_DEVICE_STATE || s == STATUS_NO_SUCH_DEVICE,
        "queue_read status");
}

void inject(reader& in) {
    const far_end::target t = targets[in.next() % 5];
    const std::uint8_t kind = in.next() % 3;
    const NTSTATUS status = statuses[in.next() % std::size(statuses)];
    const ULONG count = in.next16() & 0x3FFF;
    const unsigned times = 1 + in.next() % 4;
    far_end::fault f = kind == 0   ? far_end::fault::fail(status, times)
                       : kind == 1 ? far_end::fault::never(times)
                                   : far_end::fault::byte_count(count, times);
    far_end::inject(0, t, f);
}

void send(reader& in, written& w) {
    const std::uint8_t service = in.next();
    const std::uint8_t client = in.next();
    const std::size_t n = in.next() % 64;
    bytes buffer(6 + n);
    for (std::size_t i = 6; i < buffer.size(); ++i)
        buffer[i] = in.next();
    const bytes message(buffer.begin() + 6, buffer.end());
    bytes frame{0x01, static_cast<std::uint8_t>(n + 5), 0, 0, service, client};
    frame.insert(frame.end(), message.begin(), message.end());
    w.expect_sent(frame);
    int r = SendServiceMessage(0, service, client, buffer.data() + 6, static_cast<ULONG>(n));
    fuzz::expect(r == 0 || r == -1 || r == -5, "SendServiceMessage result");
    fuzz::expect(std::equal(message.begin(), message.end(), buffer.begin() + 6),
                 "the message left as it was");
}

// Port 0 open at both ends and announced: the state every input starts from.
std::unique_ptr<sim::machine> bring_up(std::uint8_t choice) {
    far_end::reset();
    sim::machine_options options;
    options.trace_level = 0;
    if (choice % 3 != 2)
        options.support_new_hwid = choice % 3 == 0;
    auto m = std::make_unique<sim::machine>(options);
    fuzz::expect(far_end::open_channel(0) == STATUS_SUCCESS, "far end open");
    fuzz::expect(smd::install() == STATUS_SUCCESS, "SMD driver installed");
    fuzz::expect(m->boot() == STATUS_SUCCESS, "VRAX booted");
    auto notice = far_end::next_frame(0, far_end::deadline_in_ms(5000));
    fuzz::expect(notice.has_value() && is_notice(*notice), "port 0 announced");
    return m;
}

void take_down(std::unique_ptr<sim::machine> m) {
    // The device refuses an orderly removal: it goes as its bus would take it.
    if (!NT_SUCCESS(m->remove_device()))
        fuzz::expect(m->surprise_remove() == STATUS_SUCCESS, "VRAX device removed");
    far_end::reset();
    if (smd::installed())
        fuzz::expect(smd::uninstall() == STATUS_SUCCESS, "SMD driver uninstalled");
    // A finding of the final check is a bug check already; an empty report is the rest.
    fuzz::expect(m->shutdown().empty(), "final check clean");
}

// The machine kept across a batch of inputs.
struct smd_batch {
    std::unique_ptr<sim::machine> machine;
    unsigned size = 32;
    unsigned used = 0;

    static smd_batch& get() {
        static smd_batch* b = [] {
            auto* made = new smd_batch();
            if (const char* v = std::getenv("VRAX_FUZZ_BATCH")) {
                const long n = std::strtol(v, nullptr, 10);
                made->size = n < 1 ? 1u : static_cast<unsigned>(n);
            }
            return made;
        }();
        return *b;
    }

    sim::machine& begin(std::uint8_t choice) {
        if (machine == nullptr) {
            machine = bring_up(choice);
            used = 0;
            // libFuzzer ends with exit(): the last batch gets its final check there, on the
            // harness thread, while the scheduler's record of the thread is still alive.
            struct last_batch {
                ~last_batch() { smd_batch::get().take_down_now(); }
            };
            static thread_local last_batch guard;
            (void)guard;
        }
        return *machine;
    }

    // The input is over: the machine goes down when the batch is, or when it could not be
    // put back.
    void end(bool restored) {
        if (!restored || ++used >= size)
            take_down_now();
    }

    void take_down_now() {
        if (machine != nullptr)
            take_down(std::move(machine));
        machine.reset();
    }
};

// The far end back to the state an input starts from; false when port 0 is not served again
// within 10 s of virtual time. Only what the script changed is put back, so that an input
// that left the port as it found it costs nothing here.
bool restore(written& w) {
    far_end::clear_faults(0);
    if (!fuzz::machine::interface_enabled() || !far_end::far_end_open(0)) {
        // A disabled SMD interface is enabled again; a removed SMD device (no current one)
        // is replaced by a new one, as its bus would bring it back.
        if (far_end::set_interface_enabled(true) == STATUS_NO_SUCH_DEVICE)
            fuzz::expect(far_end::add_device() == STATUS_SUCCESS, "a new SMD device");
        if (!far_end::far_end_open(0))
            (void)far_end::open_channel(0);
        auto& s = platform::scheduler::get();
        const platform::ticks limit = s.now() + 10000 * platform::ticks_per_ms;
        while (!fuzz::machine::interface_enabled() && s.now() < limit)
            pass_ms(10);
    }
    // What the driver still had to read or write settles before the next input; the frames
    // it wrote (a new port-open notice among them) are checked.
    pass_ms(1);
    w.drain();
    return fuzz::machine::interface_enabled() && far_end::far_end_open(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::adopt_thread();
    reader in{data, size};
    auto& b = smd_batch::get();
    b.begin(in.next());
    written w;
    // Bounded scripts keep an input's real time short; the virtual clock jumps over waits.
    for (int steps = 0; steps < 48 && in.left != 0; ++steps) {
        const std::uint8_t c = in.next();
        switch (c % 12) {
            case 0:
                queue_chunk(in);
                break;
            case 1:
                (void)far_end::open_channel(0);
                break;
            case 2:
                (void)far_end::close_channel(0);
                break;
            case 3:
                inject(in);
                break;
            case 4:
                far_end::clear_faults(0);
                break;
            case 5:
                pass_ms(delays_ms[in.next() % std::size(delays_ms)]);
                break;
            case 6:
                (void)far_end::set_interface_enabled(in.next() % 2 == 0);
                break;
            case 7:
                (void)far_end::surprise_remove();
                break;
            case 8:
                (void)far_end::add_device();
                break;
            case 9:
                send(in, w);
                break;
            case 10:
                w.drain();
                break;
            default:
                if (in.next() % 2 != 0) {
                    far_end::set_frame_hook(0, [&w](unsigned, bytes f) { w.check(f); });
                } else {
                    far_end::set_frame_hook(0, {});
                }
                break;
        }
    }
    pass_ms(1);
    far_end::set_frame_hook(0, {});
    w.drain();
    b.end(restore(w));
    return 0;
}
