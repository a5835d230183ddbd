// A simulated Windows machine with VRAX installed: it boots the host platform, loads the
// driver, adds and starts its root-enumerated control device, runs programs as processes
// with a chosen account, injects Plug and Play and power events and faults, and shuts down
// with the verifier's final check (pool by tag, handles, references, devices, PnP
// notifications).
//
//     sim::machine m;                    // Windows 10.0, virtual time, tracing at verbose
//     m.boot();                          // DriverEntry, AddDevice, start
//     PDEVICE_OBJECT cdo = m.control_device_object();  // what programs open as \\.\VRAX
//     m.sleep(); m.resume();             // S3 and D3, then S0 and D0
//     for (const auto& e : m.events()) { ... }          // what the machine did, in order
//     m.shutdown();                      // removal, unload, final check
//
// One machine exists at a time in a process (the platform is process-wide state).
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform_machine.h"
#include "pnp/pnp_manager.h"
#include "wpp/trace_session.h"

namespace sim {

struct machine_options {
    // The version RtlGetVersion / PsGetVersion report.
    std::uint32_t os_major = 10;
    std::uint32_t os_minor = 0;
    std::uint32_t os_build = 19045;
    // Real time instead of virtual time (interactive runs).
    bool wall_clock = false;
    // A trace session for the driver's control GUID, enabled before the driver loads; level
    // 0 starts none.
    UCHAR trace_level = 5;
    ULONG trace_flags = 0x1;
    // The "SupportNewHWID" value of the device's hardware key, if any: a REG_SZ, as the
    // driver package writes it ("True" or "False").
    std::optional<bool> support_new_hwid;
};

// What vrax.inf installs: the service "vrax" for the root-enumerated device ROOT\VRAX, with
// the hardware key's SupportNewHWID when given.
driver_package vrax_package(std::optional<bool> support_new_hwid = std::nullopt);

// The machine with VRAX installed. Other drivers are installed beside it through host().
class machine {
  public:
    explicit machine(machine_options options = {});
    ~machine();  // shuts down if still running (final check included)
    machine(const machine&) = delete;
    machine& operator=(const machine&) = delete;

    // Loads the driver, adds its device and starts it; returns the first failing status.
    NTSTATUS boot();
    NTSTATUS load_driver();
    NTSTATUS add_device();
    NTSTATUS start_device();

    // Plug and Play and power events for the VRAX device. After a surprise removal the
    // device is removed (IRP_MN_REMOVE_DEVICE) when its last handle closes, as the PnP
    // manager does it, at once when none is open, and at the latest when the driver unloads.
    NTSTATUS sleep();
    NTSTATUS resume();
    NTSTATUS query_stop();
    NTSTATUS query_remove();
    NTSTATUS surprise_remove();
    NTSTATUS remove_device();
    NTSTATUS unload_driver();

    // Removes the device, unloads the driver, then does the same for every other installed
    // driver, stops tracing and runs the final check (a violation is a bug check). Returns
    // the report lines that were found (empty: clean).
    std::vector<std::string> shutdown();

    platform::pnp::device_node* device() const { return vrax_->device(); }
    platform::pnp::driver* driver() const { return vrax_->driver(); }
    PDEVICE_OBJECT control_device_object() const { return vrax_->function_device(); }
    platform::wpp::trace_session* trace() const { return trace_; }
    // VRAX's own operations, in order (the host's events carry every driver's).
    const std::vector<machine_event>& events() const { return events_; }
    bool running() const { return running_; }
    platform_machine& host() { return host_; }

  private:
    NTSTATUS record(std::string what, NTSTATUS status);

    platform_machine host_;
    installed_driver* vrax_ = nullptr;
    platform::wpp::trace_session* trace_ = nullptr;
    std::vector<machine_event> events_;
    bool running_ = false;
};

}  // namespace sim
