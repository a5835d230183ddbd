#include "support/driver_machine.h"

#include <ntddk.h>

#include <cstdio>
#include <cstdlib>

#include "core/scheduler.h"
#include "smd/far_end.h"
#include "smd/install.h"
#include "support/fuzz_support.h"

#include "vrax_device.h"

namespace fuzz::machine {

namespace far_end = smd::far_end;
using platform::scheduler;

bytes reader::take(std::size_t n) {
    bytes out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = left != 0 ? next() : static_cast<std::uint8_t>(i * 13 + 1);
    return out;
}

void put16(bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v & 0xFF);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void pass_ms(std::int64_t ms) {
    auto& s = scheduler::get();
    const platform::ticks later = s.now() + ms * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    s.block(
        lk, [] { return false; }, later, "fuzz: time passing");
}

bytes frame(std::uint8_t service, std::uint8_t client, const bytes& message, std::uint8_t flags) {
    bytes f{0x01, 0, 0, flags, service, client};
    f.insert(f.end(), message.begin(), message.end());
    put16(f, 1, static_cast<std::uint16_t>(f.size() - 1));
    return f;
}

void wire::start(answerer a) {
    {
        std::lock_guard g(lock_);
        frames_.clear();
        answer_ = std::move(a);
    }
    far_end::set_frame_hook(0, [this](unsigned, bytes f) {
        answerer answer;
        {
            std::lock_guard g(lock_);
            frames_.push_back(f);
            answer = answer_;
        }
        {
            // Whoever waits for a frame is told, as every change a waiter may see is.
            auto& s = scheduler::get();
            std::lock_guard g(s.lock());
            s.wake();
        }
        if (answer)
            answer(f);
    });
}

void wire::answer_with(answerer a) {
    std::lock_guard g(lock_);
    answer_ = std::move(a);
}

void wire::stop() {
    // Removing the last hook joins the hook thread: no answer runs after this.
    far_end::set_frame_hook(0, {});
    std::lock_guard g(lock_);
    answer_ = {};
}

bool wire::wait_for(std::size_t n, std::int64_t ms) {
    auto& s = scheduler::get();
    const platform::ticks limit = s.now() + ms * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    return s.block(
        lk,
        [this, n] {
            std::lock_guard g(lock_);
            return frames_.size() >= n;
        },
        limit, "fuzz: frames from the driver");
}

void wire::put_back(bytes f) {
    std::lock_guard g(lock_);
    frames_.insert(frames_.begin(), std::move(f));
}

std::size_t wire::count() {
    std::lock_guard g(lock_);
    return frames_.size();
}

std::vector<bytes> wire::take() {
    std::lock_guard g(lock_);
    std::vector<bytes> out = std::move(frames_);
    frames_.clear();
    return out;
}

namespace {

void print_trace(sim::machine* m) {
    if (m == nullptr || m->trace() == nullptr)
        return;
    for (const auto& r : m->trace()->records())
        std::fprintf(stderr, "[%lld ms] %s\n",
                     static_cast<long long>(r.time / platform::ticks_per_ms), r.text.c_str());
}

bool is_notice(const bytes& f) {
    return f.size() == 12 && f[0] == 0x01 && f[1] == 11 && f[4] == 0 && f[5] == 0 && f[6] == 0x00 &&
           f[8] == 0x27;
}

}  // namespace

bool interface_enabled() {
    PVRAX_DEVICE_CONTEXT context = GetVraxDeviceContext(::ControlDevice);
    WdfWaitLockAcquire(context->InterfaceLock, nullptr);
    const bool enabled = VraxInterfaceEnabled(context) != FALSE;
    WdfWaitLockRelease(context->InterfaceLock);
    return enabled;
}

bool close_from_far_end() {
    if (!far_end::far_end_open(0) || !interface_enabled())
        return false;
    const bool closed = far_end::close_channel(0) == STATUS_SUCCESS;
    // The driver serves the close before anything else happens at the far end: it withdraws
    // the interface, closes the channel and binds a new one (which a later open meets).
    pass_ms(1);
    return closed;
}

std::unique_ptr<sim::machine> bring_up(std::optional<bool> support_new_hwid, wire& w) {
    far_end::reset();
    sim::machine_options options;
    options.trace_level = std::getenv("VRAX_FUZZ_TRACE") != nullptr ? 5 : 0;
    options.support_new_hwid = support_new_hwid;
    auto m = std::make_unique<sim::machine>(options);
    fuzz::expect(far_end::open_channel(0) == STATUS_SUCCESS, "far end open");
    fuzz::expect(smd::install() == STATUS_SUCCESS, "SMD driver installed");
    // The wire records from the start: the port-open notice, then (once the service thread
    // has served the SMD side's open event and enabled the device interface) the port-open
    // routine's service-table request, after which that routine waits 5 s for the port to
    // be ready. The notice is taken here; the request is left for the harness.
    w.start();
    fuzz::expect(m->boot() == STATUS_SUCCESS, "VRAX booted");
    fuzz::expect(w.wait_for(2, 5000), "port 0 announced and the service table asked for");
    fuzz::expect(interface_enabled(), "device interface enabled");
    std::vector<bytes> first = w.take();
    fuzz::expect(!first.empty() && is_notice(first.front()), "port 0 announced");
    fuzz::expect(
        first.size() == 2 && first[1].size() >= 12 && first[1][4] == 0 && first[1][8] == 0x21,
        "service-table request sent");
    w.put_back(first[1]);
    return m;
}

void take_down(std::unique_ptr<sim::machine> m, wire& w) {
    w.stop();
    // The device refuses an orderly removal: it goes as its bus would take it.
    if (!NT_SUCCESS(m->remove_device()))
        fuzz::expect(m->surprise_remove() == STATUS_SUCCESS, "VRAX device removed");
    far_end::reset();
    if (smd::installed())
        fuzz::expect(smd::uninstall() == STATUS_SUCCESS, "SMD driver uninstalled");
    fuzz::expect(m->shutdown().empty(), "final check clean");
}

batch& batch::get() {
    static batch* b = [] {
        auto* made = new batch();
        if (const char* v = std::getenv("VRAX_FUZZ_BATCH")) {
            const long n = std::strtol(v, nullptr, 10);
            made->size_ = n < 1 ? 1u : static_cast<unsigned>(n);
        }
        return made;
    }();
    return *b;
}

sim::machine& batch::begin(std::optional<bool> support_new_hwid) {
    fresh_ = machine_ == nullptr;
    if (fresh_) {
        machine_ = bring_up(support_new_hwid, wire_);
        used_ = 0;
        // libFuzzer ends with exit(): the last batch gets its final check there, on the
        // harness thread. A thread-local object's destructor does it: those of the exiting
        // thread run first, newest first, so the scheduler's own record of the thread (made
        // when the thread was adopted) and every static of the platform are still alive.
        struct last_batch {
            ~last_batch() { batch::get().take_down_now(); }
        };
        static thread_local last_batch guard;
        (void)guard;
    }
    return *machine_;
}

void batch::end() {
    if (++used_ >= size_)
        take_down_now();
}

void batch::take_down_now() {
    // With VRAX_FUZZ_TRACE set, what the driver traced during the batch.
    print_trace(machine_.get());
    if (machine_ != nullptr)
        take_down(std::move(machine_), wire_);
    machine_.reset();
}

void expect(bool condition, const char* what) {
    if (condition)
        return;
    print_trace(batch::get().machine_.get());
    if (std::getenv("VRAX_FUZZ_TRACE") != nullptr) {
        for (const auto& r : far_end::open_requests())
            std::fprintf(stderr, "SMD open request: status 0x%08x\n",
                         static_cast<unsigned>(r.status));
        for (const auto& r : far_end::close_requests())
            std::fprintf(stderr, "SMD close request: status 0x%08x\n",
                         static_cast<unsigned>(r.status));
        std::fprintf(stderr, "far end open: %d, now %lld ms\n", far_end::far_end_open(0) ? 1 : 0,
                     static_cast<long long>(scheduler::get().now() / platform::ticks_per_ms));
    }
    fuzz::fail(what);
}

bool settle_port() {
    if (!far_end::far_end_open(0))
        (void)far_end::open_channel(0);
    auto& s = scheduler::get();
    const platform::ticks limit = s.now() + 10000 * platform::ticks_per_ms;
    while (!interface_enabled() && s.now() < limit)
        pass_ms(10);
    return interface_enabled();
}

namespace {

constexpr ULONG_PTR pending_status = static_cast<ULONG>(STATUS_PENDING);

ULONG_PTR load(const ULONG_PTR& field) {
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}

std::unique_ptr<pending_io> start(HANDLE h, bytes buffer, bool read) {
    auto io = std::make_unique<pending_io>();
    io->read = read;
    io->handle = h;
    io->buffer = std::move(buffer);
    DWORD n = 0;
    auto size = static_cast<DWORD>(io->buffer.size());
    io->started = read ? ReadFile(h, io->buffer.data(), size, &n, &io->ov)
                       : WriteFile(h, io->buffer.data(), size, &n, &io->ov);
    io->start_error = io->started ? 0 : GetLastError();
    if (!io->started && io->start_error != ERROR_IO_PENDING) {
        // Refused before it reached the driver: nothing to wait for.
        io->finished = true;
        io->error = io->start_error;
    }
    return io;
}

}  // namespace

bool pending_io::done() const {
    return finished || load(ov.Internal) != pending_status;
}

void pending_io::finish() {
    if (finished)
        return;
    // Every request the harness started ends: completed by the driver, by a cancellation or
    // by the clean-up of its handle. One still out after a minute of virtual time never will.
    auto& s = scheduler::get();
    const platform::ticks limit = s.now() + 60000 * platform::ticks_per_ms;
    {
        std::unique_lock lk(s.lock());
        s.block(
            lk, [this] { return load(ov.Internal) != pending_status; }, limit,
            "fuzz: a request to complete");
    }
    fuzz::expect(load(ov.Internal) != pending_status, "a request never completed");
    finished = true;
    const auto status = static_cast<NTSTATUS>(static_cast<ULONG>(load(ov.Internal)));
    error = NT_SUCCESS(status) ? 0 : RtlNtStatusToDosError(status);
    transferred = static_cast<DWORD>(load(ov.InternalHigh));
}

pending_io::~pending_io() {
    fuzz::expect(finished, "a request left behind by the harness");
}

std::unique_ptr<pending_io> start_read(HANDLE h, std::size_t size) {
    return start(h, bytes(size, 0xAB), true);
}

std::unique_ptr<pending_io> start_write(HANDLE h, bytes data) {
    return start(h, std::move(data), false);
}

}  // namespace fuzz::machine
