// WdfIoTargetQueryForInterface and WdfFdoQueryForInterface: a query-interface request
// (IRP_MN_QUERY_INTERFACE) the driver sends to the top of a device stack, another driver's
// (through an I/O target) or its own, and waits for (FxIoTargetApiKm's
// WdfIoTargetQueryForInterface, FxDeviceBase::QueryForInterface). Whatever answers fills the
// caller's INTERFACE and references it; the status is the stack's, STATUS_NOT_SUPPORTED when
// no driver in it knows the GUID, STATUS_INVALID_BUFFER_SIZE when the answering framework
// device's interface is larger or newer than the caller asked for.
#include <string>

#include "core/bugcheck.h"
#include "core/driver_call.h"
#include "core/faults.h"
#include "core/scheduler.h"
#include "pnp/pnp_manager.h"
#include "wdf/fx_device.h"
#include "wdf/io_target.h"

using namespace platform;
using namespace platform::wdf;

namespace {

// FxPointerNotNull: a NULL type or interface is a bug check, not a status.
void require_pointers(LPCGUID type, PINTERFACE iface, const char* routine) {
    if (type == nullptr || iface == nullptr) {
        violation(std::string(routine) + ": " + (type == nullptr ? "InterfaceType" : "Interface") +
                  " is NULL");
    }
}

// FxVerifierCheckIrqlLevel: above PASSIVE_LEVEL the verifier breaks in and the call fails.
NTSTATUS check_passive(const char* routine) {
    std::uint8_t irql = scheduler::get().current().irql;
    if (irql == PASSIVE_LEVEL)
        return STATUS_SUCCESS;
    std::string call = verifier::describe_current_call();
    bug_check(bug_code::irql_not_less_or_equal,
              std::string(routine) + " called at IRQL " + std::to_string(irql) +
                  " (it needs PASSIVE_LEVEL)" + (call.empty() ? "" : " " + call),
              irql, PASSIVE_LEVEL);
}

}  // namespace

extern "C" {

NTSTATUS WdfIoTargetQueryForInterface(WDFIOTARGET IoTarget, LPCGUID InterfaceType,
                                      PINTERFACE Interface, USHORT Size, USHORT Version,
                                      PVOID InterfaceSpecificData) {
    fx_io_target* target = fx_io_target::from(IoTarget, "WdfIoTargetQueryForInterface");
    require_pointers(InterfaceType, Interface, "WdfIoTargetQueryForInterface");
    if (NTSTATUS st = check_passive("WdfIoTargetQueryForInterface"); !NT_SUCCESS(st))
        return st;
    if (auto st = faults::fault_point("WdfIoTargetQueryForInterface"))
        return *st;
    // The framework asserts that the target has a device: one never opened, or closed, has
    // none to send to.
    PDEVICE_OBJECT device = target->target_device();
    if (device == nullptr) {
        violation("WdfIoTargetQueryForInterface on an I/O target that is not open",
                  reinterpret_cast<std::uintptr_t>(IoTarget));
    }
    return pnp::send_query_interface(device, *InterfaceType, Size, Version, Interface,
                                     InterfaceSpecificData);
}

NTSTATUS WdfFdoQueryForInterface(WDFDEVICE Fdo, LPCGUID InterfaceType, PINTERFACE Interface,
                                 USHORT Size, USHORT Version, PVOID InterfaceSpecificData) {
    auto* device = fx_get<fx_device>(Fdo, fx_type::device, "WdfFdoQueryForInterface");
    require_pointers(InterfaceType, Interface, "WdfFdoQueryForInterface");
    if (NTSTATUS st = check_passive("WdfFdoQueryForInterface"); !NT_SUCCESS(st))
        return st;
    if (auto st = faults::fault_point("WdfFdoQueryForInterface"))
        return *st;
    // A control device has no stack of its own to ask.
    if (device->pdo == nullptr || device->fdo == nullptr)
        return STATUS_INVALID_PARAMETER;
    // The top of the device's own stack, so the request passes through the device itself.
    return pnp::send_query_interface(device->fdo, *InterfaceType, Size, Version, Interface,
                                     InterfaceSpecificData);
}

}  // extern "C"
