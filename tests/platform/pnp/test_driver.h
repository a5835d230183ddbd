// A tiny WDM function driver for the PnP manager's tests: its AddDevice creates an unnamed
// FDO and attaches it to the PDO; its PnP and power dispatch routines record what arrives
// (minor, power type, states, action) and pass the IRP down, or refuse it when told to; it
// answers one query interface. No framework involved, so these tests pin the PnP manager
// alone.
#pragma once

#include <ntddk.h>

#include <functional>
#include <string>
#include <vector>

#include "pnp/pnp_manager.h"

namespace pnp_test {

// What the driver does; tests set it before the operation.
struct behaviour {
    NTSTATUS add_device = STATUS_SUCCESS;
    NTSTATUS start = STATUS_SUCCESS;
    NTSTATUS query_stop = STATUS_SUCCESS;
    NTSTATUS query_remove = STATUS_SUCCESS;
    NTSTATUS driver_entry = STATUS_SUCCESS;
    bool set_unload = true;
    bool keep_device_on_remove = false;  // a buggy driver that never deletes its FDO
    // Interface enabled from inside IRP_MN_START_DEVICE (registered on the PDO first).
    const GUID* enable_interface_at_start = nullptr;
};

// The interface the driver answers IRP_MN_QUERY_INTERFACE for.
inline constexpr GUID answered_interface = {
    0x11112222, 0x3333, 0x4444, {0x55, 0x55, 0x66, 0x66, 0x77, 0x77, 0x88, 0x88}};
struct answered_interface_layout {
    INTERFACE header;
    ULONG magic;
};
inline constexpr ULONG answered_magic = 0x5a5a1234;

struct driver_log {
    std::vector<std::string> irps;     // "start", "power system S3 sleep", "power device D0 none"
    std::vector<std::string> threads;  // the thread each dispatch/entry ran on
    std::u16string registry_path;      // as DriverEntry received it
    int entry_calls = 0;
    int unload_calls = 0;
    int add_calls = 0;
    PDEVICE_OBJECT last_fdo = nullptr;
    PDEVICE_OBJECT last_pdo = nullptr;
    std::u16string interface_link;  // registered at start when asked
};

behaviour& config();
driver_log& log();
void reset();

DRIVER_INITIALIZE DriverEntry;

// Registers and loads the test driver under `name`.
platform::pnp::driver* load(std::u16string name = u"pnptest");

// Blocks the calling thread in virtual time until `ready()` is true (checked every ms), at
// most `limit_ms`; returns whether it became true.
bool wait_until(const std::function<bool()>& ready, int limit_ms = 10'000);

}  // namespace pnp_test
