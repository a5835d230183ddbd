// The contract between the I/O manager and the drivers it calls, in the shape of WDM:
// the I/O manager builds an IRP for every create, clean-up, close, read, write and device
// control, and calls the driver through DRIVER_OBJECT::MajorFunction[major] (what the
// framework installs in WdfDriverCreate). The driver completes the IRP exactly once with
// `complete_irp`, at once or later; returning STATUS_PENDING means "completed later".
//
// The IRP type is opaque to driver code (wdm.h only declares `struct _IRP`); only the
// platform's framework and I/O manager see its fields.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace platform {
struct thread_record;
}

struct _IRP {
    UCHAR major = 0;       // IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_READ, ...
    UCHAR minor = 0;       // IRP_MJ_PNP and IRP_MJ_POWER: IRP_MN_START_DEVICE, ...
    ULONG ioctl_code = 0;  // device controls
    // Buffered I/O: one system buffer holds the input and, on return, the output.
    std::vector<std::uint8_t> system_buffer;
    ULONG input_length = 0;   // device-control input, write length
    ULONG output_length = 0;  // device-control output, read length
    LONGLONG byte_offset = 0;
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;  // the device whose driver has the IRP (set by call_driver)
    KPROCESSOR_MODE requestor_mode = UserMode;
    ACCESS_MASK desired_access = 0;  // creates
    ULONG create_options = 0;        // creates: disposition << 24 | FILE_* options
    USHORT share_access = 0;         // creates: FILE_SHARE_*
    USHORT file_attributes = 0;      // creates: FILE_ATTRIBUTE_*
    ULONG ea_length = 0;             // creates: extended attributes (none here)
    // Creates: what Parameters.Create.SecurityContext points to (the I/O manager fills in
    // DesiredAccess and FullCreateOptions; no access state is modelled).
    IO_SECURITY_CONTEXT security_context{};
    platform::thread_record* thread = nullptr;  // the issuing thread, for cancel-at-exit

    // IRP_MJ_POWER / IRP_MN_SET_POWER and IRP_MN_QUERY_POWER: which kind of state, the
    // state, and why (sleep, hibernate, shutdown).
    POWER_STATE_TYPE power_type = SystemPowerState;
    SYSTEM_POWER_STATE system_state = PowerSystemWorking;
    DEVICE_POWER_STATE device_state = PowerDeviceD0;
    POWER_ACTION power_action = PowerActionNone;

    // IRP_MJ_PNP / IRP_MN_QUERY_INTERFACE: what the querying driver asks for and the
    // structure it supplies for the answer.
    const GUID* interface_type = nullptr;
    USHORT interface_size = 0;
    USHORT interface_version = 0;
    PINTERFACE interface = nullptr;
    PVOID interface_specific_data = nullptr;

    // Outcome, valid once completed.
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    bool completed = false;

    // Cancellation, as IoSetCancelRoutine/IoCancelIrp: the owner of a pending IRP sets a
    // cancel routine; cancelling sets `cancel` and, if a routine is set, takes it (so it
    // runs once) and calls it outside every platform lock. Guarded by `cancel_lock`.
    std::mutex cancel_lock;
    bool cancel = false;
    std::function<void(_IRP*)> cancel_routine;

    // IoSetCompletionRoutine: routines pushed by drivers that pass the IRP down; complete_irp
    // pops and calls them, last pushed first. One that returns STATUS_MORE_PROCESSING_REQUIRED
    // stops the completion: the IRP belongs to that driver again, which completes it later.
    std::vector<std::function<NTSTATUS(_IRP*)>> completion_routines;
    bool completing = false;  // inside complete_irp (guarded by cancel_lock)

    // Called once by complete_irp after the outcome is recorded (the I/O manager's
    // completion: copies buffers back, signals the caller's event or OVERLAPPED).
    std::function<void(_IRP*)> on_complete;
};

namespace platform::io {

// IoCallDriver: hands the IRP to the driver that owns `device` (irp->device = device).
// Returns what the dispatch routine returned; the IRP is not touched after the call.
NTSTATUS call_driver(PDEVICE_OBJECT device, PIRP irp);

// IoCompleteRequest: runs the completion routines, records the outcome and runs the I/O
// manager's completion (on_complete). Completing an IRP whose completion has finished, or
// one that is being completed on another thread, is a bug check (0x44); so is completing
// one that still has a cancel routine (0x48).
void complete_irp(PIRP irp, NTSTATUS status, ULONG_PTR information);

// IoSetCompletionRoutine: pushes a routine complete_irp calls before the outcome reaches the
// IRP's sender.
void set_completion_routine(PIRP irp, std::function<NTSTATUS(PIRP)> routine);

// IoSetCancelRoutine: installs (or, with an empty function, removes) the cancel routine and
// returns the previous one (empty when none was set). The usual pattern, as in WDM:
//   set_cancel_routine(irp, routine);
//   if (irp->cancel && set_cancel_routine(irp, {})) { /* not called: complete it yourself */ }
// An empty result from the second call means the routine has been taken by a cancellation
// and will run (or is running): the IRP must then be completed by it.
std::function<void(PIRP)> set_cancel_routine(PIRP irp, std::function<void(PIRP)> routine);

// IoCancelIrp: marks the IRP cancelled and calls its cancel routine, if any, on the calling
// thread outside every platform lock. Returns whether a routine was called.
bool cancel_irp(PIRP irp);

// Whether the IRP has been cancelled (Irp->Cancel).
bool is_cancelled(PIRP irp);

}  // namespace platform::io
