// A machine with the simulated SMD driver and port 0 open at both ends, the test in the
// modem's place through the far end; for the delivery and kernel client tests. Also the
// kernel client interface as another driver obtains it, and handles of \Device\VRAX opened
// the way a kernel-mode caller opens them.
#pragma once

#include <gtest/gtest.h>

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <vrax/vrax_interface.h>

#include "io/io_manager.h"
#include "machine/machine.h"

namespace delivery_test {

using bytes = std::vector<std::uint8_t>;

void settle_ms(std::int64_t ms);
bool wait_until(const std::function<bool()>& done, std::int64_t ms = 20000);

// A frame with a correct header around `message`.
bytes frame(UCHAR service, UCHAR client, const bytes& message, UCHAR flags = 0);

// A kernel-mode, asynchronous open of \Device\VRAX; cleaned up when the object goes.
class handle {
  public:
    handle();
    ~handle();
    handle(const handle&) = delete;
    handle& operator=(const handle&) = delete;
    NTSTATUS status() const { return status_; }
    PFILE_OBJECT file() const;
    // Sends a request and leaves it to complete; `buffer` must outlive it.
    std::shared_ptr<platform::io::request> start(UCHAR major, ULONG code, void* buffer,
                                                 ULONG length);
    // Cleans the handle up now.
    void close();

  private:
    NTSTATUS status_;
    platform::ob::ref<platform::ob::object> file_;
    bool open_ = false;
};

class DeliveryMachine : public ::testing::Test {
  protected:
    // Boots, and waits for the port-open notice and the device interface.
    void bring_up();
    // The interface a kernel-mode client obtains with a query-interface request.
    VRAX_KERNEL_INTERFACE kernel_interface();
    // The next frame the driver wrote on port 0, within `ms` of virtual time.
    std::optional<bytes> next_frame(std::int64_t ms = 2000);
    // Hands `f` to the driver as the next read of port 0.
    void queue_read(const bytes& f);
    bool traced(const char* text) { return machine_->trace()->contains(text); }
    void TearDown() override;

    std::unique_ptr<sim::machine> machine_;
};

}  // namespace delivery_test
