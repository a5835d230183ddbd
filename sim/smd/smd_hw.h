// The seam between the SMD driver and its far end, the simulated hardware: what the driver
// tells the far end (requests seen, frames written, its device arriving and going) and asks
// it (faults armed, whether the far end has a port open), and the driver's entry points the
// far end calls (the "interrupts": a chunk arrived, the far end opened or closed a port).
//
// The driver calls the far end without holding any of its own locks; the far end calls the
// driver at PASSIVE_LEVEL with no lock held.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "far_end.h"

struct _SMD_DEVICE_CONTEXT;

namespace smd::hw {

// ---- Driver to far end ------------------------------------------------------------------------

// The device is started: the far end may now call it. Devices are current newest first.
void device_started(_SMD_DEVICE_CONTEXT* device);
// The device is going (surprise removal or removal): no new far-end calls reach it, and this
// returns once the calls in progress have left it. Safe to call twice.
void device_gone(_SMD_DEVICE_CONTEXT* device);

void open_request_seen(far_end::open_request request);
void close_request_seen(far_end::close_request request);
void frame_written(unsigned port, std::span<const std::uint8_t> frame);
bool far_end_open(unsigned port);
// The far end closed the port and has not opened it again. Takes no lock: callable under the
// device lock.
bool far_end_closed(unsigned port);
// Takes one use of the fault armed for (port, t), if any.
std::optional<far_end::fault> take_fault(unsigned port, far_end::target t);

}  // namespace smd::hw

// ---- Far end to driver (defined by the driver) --------------------------------------------------

// AtQueue runs under the device lock as the chunk joins the channel's queue or is refused, or
// first thing when no channel is bound to the port.
NTSTATUS SmdHwQueueChunk(_SMD_DEVICE_CONTEXT* Device, ULONG Port, std::vector<std::uint8_t> Bytes,
                         const std::function<void()>& AtQueue);
NTSTATUS SmdHwFarOpen(_SMD_DEVICE_CONTEXT* Device, ULONG Port);
NTSTATUS SmdHwFarClose(_SMD_DEVICE_CONTEXT* Device, ULONG Port);
VOID SmdHwSetInterfaceState(_SMD_DEVICE_CONTEXT* Device, BOOLEAN Enabled);
