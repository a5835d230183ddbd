// Loads the driver through the PnP manager and serves one control device, for the driver's
// start-up and control-device tests. Also opens the device and sends it requests the way the
// I/O manager does for a program.
#pragma once

#include <ntddk.h>

#include <memory>
#include <string>

#include "io/io_manager.h"
#include "pnp/pnp_manager.h"

namespace vrax_test {

// A distinct error status per case, so a test can tell which injected failure came back.
inline NTSTATUS injected_status(unsigned i) {
    return static_cast<NTSTATUS>(0xE0000100u + i);
}

class harness {
  public:
    harness();
    ~harness();

    NTSTATUS load();
    // Adds the root device (with the given hardware-key values) and starts it; returns the
    // status of whichever failed first.
    NTSTATUS add_and_start(platform::pnp::registry_values hardware_key = {});
    // Removes the device the way a non-stoppable device can go: surprise removal, then
    // removal at once.
    void remove();
    NTSTATUS unload();

    platform::pnp::driver* driver() { return driver_; }
    platform::pnp::device_node* node() { return node_; }

    // Marks the driver's device interface enabled, as the port does once the modem channel
    // is open, so that handles can be opened.
    static void set_interface_enabled(bool enabled);

  private:
    platform::pnp::driver* driver_ = nullptr;
    platform::pnp::device_node* node_ = nullptr;
};

// A kernel-mode open of \Device\VRAX; closed when the object goes.
class open_handle {
  public:
    open_handle();
    ~open_handle();
    NTSTATUS status() const { return status_; }
    PFILE_OBJECT file() const;
    // Sends a request and waits for it.
    NTSTATUS control(ULONG code);
    NTSTATUS read();
    NTSTATUS write();
    // Sends a device control and leaves it pending; returns the request.
    std::shared_ptr<platform::io::request> start_control(ULONG code);

  private:
    NTSTATUS send(UCHAR major, ULONG code);
    NTSTATUS status_;
    platform::ob::ref<platform::ob::object> file_;
    unsigned char buffer_[16] = {};
};

bool event_signalled(PKEVENT event);

}  // namespace vrax_test
