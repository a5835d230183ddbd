// The far end of the SMD channels: per-port state the modem's side keeps (frames written,
// requests seen, faults armed, hooks, whether it has the port open), the devices it can
// reach, and the thread that runs frame hooks.
//
// All state here is guarded by the scheduler lock, so next_frame() and a departing device's
// wait block through the scheduler on it. No driver code runs while it is held.
#include "far_end.h"

#include <array>
#include <atomic>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "core/bugcheck.h"
#include "core/driver_call.h"
#include "install.h"
#include "smd_driver.h"
#include "smd_hw.h"

namespace smd {
namespace {

using platform::scheduler;

constexpr std::size_t target_count = 5;

struct port_state {
    std::deque<std::vector<std::uint8_t>> written;  // frames not taken by next_frame()
    far_end::frame_hook hook;
    bool far_open = false;
    std::array<std::optional<far_end::fault>, target_count> faults;
};

struct device_entry {
    PSMD_DEVICE_CONTEXT device = nullptr;
    unsigned in_flight = 0;  // far-end calls inside the driver for this device
    bool gone = false;       // no new calls may start
};

struct hooked_frame {
    unsigned port = 0;
    std::vector<std::uint8_t> frame;
};

struct seam_state {
    std::array<port_state, SMD_PORT_COUNT> ports;
    std::vector<far_end::open_request> opens;
    std::vector<far_end::close_request> closes;
    // Set by close_channel() until open_channel(): read by the SMD driver under its device
    // lock, where the far end's lock cannot be taken.
    std::array<std::atomic<bool>, SMD_PORT_COUNT> closed_by_far_end{};
    std::list<device_entry> devices;  // in order of arrival; the current one is the last live
    std::deque<hooked_frame> hooked;  // waiting for the hook thread
    bool hook_thread_stop = false;
    std::shared_ptr<scheduler::joinable> hook_thread;
};

// Never destroyed: a driver may still call in while static destructors run.
seam_state& state() {
    static seam_state* s = new seam_state();
    return *s;
}

std::mutex& lock() {
    return scheduler::get().lock();
}

bool valid_port(unsigned port) {
    return port < SMD_PORT_COUNT;
}

void require_passive(const char* routine) {
    if (scheduler::get().current().irql != PASSIVE_LEVEL) {
        platform::bug_check(platform::bug_code::irql_not_less_or_equal,
                            std::string("smd::far_end::") + routine + " above PASSIVE_LEVEL");
    }
}

// Runs `call` on the current device with the device held against departure. The call is an
// entry into driver code, as an interrupt would be: the verifier checks it returns with the
// IRQL and locks it had.
template <typename F>
NTSTATUS with_device(const char* routine, F call) {
    require_passive(routine);
    seam_state& st = state();
    device_entry* entry = nullptr;
    {
        std::lock_guard g(lock());
        for (auto it = st.devices.rbegin(); it != st.devices.rend(); ++it) {
            if (!it->gone) {
                entry = &*it;
                break;
            }
        }
        if (entry == nullptr)
            return STATUS_NO_SUCH_DEVICE;
        ++entry->in_flight;
    }
    NTSTATUS status;
    {
        platform::verifier::driver_call guard({routine, entry->device->Device});
        status = call(entry->device);
    }
    std::lock_guard g(lock());
    --entry->in_flight;
    scheduler::get().wake();
    return status;
}

void run_hook_thread() {
    auto& s = scheduler::get();
    seam_state& st = state();
    for (;;) {
        std::unique_lock lk(s.lock());
        s.block(
            lk, [&] { return st.hook_thread_stop || !st.hooked.empty(); }, platform::no_deadline,
            "smd far end: waiting for a written frame");
        if (st.hooked.empty())
            return;  // stopping, nothing left to deliver
        hooked_frame item = std::move(st.hooked.front());
        st.hooked.pop_front();
        far_end::frame_hook hook = st.ports[item.port].hook;
        if (!hook) {
            // The hook went after the frame was written: keep the frame for next_frame().
            st.ports[item.port].written.push_back(std::move(item.frame));
            s.wake();
            continue;
        }
        lk.unlock();
        hook(item.port, std::move(item.frame));
    }
}

void stop_hook_thread() {
    seam_state& st = state();
    std::shared_ptr<scheduler::joinable> thread;
    {
        std::lock_guard g(lock());
        if (st.hook_thread && st.hook_thread->record() == &scheduler::get().current_locked()) {
            platform::bug_check(platform::bug_code::driver_verifier_detected_violation,
                                "smd::far_end: a frame hook removed the last hook or reset the "
                                "far end (its own thread cannot wait for itself)");
        }
        thread = std::move(st.hook_thread);
        st.hook_thread.reset();
        st.hook_thread_stop = true;
        scheduler::get().wake();
    }
    if (thread)
        thread->join();
    std::lock_guard g(lock());
    st.hook_thread_stop = false;
}

}  // namespace

// ---- Driver to far end
// ---------------------------------------------------------------------------

void hw::device_started(PSMD_DEVICE_CONTEXT device) {
    std::lock_guard g(lock());
    state().devices.push_back({device, 0, false});
}

void hw::device_gone(PSMD_DEVICE_CONTEXT device) {
    auto& s = scheduler::get();
    seam_state& st = state();
    std::unique_lock lk(s.lock());
    for (auto it = st.devices.begin(); it != st.devices.end(); ++it) {
        if (it->device != device)
            continue;
        it->gone = true;
        device_entry* entry = &*it;
        s.block(
            lk, [entry] { return entry->in_flight == 0; }, platform::no_deadline,
            "smd device leaving: far-end calls still in the driver");
        st.devices.erase(it);
        return;
    }
}

void hw::open_request_seen(far_end::open_request request) {
    std::lock_guard g(lock());
    state().opens.push_back(std::move(request));
    scheduler::get().wake();
}

void hw::close_request_seen(far_end::close_request request) {
    std::lock_guard g(lock());
    state().closes.push_back(std::move(request));
    scheduler::get().wake();
}

void hw::frame_written(unsigned port, std::span<const std::uint8_t> frame) {
    std::lock_guard g(lock());
    seam_state& st = state();
    std::vector<std::uint8_t> bytes(frame.begin(), frame.end());
    if (st.ports[port].hook)
        st.hooked.push_back({port, std::move(bytes)});
    else
        st.ports[port].written.push_back(std::move(bytes));
    scheduler::get().wake();
}

bool hw::far_end_open(unsigned port) {
    std::lock_guard g(lock());
    return state().ports[port].far_open;
}

bool hw::far_end_closed(unsigned port) {
    return state().closed_by_far_end[port].load();
}

std::optional<far_end::fault> hw::take_fault(unsigned port, far_end::target t) {
    std::lock_guard g(lock());
    std::optional<far_end::fault>& armed = state().ports[port].faults[static_cast<std::size_t>(t)];
    if (!armed)
        return std::nullopt;
    far_end::fault taken = *armed;
    if (armed->times != std::numeric_limits<unsigned>::max() && --armed->times == 0)
        armed.reset();
    return taken;
}

// ---- The far end's API
// ----------------------------------------------------------------------------

namespace far_end {

platform::ticks deadline_in_ms(std::int64_t ms) {
    return scheduler::get().now() + ms * platform::ticks_per_ms;
}

std::optional<std::vector<std::uint8_t>> next_frame(unsigned port, platform::ticks deadline) {
    if (!valid_port(port))
        return std::nullopt;
    require_passive("next_frame");
    auto& s = scheduler::get();
    port_state& p = state().ports[port];
    std::unique_lock lk(s.lock());
    std::string what = "smd far end: next frame written on port " + std::to_string(port);
    if (!s.block(
            lk, [&p] { return !p.written.empty(); }, deadline, what))
        return std::nullopt;
    std::vector<std::uint8_t> frame = std::move(p.written.front());
    p.written.pop_front();
    return frame;
}

std::size_t frames_waiting(unsigned port) {
    if (!valid_port(port))
        return 0;
    std::lock_guard g(lock());
    return state().ports[port].written.size();
}

void set_frame_hook(unsigned port, frame_hook hook) {
    if (!valid_port(port))
        return;
    seam_state& st = state();
    bool any = false;
    bool start = false;
    {
        std::lock_guard g(lock());
        st.ports[port].hook = std::move(hook);
        for (const port_state& p : st.ports)
            any = any || static_cast<bool>(p.hook);
        start = any && !st.hook_thread;
    }
    if (start) {
        // start_thread takes the scheduler lock itself.
        auto thread = scheduler::get().start_thread("smd far end", run_hook_thread);
        std::lock_guard g(lock());
        st.hook_thread = std::move(thread);
    }
    if (!any)
        stop_hook_thread();
}

NTSTATUS queue_read(unsigned port, std::vector<std::uint8_t> bytes, const queue_hook& at_queue) {
    bool noted = false;
    auto note = [&] {
        noted = true;
        if (at_queue)
            at_queue();
    };
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (valid_port(port) && !bytes.empty()) {
        status = with_device("SMD far end: chunk queued", [&](PSMD_DEVICE_CONTEXT device) {
            return SmdHwQueueChunk(device, port, std::move(bytes), note);
        });
    }
    if (!noted)
        note();
    return status;
}

NTSTATUS open_channel(unsigned port) {
    if (!valid_port(port))
        return STATUS_INVALID_PARAMETER;
    {
        std::lock_guard g(lock());
        state().ports[port].far_open = true;
        state().closed_by_far_end[port].store(false);
    }
    NTSTATUS status = with_device("SMD far end: port opened", [&](PSMD_DEVICE_CONTEXT device) {
        return SmdHwFarOpen(device, port);
    });
    // With no device yet, the open waits for the channel a later device binds.
    return status == STATUS_NO_SUCH_DEVICE ? STATUS_SUCCESS : status;
}

NTSTATUS close_channel(unsigned port) {
    if (!valid_port(port))
        return STATUS_INVALID_PARAMETER;
    {
        std::lock_guard g(lock());
        state().ports[port].far_open = false;
        state().closed_by_far_end[port].store(true);
    }
    return with_device("SMD far end: port closed",
                       [&](PSMD_DEVICE_CONTEXT device) { return SmdHwFarClose(device, port); });
}

bool far_end_open(unsigned port) {
    return valid_port(port) && hw::far_end_open(port);
}

std::vector<open_request> open_requests() {
    std::lock_guard g(lock());
    return state().opens;
}

std::vector<close_request> close_requests() {
    std::lock_guard g(lock());
    return state().closes;
}

void inject(unsigned port, target t, fault f) {
    if (!valid_port(port) || f.times == 0)
        return;
    // No request is ever completed with STATUS_PENDING (the I/O manager bug-checks): a failure
    // with that status keeps the request, as the control paths always took it to mean.
    if (f.what == fault::kind::fail && f.status == STATUS_PENDING)
        f = fault::never(f.times);
    std::lock_guard g(lock());
    state().ports[port].faults[static_cast<std::size_t>(t)] = f;
}

void clear_faults(unsigned port) {
    if (!valid_port(port))
        return;
    std::lock_guard g(lock());
    for (auto& f : state().ports[port].faults)
        f.reset();
}

NTSTATUS set_interface_enabled(bool enabled) {
    return with_device("SMD far end: interface state", [&](PSMD_DEVICE_CONTEXT device) {
        SmdHwSetInterfaceState(device, enabled ? TRUE : FALSE);
        return STATUS_SUCCESS;
    });
}

NTSTATUS surprise_remove() {
    require_passive("surprise_remove");
    return smd::surprise_remove();
}

NTSTATUS add_device() {
    require_passive("add_device");
    return smd::add_device();
}

void reset() {
    stop_hook_thread();
    std::lock_guard g(lock());
    seam_state& st = state();
    for (port_state& p : st.ports)
        p = port_state{};
    for (std::atomic<bool>& closed : st.closed_by_far_end)
        closed.store(false);
    st.opens.clear();
    st.closes.clear();
    st.hooked.clear();
}

}  // namespace far_end
}  // namespace smd
