// A simulated Windows machine that installs any driver: each package names the driver's
// entry point, its service, the hardware id of the root-enumerated device node it serves,
// and what its INF writes (the device's hardware-key values, the service's parameters, the
// device interfaces it registers). Several drivers live in one machine; programs run as
// processes with an account. Shutdown removes every device, unloads every driver and runs the
// verifier's final check.
//
//     sim::platform_machine m;
//     auto& echo = m.install({u"ECHO", DriverEntry, u"root\\ECHO", {}, {}, {}});
//     m.boot();                                          // load, add and start every package
//     auto app = m.run_program(io::token_kind::administrator, "echoapp", [] { return 0; });
//     app->wait();
//     echo.sleep(); echo.resume();
//     m.shutdown();
//
// One machine exists at a time in a process (the platform is process-wide state).
#pragma once

#include <ntddk.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "io/security.h"
#include "pnp/pnp_manager.h"
#include "wpp/trace_session.h"

namespace platform::win32 {
class process;
}

namespace sim {

// A device interface the INF registers for the device (an AddInterface directive): present
// before the driver starts the device; the driver enables it.
struct inf_interface {
    GUID type{};
    std::u16string reference;  // empty: none
};

struct driver_package {
    std::u16string service;                       // "ECHO": \Driver\ECHO and its service key
    PDRIVER_INITIALIZE entry = nullptr;           // the driver's DriverEntry
    std::u16string hardware_id;                   // "root\ECHO": its root-enumerated device
    platform::pnp::registry_values hardware_key;  // the device's hardware-key values
    platform::pnp::registry_values parameters;    // the service key's Parameters values
    std::vector<inf_interface> interfaces;        // registered when the device node is made
};

// What a machine did, in order, for transcripts and test messages.
struct machine_event {
    std::string what;
    NTSTATUS status = 0;
};

class platform_machine;

// One installed package: its driver and its device node. Each operation returns the status
// the PnP manager reported and is recorded in the machine's events as "<service>: <what>".
class installed_driver {
  public:
    installed_driver(platform_machine& machine, driver_package package);
    installed_driver(const installed_driver&) = delete;
    installed_driver& operator=(const installed_driver&) = delete;

    const driver_package& package() const { return package_; }
    platform::pnp::driver* driver() const { return driver_; }
    platform::pnp::device_node* device() const { return node_; }
    PDEVICE_OBJECT function_device() const;  // the top of the device's stack, or NULL
    bool loaded() const;

    NTSTATUS boot();  // load, add the device, start it: the first failure
    NTSTATUS load();  // DriverEntry with the service key's path
    NTSTATUS add_device();
    NTSTATUS start();
    NTSTATUS sleep();
    NTSTATUS resume();
    NTSTATUS query_stop();
    NTSTATUS query_remove();
    NTSTATUS surprise_remove();
    NTSTATUS remove_device();
    NTSTATUS unload();
    // Removes the device (by surprise removal when it vetoes an orderly one) and unloads.
    void take_down();

  private:
    friend class platform_machine;
    NTSTATUS record(const std::string& what, NTSTATUS status);
    // The PnP manager has forgotten every driver and node (after shutdown).
    void forget() {
        driver_ = nullptr;
        node_ = nullptr;
    }

    platform_machine& machine_;
    driver_package package_;
    platform::pnp::driver* driver_ = nullptr;
    platform::pnp::device_node* node_ = nullptr;
};

// A program running as a process of the machine.
class program {
  public:
    program(std::shared_ptr<platform::win32::process> process);
    void wait();  // until the process has ended
    bool exited();
    DWORD exit_code();  // STILL_ACTIVE while running
    void interrupt();   // Ctrl-C, as the console delivers it
    void terminate(DWORD code);
    platform::win32::process& process() { return *process_; }

  private:
    std::shared_ptr<platform::win32::process> process_;
};

struct platform_machine_options {
    // The version RtlGetVersion / PsGetVersion report.
    std::uint32_t os_major = 10;
    std::uint32_t os_minor = 0;
    std::uint32_t os_build = 19045;
    // Real time instead of virtual time (interactive runs).
    bool wall_clock = false;
};

class platform_machine {
  public:
    explicit platform_machine(platform_machine_options options = {});
    ~platform_machine();  // shuts down if still running (final check included)
    platform_machine(const platform_machine&) = delete;
    platform_machine& operator=(const platform_machine&) = delete;

    // Installs a package; nothing runs until boot() or the driver's own operations. Two
    // packages may not share a service name.
    installed_driver& install(driver_package package);
    installed_driver* find(std::u16string_view service);
    const std::vector<std::unique_ptr<installed_driver>>& drivers() const { return drivers_; }

    // Boots every package not yet booted, in the order installed; the first failure.
    NTSTATUS boot();

    // Starts `main` as the main thread of a new process running as `account`; the process
    // exits when it returns (with exit code 0) or calls ExitProcess.
    std::shared_ptr<program> run_program(platform::io::token_kind account, std::string name,
                                         std::function<void()> main);

    // A trace session for a provider's control GUID (a driver's, enabled before it loads);
    // stopped at shutdown, before the final check.
    platform::wpp::trace_session* start_trace(const GUID& control, UCHAR level, ULONG flags);

    // Ends the programs still running, removes every device and unloads every driver (in the
    // reverse order of installation), then runs the final check. Returns the report lines
    // found (empty: clean). A finding is a bug check, unless `report_only`: then the lines
    // are only returned (for runners that print a verdict) and, when there are any, the PnP
    // manager's state is left as it is.
    std::vector<std::string> shutdown(bool report_only = false);
    bool shut_down() const { return shut_down_; }

    void record(std::string what, NTSTATUS status);
    const std::vector<machine_event>& events() const { return events_; }

  private:
    platform_machine_options options_;
    std::vector<std::unique_ptr<installed_driver>> drivers_;
    std::vector<std::shared_ptr<program>> programs_;
    std::vector<std::unique_ptr<platform::wpp::trace_session>> traces_;
    std::vector<machine_event> events_;
    bool shut_down_ = false;
};

// Win32 error code and its symbolic name, for transcripts ("5 ERROR_ACCESS_DENIED").
std::string win32_error_name(unsigned long code);
// NTSTATUS and its symbolic name ("0xC0000022 STATUS_ACCESS_DENIED").
std::string status_name(NTSTATUS status);

}  // namespace sim
