// The machine that installs any driver: packages, their device nodes, programs, shutdown.
#include "platform_machine.h"

#include <cstdio>
#include <utility>

#include "core/bugcheck.h"
#include "core/scheduler.h"
#include "kernel/kernel.h"
#include "kernel/strings.h"
#include "kernel/system_config.h"
#include "win32/console.h"
#include "win32/process.h"

namespace sim {
namespace pnp = platform::pnp;

namespace {

std::string utf8(std::u16string_view s) {
    return platform::kernel::to_utf8(s);
}

}  // namespace

// ---- installed_driver ----------------------------------------------------------------------

installed_driver::installed_driver(platform_machine& machine, driver_package package)
    : machine_(machine), package_(std::move(package)) {}

NTSTATUS installed_driver::record(const std::string& what, NTSTATUS status) {
    machine_.record(utf8(package_.service) + ": " + what, status);
    return status;
}

PDEVICE_OBJECT installed_driver::function_device() const {
    return node_ == nullptr ? nullptr : pnp::function_device(node_);
}

bool installed_driver::loaded() const {
    return driver_ != nullptr && pnp::loaded(driver_);
}

NTSTATUS installed_driver::boot() {
    NTSTATUS status = load();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = add_device();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return start();
}

NTSTATUS installed_driver::load() {
    if (driver_ == nullptr) {
        driver_ = pnp::register_driver({package_.service, package_.entry, package_.parameters});
    }
    return record("load driver (DriverEntry)", pnp::load_driver(driver_));
}

NTSTATUS installed_driver::add_device() {
    node_ = pnp::add_device(driver_, {package_.hardware_id, package_.hardware_key});
    NTSTATUS status =
        pnp::state(node_) == pnp::device_state::failed ? pnp::last_status(node_) : STATUS_SUCCESS;
    // The INF's interfaces, registered on the device node as setup registers them; the driver
    // enables them when it starts the device.
    PDEVICE_OBJECT pdo = pnp::physical_device(node_);
    for (const auto& i : package_.interfaces) {
        if (!NT_SUCCESS(status) || pdo == nullptr) {
            break;
        }
        platform::kernel::owned_unicode_string reference(i.reference);
        UNICODE_STRING link{};
        status = IoRegisterDeviceInterface(pdo, &i.type,
                                           i.reference.empty() ? nullptr : reference.get(), &link);
        if (NT_SUCCESS(status)) {
            ExFreePool(link.Buffer);
        }
    }
    return record("add device " + utf8(package_.hardware_id) + " (AddDevice)", status);
}

NTSTATUS installed_driver::start() {
    return record("start device", pnp::start_device(node_));
}

NTSTATUS installed_driver::sleep() {
    return record("sleep (S3, device D3)", pnp::sleep_device(node_));
}

NTSTATUS installed_driver::resume() {
    return record("resume (S0, device D0)", pnp::resume_device(node_));
}

NTSTATUS installed_driver::query_stop() {
    return record("query-stop", pnp::query_stop(node_));
}

NTSTATUS installed_driver::query_remove() {
    return record("query-remove", pnp::query_remove(node_));
}

NTSTATUS installed_driver::surprise_remove() {
    return record("surprise removal", pnp::surprise_remove(node_));
}

NTSTATUS installed_driver::remove_device() {
    return record("remove device", pnp::remove_device(node_));
}

NTSTATUS installed_driver::unload() {
    return record("unload driver", pnp::unload_driver(driver_));
}

void installed_driver::take_down() {
    if (node_ != nullptr) {
        auto s = pnp::state(node_);
        if (s != pnp::device_state::removed && s != pnp::device_state::failed &&
            !NT_SUCCESS(remove_device())) {
            // The device vetoed the orderly removal (it refuses query-remove): take it away
            // as its bus would, by surprise removal; the removal follows when its last handle
            // closes, or when its driver unloads.
            surprise_remove();
        }
    }
    if (loaded()) {
        unload();
    }
}

// ---- program -------------------------------------------------------------------------------

program::program(std::shared_ptr<platform::win32::process> process)
    : process_(std::move(process)) {}

void program::wait() {
    process_->wait();
    process_->wait_threads();
}

bool program::exited() {
    return process_->exited();
}

DWORD program::exit_code() {
    return process_->exit_code();
}

void program::interrupt() {
    platform::win32::deliver_console_event(*process_, CTRL_C_EVENT);
}

void program::terminate(DWORD code) {
    process_->terminate(code);
}

// ---- platform_machine ----------------------------------------------------------------------

platform_machine::platform_machine(platform_machine_options options)
    : options_(std::move(options)) {
    if (options_.wall_clock) {
        platform::scheduler::get().set_mode(platform::time_mode::wall_clock);
    }
    platform::kernel::set_os_version(options_.os_major, options_.os_minor, options_.os_build);
}

platform_machine::~platform_machine() {
    if (!shut_down_) {
        shutdown();
    }
}

void platform_machine::record(std::string what, NTSTATUS status) {
    events_.push_back({std::move(what), status});
}

installed_driver& platform_machine::install(driver_package package) {
    if (package.entry == nullptr || package.service.empty() || find(package.service) != nullptr) {
        platform::bug_check(platform::bug_code::driver_verifier_detected_violation,
                            "machine: a package needs an entry point and a service name of "
                            "its own: " +
                                utf8(package.service));
    }
    drivers_.push_back(std::make_unique<installed_driver>(*this, std::move(package)));
    return *drivers_.back();
}

installed_driver* platform_machine::find(std::u16string_view service) {
    for (auto& d : drivers_) {
        if (platform::kernel::equal_insensitive(d->package().service, service)) {
            return d.get();
        }
    }
    return nullptr;
}

NTSTATUS platform_machine::boot() {
    for (auto& d : drivers_) {
        if (d->driver() != nullptr) {
            continue;  // booted (or at least loaded) already
        }
        NTSTATUS status = d->boot();
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

std::shared_ptr<program> platform_machine::run_program(platform::io::token_kind account,
                                                       std::string name,
                                                       std::function<void()> main) {
    auto p = std::make_shared<program>(platform::win32::process::create(account, std::move(name)));
    p->process().run(std::move(main));
    programs_.push_back(p);
    return p;
}

platform::wpp::trace_session* platform_machine::start_trace(const GUID& control, UCHAR level,
                                                            ULONG flags) {
    traces_.push_back(std::make_unique<platform::wpp::trace_session>(control, level, flags));
    return traces_.back().get();
}

namespace {

// Lets every other thread run until it blocks (virtual time passes the deadline only once all
// of them are blocked): the tail of a completion, which drops the references its request held,
// runs after the request is reported complete, and the final check must not race it.
void settle() {
    auto& s = platform::scheduler::get();
    const platform::ticks later = s.now() + platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    s.block(
        lk, [] { return false; }, later, "machine shutdown: other threads settling");
}

}  // namespace

std::vector<std::string> platform_machine::shutdown(bool report_only) {
    if (shut_down_) {
        return {};
    }
    shut_down_ = true;
    // Windows ends the programs before it powers down.
    for (auto& p : programs_) {
        if (!p->exited()) {
            p->terminate(static_cast<DWORD>(STATUS_UNSUCCESSFUL));
        }
        p->wait();
    }
    for (auto it = drivers_.rbegin(); it != drivers_.rend(); ++it) {
        (*it)->take_down();
    }
    for (auto& t : traces_) {
        t->stop();
    }
    settle();
    std::vector<std::string> report = pnp::final_check_report();
    if (report_only && !report.empty()) {
        return report;  // drivers still loaded: the PnP manager cannot be reset
    }
    pnp::final_check();
    // The PnP manager's own bus driver and registry go too, so that what the kernel still
    // holds afterwards is what the drivers left behind.
    pnp::reset();
    for (auto& d : drivers_) {
        d->forget();
    }
    for (auto& line : platform::kernel::outstanding()) {
        report.push_back(std::move(line));
    }
    if (!report_only) {
        platform::kernel::final_check();
    }
    return report;
}

std::string status_name(NTSTATUS status) {
    struct entry {
        NTSTATUS code;
        const char* name;
    };
    static const entry names[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_PENDING, "STATUS_PENDING"},
        {STATUS_TIMEOUT, "STATUS_TIMEOUT"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
        {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
        {STATUS_ACCESS_DENIED, "STATUS_ACCESS_DENIED"},
        {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
        {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {STATUS_OBJECT_NAME_COLLISION, "STATUS_OBJECT_NAME_COLLISION"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
        {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
        {STATUS_CANCELLED, "STATUS_CANCELLED"},
        {STATUS_NOINTERFACE, "STATUS_NOINTERFACE"},
        {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
        {STATUS_IO_TIMEOUT, "STATUS_IO_TIMEOUT"},
        {STATUS_DEVICE_NOT_READY, "STATUS_DEVICE_NOT_READY"},
    };
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(status));
    for (const auto& e : names) {
        if (e.code == status) {
            return std::string(hex) + " " + e.name;
        }
    }
    return hex;
}

std::string win32_error_name(unsigned long code) {
    struct entry {
        unsigned long code;
        const char* name;
    };
    static const entry names[] = {
        {0, "ERROR_SUCCESS"},
        {1, "ERROR_INVALID_FUNCTION"},
        {2, "ERROR_FILE_NOT_FOUND"},
        {5, "ERROR_ACCESS_DENIED"},
        {6, "ERROR_INVALID_HANDLE"},
        {21, "ERROR_NOT_READY"},
        {31, "ERROR_GEN_FAILURE"},
        {50, "ERROR_NOT_SUPPORTED"},
        {87, "ERROR_INVALID_PARAMETER"},
        {121, "ERROR_SEM_TIMEOUT"},
        {122, "ERROR_INSUFFICIENT_BUFFER"},
        {433, "ERROR_NO_SUCH_DEVICE"},
        {632, "ERROR_NOINTERFACE"},
        {995, "ERROR_OPERATION_ABORTED"},
        {997, "ERROR_IO_PENDING"},
        {1450, "ERROR_NO_SYSTEM_RESOURCES"},
        {5023, "ERROR_INVALID_STATE"},
    };
    for (const auto& e : names) {
        if (e.code == code) {
            return std::to_string(code) + " " + e.name;
        }
    }
    return std::to_string(code);
}

}  // namespace sim
