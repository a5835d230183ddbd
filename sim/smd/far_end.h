// The far end of the simulated SMD channels: the place where the modem sits. A test (or the
// modem emulator) takes the modem's place through this API, per port 0..28:
//
//   - frames the SMD driver was asked to write: next_frame() with a deadline in virtual time,
//     or a frame hook called for each one;
//   - bytes the driver is to hand out as the next read: queue_read() (signals the channel's
//     read event);
//   - the channel opened or closed from the SMD side: open_channel() / close_channel()
//     (signal the open and close events);
//   - the open and close requests the driver received, decoded: open_requests(),
//     close_requests();
//   - misbehaviour on demand: inject() a fault into one of the three controls, the reads or
//     the writes of a port;
//   - the SMD device itself: its interface disabled and enabled, a surprise removal, a new
//     device arriving.
//
// Waiting. Every call here is made at PASSIVE_LEVEL from a thread the scheduler knows (the
// test's own thread, registered by tests/support/test_main.cpp, a program thread, or the
// frame-hook thread). next_frame() blocks through platform::scheduler, so virtual time moves
// on while it waits and a wait no one can end is reported as a deadlock. To wait for the
// driver's side of something (a read completing, an event signalled) a test blocks through
// the scheduler as well: KeWaitForSingleObject with a time-out, io::wait_request, or
// scheduler::block on state it changes under scheduler::lock().
//
// Which device. Calls that reach the driver go to the newest SMD device that is started and
// neither removed nor surprise-removed; STATUS_NO_SUCH_DEVICE when there is none. The far
// end's own state (frames written, requests seen, faults, hooks, whether the far end has the
// port open) belongs to the port, not to a device: it survives a device's removal and is
// forgotten only by reset().
//
// Channel life, seen from here. A channel (one handle of the SMD device) is bound to a port
// by IOCTL_SMD_OPEN. The far end's open is sticky: open_channel() before or after the open
// request; the open event is signalled once both have happened. close_channel() signals the
// close event, drops the chunks still queued and fails the reads waiting on that channel with
// STATUS_PORT_DISCONNECTED; the far end counts as closed until open_channel() again. A
// channel the far end closed stays closed (its client answers with IOCTL_SMD_CLOSE); the next
// channel bound to the port is met by the next open. Writes succeed only on a channel open at
// both ends.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/scheduler.h"

