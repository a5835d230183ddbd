// What the PnP manager's own sources share: the driver and device-node records, the manager
// with its "pnp" thread, and the steps the state machine, power and driver-loading code are
// built from. Not for use outside platform/pnp.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/scheduler.h"
#include "io/irp.h"
#include "pnp/pnp_manager.h"

namespace platform::pnp {

struct driver {
    driver_module module;
    std::u16string registry_path;
    kernel::owned_unicode_string registry_path_string;  // what DriverEntry receives
    std::atomic<PDRIVER_OBJECT> object = nullptr;       // while loaded
};

struct device_node {
    driver* drv = nullptr;
    std::u16string hardware_id;
    std::u16string instance;
    PDEVICE_OBJECT pdo = nullptr;  // NULL once removed
    // Written on the pnp thread, read anywhere.
    std::atomic<device_state> st = device_state::added;
    std::atomic<NTSTATUS> last = STATUS_SUCCESS;
};

namespace detail {

// The device class key drivers' software keys (PLUGPLAY_REGKEY_DRIVER) live under.
constexpr std::u16string_view class_key_path =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
    u"{4d36e97d-e325-11ce-bfc1-08002be10318}\\";

// How often the pnp thread looks at the handles of a surprise-removed device whose removal
// waits for them to close.
constexpr ticks handle_poll_interval = 10 * ticks_per_ms;

// Where the instance's own hardware key (PLUGPLAY_REGKEY_DEVICE) lives.
std::u16string hardware_key_path(const device_node* node);
// The node's software key (PLUGPLAY_REGKEY_DRIVER): the class key and the node's index.
std::u16string driver_key_path(const device_node* node);

struct job {
    std::function<void()> body;
    bool done = false;  // guarded by the scheduler lock
};

class manager {
  public:
    static manager& get() {
        static manager* m = new manager();  // never destroyed: its threads outlive main
        return *m;
    }

    // Runs `body` on the pnp thread and waits for it; inline when already there.
    void run(const std::function<void()>& body);

    std::mutex lock;  // guards drivers, nodes, pdo map, pending removals
    std::vector<std::unique_ptr<driver>> drivers;
    std::vector<std::unique_ptr<device_node>> nodes;
    std::map<PDEVICE_OBJECT, device_node*> by_pdo;
    std::vector<device_node*> awaiting_handles;  // surprise-removed, removal pending
    PDRIVER_OBJECT bus = nullptr;
    unsigned next_pdo_number = 1;

    // Completed IRPs are freed a few operations later rather than as soon as their
    // completion signals, so nothing on the completing thread can touch freed memory.
    void retire(std::unique_ptr<_IRP> irp) {
        std::lock_guard g(lock);
        retired_.push_back(std::move(irp));
        if (retired_.size() > 8) {
            retired_.pop_front();
        }
    }

    // Removes the surprise-removed devices whose last handle has closed (pnp thread).
    void check_awaiting_handles();

  private:
    manager() = default;
    void start_thread();
    void thread_body();

    // Guarded by the scheduler lock.
    std::deque<job*> jobs_;
    bool started_ = false;
    thread_record* thread_ = nullptr;
    std::shared_ptr<scheduler::joinable> handle_;
    std::deque<std::unique_ptr<_IRP>> retired_;
};

// ---- Helpers (pnp_manager.cpp) -------------------------------------------------------------

std::u16string hex_name(unsigned n);      // "0000002A"
std::u16string index_suffix(unsigned n);  // "0042"
[[noreturn]] void violation(const std::string& what, std::uint64_t p1 = 0);
device_node* check(device_node* n);  // bug-checks a NULL node
bool present(const device_node* n);  // neither removed nor failed

// The bus driver that owns every PDO, created on first use.
PDRIVER_OBJECT bus_driver();
// The top of the stack the PDO belongs to, and the device attached right above the PDO.
PDEVICE_OBJECT top_of(PDEVICE_OBJECT pdo);
PDEVICE_OBJECT attached_above(PDEVICE_OBJECT pdo);

// Sends an IRP (filled by `fill`) to the top of the PDO's stack and waits for its completion.
NTSTATUS send(PDEVICE_OBJECT pdo, const std::function<void(_IRP&)>& fill);
NTSTATUS send_pnp(PDEVICE_OBJECT pdo, UCHAR minor);
NTSTATUS send_power(PDEVICE_OBJECT pdo, POWER_STATE_TYPE type, SYSTEM_POWER_STATE sx,
                    DEVICE_POWER_STATE dx, POWER_ACTION action);

// ---- State machine steps (pnp_state_machine.cpp), on the pnp thread --------------------------

// IRP_MN_START_DEVICE; a failed start is followed by the removal of the stack.
NTSTATUS do_start(device_node* n);
// IRP_MN_QUERY_REMOVE_DEVICE, then the removal (when accepted and asked for) or the cancel.
// A sleeping device is refused unless `even_asleep` (removal at unload).
NTSTATUS do_query_remove(device_node* n, bool remove_if_accepted, bool even_asleep = false);
// IRP_MN_REMOVE_DEVICE, then the PDO is deleted.
void remove_now(device_node* n, device_state final_state);
// Deletes a PDO whose stack has been torn down and forgets it.
void delete_pdo(device_node* n, device_state final_state);

}  // namespace detail
}  // namespace platform::pnp
