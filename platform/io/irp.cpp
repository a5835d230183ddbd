// Calling drivers, completing IRPs and cancelling them.
#include "io/irp.h"

#include "core/bugcheck.h"
#include "core/pause_points.h"

namespace platform::io {
namespace {

constexpr auto multiple_irp_complete_requests = static_cast<bug_code>(0x44);
constexpr auto cancel_state_in_completed_irp = static_cast<bug_code>(0x48);

auto as_number(const void* p) {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p));
}

}  // namespace

NTSTATUS call_driver(PDEVICE_OBJECT device, PIRP irp) {
    if (device == nullptr || device->DriverObject == nullptr) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  "IRP sent to a device without a driver", as_number(device), as_number(irp));
    }
    if (irp->major > IRP_MJ_MAXIMUM_FUNCTION) {
        bug_check(bug_code::driver_verifier_detected_violation, "IRP with an invalid major code",
                  irp->major, as_number(irp));
    }
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[irp->major];
    if (dispatch == nullptr) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  "driver has no dispatch routine for the IRP's major code", irp->major,
                  as_number(device));
    }
    irp->device = device;
    // Once the dispatch routine has returned STATUS_PENDING the IRP may already have been
    // completed, on another thread, and freed by its owner: like the I/O manager, nothing
    // here touches it after the call.
    return dispatch(device, irp);
}

void complete_irp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    if (status == STATUS_PENDING) {
        bug_check(bug_code::driver_verifier_detected_violation, "IRP completed with STATUS_PENDING",
                  as_number(irp));
    }
    {
        std::lock_guard g(irp->cancel_lock);
        if (irp->completed || irp->completing) {
            bug_check(multiple_irp_complete_requests, "IRP completed twice", as_number(irp),
                      irp->major, static_cast<std::uint32_t>(irp->status));
        }
        if (irp->cancel_routine) {
            bug_check(cancel_state_in_completed_irp,
                      "IRP completed while its cancel routine is still set", as_number(irp),
                      irp->major);
        }
        irp->completing = true;
        irp->status = status;
        irp->information = information;
    }
    // Completion routines, innermost driver's last-pushed first, outside the lock: a routine
    // may send the IRP on or complete it again after taking it back.
    for (;;) {
        std::function<NTSTATUS(PIRP)> routine;
        {
            std::lock_guard g(irp->cancel_lock);
            if (irp->completion_routines.empty()) {
                break;
            }
            routine = std::move(irp->completion_routines.back());
            irp->completion_routines.pop_back();
        }
        if (routine(irp) == STATUS_MORE_PROCESSING_REQUIRED) {
            std::lock_guard g(irp->cancel_lock);
            // The routine owns the IRP again and completes it later.
            irp->completing = false;
            return;
        }
    }
    std::function<void(PIRP)> done;
    {
        std::lock_guard g(irp->cancel_lock);
        irp->completing = false;
        irp->completed = true;
        done = std::move(irp->on_complete);
        irp->on_complete = nullptr;
    }
    if (done) {
        done(irp);
    }
}

void set_completion_routine(PIRP irp, std::function<NTSTATUS(PIRP)> routine) {
    std::lock_guard g(irp->cancel_lock);
    irp->completion_routines.push_back(std::move(routine));
}

std::function<void(PIRP)> set_cancel_routine(PIRP irp, std::function<void(PIRP)> routine) {
    std::lock_guard g(irp->cancel_lock);
    std::function<void(PIRP)> previous = std::move(irp->cancel_routine);
    irp->cancel_routine = std::move(routine);
    return previous;
}

bool cancel_irp(PIRP irp) {
    pause_points::reach("IoCancelIrp", irp);
    std::function<void(PIRP)> routine;
    {
        std::lock_guard g(irp->cancel_lock);
        if (irp->completed) {
            return false;
        }
        irp->cancel = true;
        routine = std::move(irp->cancel_routine);
        irp->cancel_routine = nullptr;
    }
    if (!routine) {
        return false;
    }
    // Taken and not yet run: the window in which the owner's IoSetCancelRoutine(NULL) (and
    // so WdfRequestUnmarkCancelable) already loses.
    pause_points::reach("irp-cancel-routine", irp);
    routine(irp);
    return true;
}

bool is_cancelled(PIRP irp) {
    std::lock_guard g(irp->cancel_lock);
    return irp->cancel;
}

}  // namespace platform::io
