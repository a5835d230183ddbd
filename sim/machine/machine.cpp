// The machine with VRAX installed, over the machine that installs any driver.
#include "machine.h"

#include <utility>

// The driver's entry point, linked in from the driver library.
extern "C" DRIVER_INITIALIZE DriverEntry;

namespace sim {
namespace pnp = platform::pnp;

driver_package vrax_package(std::optional<bool> support_new_hwid) {
    driver_package p;
    p.service = u"vrax";
    p.entry = DriverEntry;
    p.hardware_id = u"ROOT\\VRAX";
    if (support_new_hwid) {
        p.hardware_key.emplace(u"SupportNewHWID",
                               pnp::reg_sz(*support_new_hwid ? u"True" : u"False"));
    }
    return p;
}

namespace {

platform_machine_options host_options(const machine_options& o) {
    platform_machine_options h;
    h.os_major = o.os_major;
    h.os_minor = o.os_minor;
    h.os_build = o.os_build;
    h.wall_clock = o.wall_clock;
    return h;
}

}  // namespace

machine::machine(machine_options options) : host_(host_options(options)) {
    if (options.trace_level != 0) {
        trace_ = host_.start_trace(platform::wpp::vrax_control_guid(), options.trace_level,
                                   options.trace_flags);
    }
    vrax_ = &host_.install(vrax_package(options.support_new_hwid));
}

machine::~machine() {
    if (!host_.shut_down()) {
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
    NTSTATUS status = vrax_->load();
    running_ = NT_SUCCESS(status);
    return record("load driver vrax (DriverEntry)", status);
}

NTSTATUS machine::add_device() {
    return record("add device ROOT\\VRAX (AddDevice)", vrax_->add_device());
}

NTSTATUS machine::start_device() {
    return record("start device", vrax_->start());
}

NTSTATUS machine::sleep() {
    return record("sleep (S3, device D3)", vrax_->sleep());
}

NTSTATUS machine::resume() {
    return record("resume (S0, device D0)", vrax_->resume());
}

NTSTATUS machine::query_stop() {
    return record("query-stop", vrax_->query_stop());
}

NTSTATUS machine::query_remove() {
    return record("query-remove", vrax_->query_remove());
}

NTSTATUS machine::surprise_remove() {
    return record("surprise removal", vrax_->surprise_remove());
}

NTSTATUS machine::remove_device() {
    return record("remove device", vrax_->remove_device());
}

NTSTATUS machine::unload_driver() {
    NTSTATUS status = vrax_->unload();
    if (NT_SUCCESS(status)) {
        running_ = false;
    }
    return record("unload driver vrax", status);
}

std::vector<std::string> machine::shutdown() {
    if (host_.shut_down()) {
        return {};
    }
    if (device() != nullptr) {
        auto s = pnp::state(device());
        if (s != pnp::device_state::removed && s != pnp::device_state::failed &&
            !NT_SUCCESS(remove_device())) {
            // The device vetoed the orderly removal (it refuses query-remove): take it away
            // as its bus would, by surprise removal; the removal follows when its last handle
            // closes, or when its driver unloads.
            surprise_remove();
        }
    }
    if (vrax_->loaded()) {
        unload_driver();
    }
    return host_.shutdown();
}

}  // namespace sim
