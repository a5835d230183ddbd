#include "machine.h"

#include <cstdio>
#include <utility>

#include "core/scheduler.h"
#include "kernel/kernel.h"
#include "kernel/system_config.h"

// The driver's entry point, linked in from the driver library.
extern "C" DRIVER_INITIALIZE DriverEntry;

namespace sim {
namespace pnp = platform::pnp;

machine::machine(machine_options options) : options_(std::move(options)) {
    auto& sched = platform::scheduler::get();
    if (options_.wall_clock) {
        sched.set_mode(platform::time_mode::wall_clock);
    }
    platform::kernel::set_os_version(options_.os_major, options_.os_minor, options_.os_build);
    if (options_.trace_level != 0) {
        trace_ = std::make_unique<platform::wpp::trace_session>(
            platform::wpp::vrax_control_guid(), options_.trace_level, options_.trace_flags);
    }
}

machine::~machine() {
    if (!shut_down_) {
        shutdown();
    }
}

NTSTATUS machine::record(std::string what, NTSTATUS status) {
    events_.push_back({std::move(what), status});
    return status;
}

NTSTATUS machine::boot() {
    NTSTATUS status = load_driver();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = add_device();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return start_device();
}

NTSTATUS machine::load_driver() {
    if (driver_ == nullptr) {
        driver_ = pnp::register_driver({u"vrax", DriverEntry, {}});
    }
    NTSTATUS status = pnp::load_driver(driver_);
    running_ = NT_SUCCESS(status);
    return record("load driver vrax (DriverEntry)", status);
}

NTSTATUS machine::add_device() {
    pnp::device_description description{u"ROOT\\VRAX", {}};
    if (options_.support_new_hwid) {
        description.hardware_key.emplace(
            u"SupportNewHWID", pnp::reg_sz(*options_.support_new_hwid ? u"True" : u"False"));
    }
    node_ = pnp::add_device(driver_, std::move(description));
    NTSTATUS status =
        pnp::state(node_) == pnp::device_state::failed ? pnp::last_status(node_) : STATUS_SUCCESS;
    return record("add device ROOT\\VRAX (AddDevice)", status);
}

NTSTATUS machine::start_device() {
    return record("start device", pnp::start_device(node_));
}

NTSTATUS machine::sleep() {
    return record("sleep (S3, device D3)", pnp::sleep_device(node_));
}

NTSTATUS machine::resume() {
    return record("resume (S0, device D0)", pnp::resume_device(node_));
}

NTSTATUS machine::query_stop() {
    return record("query-stop", pnp::query_stop(node_));
}

NTSTATUS machine::query_remove() {
    return record("query-remove", pnp::query_remove(node_));
}

NTSTATUS machine::surprise_remove() {
    return record("surprise removal",
                  pnp::surprise_remove(node_, pnp::removal_after_surprise::at_once));
}

NTSTATUS machine::remove_device() {
    return record("remove device", pnp::remove_device(node_));
}

NTSTATUS machine::unload_driver() {
    NTSTATUS status = pnp::unload_driver(driver_);
    if (NT_SUCCESS(status)) {
        running_ = false;
    }
    return record("unload driver vrax", status);
}

PDEVICE_OBJECT machine::control_device_object() const {
    return node_ == nullptr ? nullptr : pnp::function_device(node_);
}

std::vector<std::string> machine::shutdown() {
    if (shut_down_) {
        return {};
    }
    shut_down_ = true;
    if (node_ != nullptr) {
        auto s = pnp::state(node_);
        if (s != pnp::device_state::removed && s != pnp::device_state::failed &&
            !NT_SUCCESS(remove_device())) {
            // The device vetoed the orderly removal (it refuses query-remove): take it away
            // as its bus would, by surprise removal followed by removal.
            surprise_remove();
        }
    }
    if (driver_ != nullptr && pnp::loaded(driver_)) {
        unload_driver();
    }
    if (trace_) {
        trace_->stop();
    }
    std::vector<std::string> report = pnp::final_check_report();
    pnp::final_check();
    // The PnP manager's own bus driver and registry go too, so that what the kernel still
    // holds afterwards is what the drivers left behind.
    pnp::reset();
    for (auto& line : platform::kernel::outstanding()) {
        report.push_back(std::move(line));
    }
    platform::kernel::final_check();
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