namespace smd::far_end {

// ---- Frames the driver wrote ----------------------------------------------------------------

// A deadline `ms` milliseconds of (virtual) time from now.
platform::ticks deadline_in_ms(std::int64_t ms);

// The oldest frame written on `port` and not yet taken, waiting until `deadline` (absolute,
// in scheduler ticks) for one; nothing when the deadline passes first. Frames delivered to a
// frame hook never show up here.
std::optional<std::vector<std::uint8_t>> next_frame(unsigned port, platform::ticks deadline);
// Frames written on `port` and not yet taken.
std::size_t frames_waiting(unsigned port);

// Called for every frame the driver writes on the port, instead of keeping it for
// next_frame(). It runs on the far end's own thread ("smd far end"), one frame at a time in
// the order written, at PASSIVE_LEVEL, after the write has completed and with no driver or
// platform lock held. It may call queue_read(), open_channel() and close_channel(); it must
// not block (no next_frame(), no waits): answer later from another thread if need be. An empty
// hook removes the port's hook.
using frame_hook = std::function<void(unsigned port, std::vector<std::uint8_t> frame)>;
void set_frame_hook(unsigned port, frame_hook hook);

// ---- Bytes for the driver to read --------------------------------------------------------------

// Queues `bytes` (one chunk: a read returns it whole, or cut to the reader's buffer with the
// rest dropped) on the channel bound to `port` and signals its read event. Returns
// STATUS_SUCCESS; STATUS_INVALID_PARAMETER for an empty chunk or a port out of range;
// STATUS_INVALID_DEVICE_STATE when no channel is bound to the port, or the far end closed it
// and has not opened it again (whichever channel the driver has bound to it since);
// STATUS_NO_SUCH_DEVICE when no SMD device is there.
//
// `at_queue`, when given, is called once on the calling thread as the chunk's fate is settled:
// under the SMD device's lock as the chunk joins the channel's queue or is refused (or at once
// when there is no channel or device), before the driver can see the chunk. So the calls of
// senders on several threads come in the order the driver reads their chunks. It only takes
// note (a counter, a stamp, a brief lock of its own): no waits, no platform or far-end calls.
using queue_hook = std::function<void()>;
NTSTATUS queue_read(unsigned port, std::vector<std::uint8_t> bytes,
                    const queue_hook& at_queue = {});

// ---- The channel from the SMD side --------------------------------------------------------------

// Opens the port from the far end: signals the open event of the channel bound to it now, or
// of the next channel bound to it. STATUS_INVALID_PARAMETER for a port out of range.
NTSTATUS open_channel(unsigned port);
// Closes the port from the far end (see above). STATUS_INVALID_DEVICE_STATE when no channel
// is bound to it (the far end still counts as closed afterwards).
NTSTATUS close_channel(unsigned port);
// Whether the far end has the port open.
bool far_end_open(unsigned port);

// ---- What the driver received
// ----------------------------------------------------------------------

struct open_request {
    NTSTATUS status = STATUS_PENDING;  // the answer; STATUS_PENDING: held by a fault
    ULONG input_length = 0;
    std::optional<unsigned> port;  // when all three names are valid and agree
    // The short names as sent, up to their terminator (or the whole field when there is none).
    std::u16string read_event, open_event, close_event;
};
struct close_request {
    NTSTATUS status = STATUS_PENDING;
    std::optional<unsigned> port;  // the port the channel was bound to, if it was
};
// Every open / close request any SMD device received, oldest first.
std::vector<open_request> open_requests();
std::vector<close_request> close_requests();

// ---- Misbehaviour
// ------------------------------------------------------------------------------------

enum class target { open, close, read_pending, read, write };

struct fault {
    enum class kind {
        fail,            // complete with `status` (STATUS_PENDING: held, as never_complete)
        never_complete,  // keep the request until it is cancelled (the sender's time-out)
        byte_count,      // reads and read_pending: complete with `bytes` as the information
    };
    kind what = kind::fail;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG bytes = 0;
    unsigned times = std::numeric_limits<unsigned>::max();  // requests it applies to

    static fault fail(NTSTATUS status, unsigned times = std::numeric_limits<unsigned>::max()) {
        return {kind::fail, status, 0, times};
    }
    static fault never(unsigned times = std::numeric_limits<unsigned>::max()) {
        return {kind::never_complete, STATUS_SUCCESS, 0, times};
    }
    static fault byte_count(ULONG bytes, unsigned times = std::numeric_limits<unsigned>::max()) {
        return {kind::byte_count, STATUS_SUCCESS, bytes, times};
    }
};

// Arms `f` for the next `f.times` requests of kind `t` on `port` (replacing what was armed):
//   open, close, read_pending  when the request arrives (an open once its names are valid);
//     a failed or held request changes nothing in the channel; (byte_count, read_pending
//     only) the query answers `bytes` as the pending count, whatever is queued;
//   read   when the driver has a chunk for a waiting read: the read fails or is held and the
//     chunk stays queued for the next read, or (byte_count) the chunk is handed over and the
//     read reports `bytes` (at most the reader's buffer) as its length;
//   write  when the write arrives: the frame is not passed on.
void inject(unsigned port, target t, fault f);
void clear_faults(unsigned port);

// ---- The SMD device
// ------------------------------------------------------------------------------------

// Disables or enables the SMD device interface, leaving the channels as they are.
NTSTATUS set_interface_enabled(bool enabled);
// Surprise-removes the current SMD device (its removal follows once its last handle closes).
NTSTATUS surprise_remove();
// A new SMD device arrives (added and started); it becomes the current device.
NTSTATUS add_device();

// Forgets every port's state, hook and fault and stops the far end's thread (delivering the
// frames it still holds first). For the start and end of a test, and the machine's shutdown:
// the far end's thread must not outlive the machine. Not from inside a frame hook, which
// must not remove the last hook either (a bug check: the thread would wait for itself).
void reset();

}  // namespace smd::far_end
