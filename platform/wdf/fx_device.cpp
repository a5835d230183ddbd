// Device set-up (WdfDeviceInit*), WdfDeviceCreate and the routines on a created device:
// symbolic links, query interfaces, device interfaces, static stop/remove and the WDM
// look-ups.
#include "wdf/fx_device.h"

#include <cstring>
#include <unordered_map>

#include "core/bugcheck.h"
#include "core/faults.h"
#include "core/scheduler.h"
#include "io/device_objects.h"
#include "kernel/strings.h"
#include "wdf/fx_string.h"
#include "wdf/io_dispatch.h"

namespace platform::wdf {
namespace {

struct device_map {
    std::mutex mutex;
    std::unordered_map<PDEVICE_OBJECT, fx_device*> devices;
};

device_map& devices() {
    static device_map* m = new device_map;
    return *m;
}

bool at_passive() {
    return scheduler::get().current().irql == PASSIVE_LEVEL;
}

// A counted string the driver passed: even length within its maximum, a buffer when not empty.
bool valid_unicode_string(PCUNICODE_STRING s) {
    if (s == nullptr)
        return false;
    if (s->Length % sizeof(WCHAR) != 0 || s->MaximumLength % sizeof(WCHAR) != 0)
        return false;
    if (s->Length > s->MaximumLength)
        return false;
    return s->Length == 0 || s->Buffer != nullptr;
}

WDFDEVICE_INIT* checked_init(PWDFDEVICE_INIT init, const char* routine) {
    if (init == nullptr)
        violation(std::string(routine) + ": DeviceInit is NULL");
    if (init->created != nullptr) {
        violation(std::string(routine) + ": DeviceInit already consumed by WdfDeviceCreate");
    }
    return init;
}

}  // namespace

fx_device* fx_device::from_wdm(PDEVICE_OBJECT device) {
    auto& m = devices();
    std::lock_guard lk(m.mutex);
    auto it = m.devices.find(device);
    return it == m.devices.end() ? nullptr : it->second;
}

fx_device::~fx_device() {
    io_detach(this);
}

void fx_device::dispose() {
    std::vector<std::u16string> links;
    {
        std::lock_guard lk(mutex);
        links.swap(symbolic_links);
    }
    for (auto& link : links) {
        kernel::owned_unicode_string link_name(link);
        IoDeleteSymbolicLink(link_name.get());
    }
    set_all_interfaces(this, false, false);
    std::vector<device_interface> interfaces;
    {
        std::lock_guard lk(mutex);
        interfaces.swap(device_interfaces);
    }
}

void fx_device::hold_until_device_object_freed() {
    add_ref();
    PDEVICE_OBJECT device_object = fdo;
    io::on_device_object_freed(device_object, [this, device_object] {
        {
            auto& m = devices();
            std::lock_guard lk(m.mutex);
            auto it = m.devices.find(device_object);
            if (it != m.devices.end() && it->second == this)
                m.devices.erase(it);
        }
        release();
    });
}

void fx_device::remove_device_object() {
    PDEVICE_OBJECT device_object = fdo;
    fx_ref keep(this);
    state = pnp_state::removed;
    io_begin_removal(this);
    delete_object();
    fdo = nullptr;
    if (device_object != nullptr) {
        if (lower != nullptr)
            IoDetachDevice(lower);
        lower = nullptr;
        IoDeleteDevice(device_object);
    }
}

void set_all_interfaces(fx_device* device, bool enable, bool only_auto) {
    std::vector<std::u16string> links;
    {
        std::lock_guard lk(device->mutex);
        for (auto& di : device->device_interfaces) {
            if (only_auto && !di.auto_enable)
                continue;
            if (di.enabled == enable)
                continue;
            di.enabled = enable;
            if (!di.symbolic_link.empty())
                links.push_back(di.symbolic_link);
        }
    }
    for (auto& link : links) {
        kernel::owned_unicode_string name(link);
        IoSetDeviceInterfaceState(name.get(), enable ? TRUE : FALSE);
    }
}

}  // namespace platform::wdf

using namespace platform;
using namespace platform::wdf;

extern "C" {

// ---- WDFDEVICE_INIT ------------------------------------------------------------------------

VOID WdfDeviceInitFree(PWDFDEVICE_INIT DeviceInit) {
    if (DeviceInit == nullptr)
        return;
    // An init the framework handed to EvtDriverDeviceAdd is the framework's to free.
    if (DeviceInit->framework_owned)
        return;
    delete DeviceInit;
}

VOID WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                            PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks) {
    auto* init = checked_init(DeviceInit, "WdfDeviceInitSetPnpPowerEventCallbacks");
    if (PnpPowerEventCallbacks == nullptr) {
        violation("WdfDeviceInitSetPnpPowerEventCallbacks: callbacks are NULL");
    }
    if (PnpPowerEventCallbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS)) {
        // The framework ignores a structure of the wrong size (and its verifier breaks in).
        violation("WdfDeviceInitSetPnpPowerEventCallbacks: WDF_PNPPOWER_EVENT_CALLBACKS Size",
                  PnpPowerEventCallbacks->Size);
    }
    init->pnp = *PnpPowerEventCallbacks;
}

VOID WdfDeviceInitSetPowerPolicyOwnership(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsPowerPolicyOwner) {
    checked_init(DeviceInit, "WdfDeviceInitSetPowerPolicyOwnership")->power_policy_owner =
        IsPowerPolicyOwner != FALSE;
}

VOID WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive) {
    checked_init(DeviceInit, "WdfDeviceInitSetExclusive")->exclusive = IsExclusive != FALSE;
}

VOID WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType) {
    auto* init = checked_init(DeviceInit, "WdfDeviceInitSetIoType");
    if (IoType < WdfDeviceIoNeither || IoType > WdfDeviceIoDirect) {
        violation("WdfDeviceInitSetIoType: invalid I/O type", IoType);
    }
    init->io_type = IoType;
}

VOID WdfDeviceInitSetPowerNotPageable(PWDFDEVICE_INIT DeviceInit) {
    checked_init(DeviceInit, "WdfDeviceInitSetPowerNotPageable")->power_pageable = false;
}

VOID WdfDeviceInitSetPowerPageable(PWDFDEVICE_INIT DeviceInit) {
    checked_init(DeviceInit, "WdfDeviceInitSetPowerPageable")->power_pageable = true;
}

VOID WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, DEVICE_TYPE DeviceType) {
    checked_init(DeviceInit, "WdfDeviceInitSetDeviceType")->device_type = DeviceType;
}

NTSTATUS WdfDeviceInitAssignName(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceName) {
    if (auto st = faults::fault_point("WdfDeviceInitAssignName"))
        return *st;
    auto* init = checked_init(DeviceInit, "WdfDeviceInitAssignName");
    if (DeviceName == nullptr) {
        // Clears a name assigned before.
        init->has_name = false;
        init->name.clear();
        return STATUS_SUCCESS;
    }
    if (!valid_unicode_string(DeviceName))
        return STATUS_INVALID_PARAMETER;
    init->name = kernel::to_u16(DeviceName);
    init->has_name = true;
    return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceInitAssignSDDLString(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING SDDLString) {
    if (auto st = faults::fault_point("WdfDeviceInitAssignSDDLString"))
        return *st;
    auto* init = checked_init(DeviceInit, "WdfDeviceInitAssignSDDLString");
    if (SDDLString == nullptr) {
        init->security.reset();
        return STATUS_SUCCESS;
    }
    if (!valid_unicode_string(SDDLString))
        return STATUS_INVALID_PARAMETER;
    std::shared_ptr<const io::security_descriptor> sd;
    NTSTATUS status = io::parse_sddl(kernel::view(SDDLString), sd);
    if (!NT_SUCCESS(status))
        return status;
    init->security = std::move(sd);
    return STATUS_SUCCESS;
}

VOID WdfDeviceInitSetDeviceClass(PWDFDEVICE_INIT DeviceInit, CONST GUID* DeviceClassGuid) {
    auto* init = checked_init(DeviceInit, "WdfDeviceInitSetDeviceClass");
    if (DeviceClassGuid == nullptr)
        violation("WdfDeviceInitSetDeviceClass: GUID is NULL");
    init->device_class = *DeviceClassGuid;
    init->has_device_class = true;
}

VOID WdfDeviceInitSetCharacteristics(PWDFDEVICE_INIT DeviceInit, ULONG DeviceCharacteristics,
                                     BOOLEAN OrInValues) {
    auto* init = checked_init(DeviceInit, "WdfDeviceInitSetCharacteristics");
    if (OrInValues) {
        init->characteristics |= DeviceCharacteristics;
    } else {
        init->characteristics = DeviceCharacteristics;
    }
}

VOID WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit,
                                      PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      PWDF_OBJECT_ATTRIBUTES FileObjectAttributes) {
    auto* init = checked_init(DeviceInit, "WdfDeviceInitSetFileObjectConfig");
    if (FileObjectConfig == nullptr)
        violation("WdfDeviceInitSetFileObjectConfig: config is NULL");
    if (FileObjectConfig->Size != sizeof(WDF_FILEOBJECT_CONFIG)) {
        violation("WdfDeviceInitSetFileObjectConfig: WDF_FILEOBJECT_CONFIG Size",
                  FileObjectConfig->Size);
    }
    ULONG cls = static_cast<ULONG>(FileObjectConfig->FileObjectClass) &
                ~static_cast<ULONG>(WdfFileObjectCanBeOptional);
    if (cls != WdfFileObjectNotRequired && cls != WdfFileObjectWdfCanUseFsContext &&
        cls != WdfFileObjectWdfCanUseFsContext2 && cls != WdfFileObjectWdfCannotUseFsContexts) {
        violation("WdfDeviceInitSetFileObjectConfig: invalid FileObjectClass",
                  static_cast<ULONG>(FileObjectConfig->FileObjectClass));
    }
    // "Can be optional" only makes sense for a class in which the framework keeps file objects.
    if ((FileObjectConfig->FileObjectClass & WdfFileObjectCanBeOptional) &&
        cls == WdfFileObjectNotRequired) {
        violation("WdfDeviceInitSetFileObjectConfig: CanBeOptional with NotRequired",
                  static_cast<ULONG>(FileObjectConfig->FileObjectClass));
    }
    // Read as a number: the driver may have stored anything in the field.
    std::uint32_t forward = 0;
    std::memcpy(&forward, &FileObjectConfig->AutoForwardCleanupClose, sizeof forward);
    if (forward > WdfUseDefault) {
        violation("WdfDeviceInitSetFileObjectConfig: invalid AutoForwardCleanupClose");
    }
    if (FileObjectAttributes != nullptr) {
        NTSTATUS st = validate_attributes(FileObjectAttributes, attr_parent_not_allowed |
                                                                    attr_exec_level_allowed |
                                                                    attr_sync_scope_allowed);
        if (!NT_SUCCESS(st)) {
            violation("WdfDeviceInitSetFileObjectConfig: invalid file object attributes",
                      static_cast<ULONG>(st));
        }
        init->file_attributes = *FileObjectAttributes;
        init->file_attributes_set = true;
    } else {
        init->file_attributes_set = false;
    }
    init->file_config = *FileObjectConfig;
    init->file_config_set = true;
}

VOID WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT DeviceInit,
                                       PWDF_OBJECT_ATTRIBUTES RequestAttributes) {
    auto* init = checked_init(DeviceInit, "WdfDeviceInitSetRequestAttributes");
    if (RequestAttributes == nullptr)
        violation("WdfDeviceInitSetRequestAttributes: NULL");
    NTSTATUS st = validate_attributes(RequestAttributes, attr_parent_not_allowed);
    if (!NT_SUCCESS(st)) {
        violation("WdfDeviceInitSetRequestAttributes: invalid attributes", static_cast<ULONG>(st));
    }
    init->request_attributes = *RequestAttributes;
    init->request_attributes_set = true;
}

// ---- WdfDeviceCreate -----------------------------------------------------------------------

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                         WDFDEVICE* Device) {
    if (auto st = faults::fault_point("WdfDeviceCreate"))
        return *st;
    if (DeviceInit == nullptr || Device == nullptr)
        violation("WdfDeviceCreate: NULL parameter");
    WDFDEVICE_INIT* init = checked_init(*DeviceInit, "WdfDeviceCreate");
    *Device = nullptr;
    if (!at_passive())
        return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS status =
        validate_attributes(DeviceAttributes, attr_parent_not_allowed | attr_exec_level_allowed |
                                                  attr_sync_scope_allowed);
    if (!NT_SUCCESS(status))
        return status;
    if (init->driver == nullptr || init->pdo == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;

    PDEVICE_OBJECT fdo = nullptr;
    kernel::owned_unicode_string name(init->name);
    status = IoCreateDevice(init->driver->wdm, sizeof(void*), init->has_name ? name.get() : nullptr,
                            init->device_type, init->characteristics,
                            init->exclusive ? TRUE : FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    if (init->io_type == WdfDeviceIoBuffered)
        fdo->Flags |= DO_BUFFERED_IO;
    if (init->io_type == WdfDeviceIoDirect)
        fdo->Flags |= DO_DIRECT_IO;
    if (init->power_pageable)
        fdo->Flags |= DO_POWER_PAGABLE;
    if (init->security)
        io::set_device_security(fdo, init->security);

    auto* device = new fx_device;
    device->driver = init->driver;
    device->fdo = fdo;
    device->pdo = init->pdo;
    device->pnp = init->pnp;
    device->io_type = init->io_type;
    device->file_config_set = init->file_config_set;
    device->file_config = init->file_config;
    device->file_attributes_set = init->file_attributes_set;
    device->file_attributes = init->file_attributes;
    device->request_attributes_set = init->request_attributes_set;
    device->request_attributes = init->request_attributes;
    device->exclusive = init->exclusive;
    device->name = init->has_name ? init->name : std::u16string();
    device->set_framework_deleted(true);
    status =
        device->commit(DeviceAttributes, init->driver,
                       attr_parent_not_allowed | attr_exec_level_allowed | attr_sync_scope_allowed);
    if (!NT_SUCCESS(status)) {
        fx_object::discard(device);
        IoDeleteDevice(fdo);
        return status;
    }

    io_device_config io_config;
    io_config.wdm = fdo;
    io_config.exclusive = init->exclusive;
    if (init->file_config_set)
        io_config.file_config = init->file_config;
    io_config.has_file_attributes = init->file_attributes_set;
    io_config.file_attributes = init->file_attributes;
    io_config.has_request_attributes = init->request_attributes_set;
    io_config.request_attributes = init->request_attributes;
    io_attach(device, io_config);
    device->hold_until_device_object_freed();

    device->lower = IoAttachDeviceToDeviceStack(fdo, init->pdo);
    if (device->lower == nullptr) {
        device->delete_object();
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    {
        auto& m = devices();
        std::lock_guard lk(m.mutex);
        m.devices[fdo] = device;
    }
    *(reinterpret_cast<WDFDEVICE*>(fdo->DeviceExtension)) = device->handle_as<WDFDEVICE>();
    init->created = device;
    *DeviceInit = nullptr;
    *Device = device->handle_as<WDFDEVICE>();
    return STATUS_SUCCESS;
}

// ---- The device ----------------------------------------------------------------------------

VOID WdfDeviceSetStaticStopRemove(WDFDEVICE Device, BOOLEAN Stoppable) {
    auto* device = fx_get<fx_device>(Device, fx_type::device, "WdfDeviceSetStaticStopRemove");
    if (Stoppable) {
        if (device->stop_count.fetch_sub(1) <= 0) {
            device->stop_count.fetch_add(1);
            violation("WdfDeviceSetStaticStopRemove(TRUE) without a matching FALSE");
        }
    } else {
        device->stop_count.fetch_add(1);
    }
}

NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE Device, PCUNICODE_STRING SymbolicLinkName) {
    if (auto st = faults::fault_point("WdfDeviceCreateSymbolicLink"))
        return *st;
    auto* device = fx_get<fx_device>(Device, fx_type::device, "WdfDeviceCreateSymbolicLink");
    if (!valid_unicode_string(SymbolicLinkName) || SymbolicLinkName->Length == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!at_passive())
        return STATUS_INVALID_DEVICE_REQUEST;
    if (device->fdo == nullptr || device->state == pnp_state::removed) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::u16string target = device->name;
    if (target.empty())
        return STATUS_INVALID_DEVICE_REQUEST;  // an unnamed device
    {
        std::lock_guard lk(device->mutex);
        // The framework keeps one symbolic link per device.
        if (!device->symbolic_links.empty())
            return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::u16string link = kernel::to_u16(SymbolicLinkName);
    kernel::owned_unicode_string link_name(link);
    kernel::owned_unicode_string target_name(target);
    NTSTATUS status = IoCreateSymbolicLink(link_name.get(), target_name.get());
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard lk(device->mutex);
    device->symbolic_links.push_back(std::move(link));
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE Device) {
    return fx_get<fx_device>(Device, fx_type::device, "WdfDeviceWdmGetDeviceObject")->fdo;
}

PDEVICE_OBJECT WdfDeviceWdmGetAttachedDevice(WDFDEVICE Device) {
    return fx_get<fx_device>(Device, fx_type::device, "WdfDeviceWdmGetAttachedDevice")->lower;
}

PDEVICE_OBJECT WdfDeviceWdmGetPhysicalDevice(WDFDEVICE Device) {
    return fx_get<fx_device>(Device, fx_type::device, "WdfDeviceWdmGetPhysicalDevice")->pdo;
}

WDFDEVICE WdfWdmDeviceGetWdfDeviceHandle(PDEVICE_OBJECT DeviceObject) {
    fx_device* device = fx_device::from_wdm(DeviceObject);
    return device == nullptr ? nullptr : device->handle_as<WDFDEVICE>();
}

WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device) {
    return fx_get<fx_device>(Device, fx_type::device, "WdfDeviceGetDriver")
        ->driver->handle_as<WDFDRIVER>();
}

WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE Device) {
    return io_default_queue(fx_get<fx_device>(Device, fx_type::device, "WdfDeviceGetDefaultQueue"));
}

ULONG WdfDeviceGetCharacteristics(WDFDEVICE Device) {
    auto* device = fx_get<fx_device>(Device, fx_type::device, "WdfDeviceGetCharacteristics");
    return device->fdo == nullptr ? 0 : device->fdo->Characteristics;
}

VOID WdfDeviceSetCharacteristics(WDFDEVICE Device, ULONG DeviceCharacteristics) {
    auto* device = fx_get<fx_device>(Device, fx_type::device, "WdfDeviceSetCharacteristics");
    if (device->fdo != nullptr)
        device->fdo->Characteristics = DeviceCharacteristics;
}

// ---- Query interfaces ----------------------------------------------------------------------

NTSTATUS WdfDeviceAddQueryInterface(WDFDEVICE Device, PWDF_QUERY_INTERFACE_CONFIG InterfaceConfig) {
    if (auto st = faults::fault_point("WdfDeviceAddQueryInterface"))
        return *st;
    auto* device = fx_get<fx_device>(Device, fx_type::device, "WdfDeviceAddQueryInterface");
    if (InterfaceConfig == nullptr || InterfaceConfig->InterfaceType == nullptr) {
        violation("WdfDeviceAddQueryInterface: NULL configuration or interface type");
    }
    if (!at_passive())
        return STATUS_INVALID_DEVICE_REQUEST;
    if (InterfaceConfig->Size != sizeof(WDF_QUERY_INTERFACE_CONFIG)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    // Only a physical device can pass a query to its parent's stack; this device is an FDO.
    if (InterfaceConfig->SendQueryToParentStack)
        return STATUS_INVALID_PARAMETER;
    PINTERFACE iface = InterfaceConfig->Interface;
    if (iface == nullptr && !InterfaceConfig->ImportInterface)
        return STATUS_INVALID_PARAMETER;
    if (InterfaceConfig->ImportInterface &&
        InterfaceConfig->EvtDeviceProcessQueryInterfaceRequest == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (iface != nullptr && iface->Size < sizeof(INTERFACE))
        return STATUS_INVALID_PARAMETER;

    fx_device::query_interface qi{*InterfaceConfig->InterfaceType,
                                  {},
                                  InterfaceConfig->ImportInterface != FALSE,
                                  InterfaceConfig->EvtDeviceProcessQueryInterfaceRequest};
    if (iface != nullptr) {
        qi.data.resize(iface->Size);
        std::memcpy(qi.data.data(), iface, iface->Size);
        auto* stored = reinterpret_cast<INTERFACE*>(qi.data.data());
        // The requester always gets reference routines it can call.
        if (stored->InterfaceReference == nullptr) {
            stored->InterfaceReference = WdfDeviceInterfaceReferenceNoOp;
        }
        if (stored->InterfaceDereference == nullptr) {
            stored->InterfaceDereference = WdfDeviceInterfaceDereferenceNoOp;
        }
    }
    std::lock_guard lk(device->mutex);
    device->query_interfaces.push_back(std::move(qi));
    return STATUS_SUCCESS;
}

VOID WdfDeviceInterfaceReferenceNoOp(PVOID Context) {
    (void)Context;
}

VOID WdfDeviceInterfaceDereferenceNoOp(PVOID Context) {
    (void)Context;
}

// ---- Device interfaces ---------------------------------------------------------------------

NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, CONST GUID* InterfaceClassGUID,
                                        PCUNICODE_STRING ReferenceString) {
    if (auto st = faults::fault_point("WdfDeviceCreateDeviceInterface"))
        return *st;
    auto* device = fx_get<fx_device>(Device, fx_type::device, "WdfDeviceCreateDeviceInterface");
    if (InterfaceClassGUID == nullptr)
        violation("WdfDeviceCreateDeviceInterface: GUID is NULL");
    if (!at_passive())
        return STATUS_INVALID_DEVICE_REQUEST;
    if (ReferenceString != nullptr && !valid_unicode_string(ReferenceString)) {
        return STATUS_INVALID_PARAMETER;
    }
    fx_device::device_interface di;
    di.type = *InterfaceClassGUID;
    if (ReferenceString != nullptr)
        di.reference = kernel::to_u16(ReferenceString);
    kernel::owned_unicode_string reference(di.reference);
    UNICODE_STRING link{};
    NTSTATUS status = IoRegisterDeviceInterface(
        device->pdo, InterfaceClassGUID, di.reference.empty() ? nullptr : reference.get(), &link);
    if (!NT_SUCCESS(status))
        return status;
    di.symbolic_link = kernel::to_u16(&link);
    if (link.Buffer != nullptr)
        ExFreePool(link.Buffer);
    std::lock_guard lk(device->mutex);
    device->device_interfaces.push_back(std::move(di));
    return STATUS_SUCCESS;
}

VOID WdfDeviceSetDeviceInterfaceState(WDFDEVICE Device, CONST GUID* InterfaceClassGUID,
                                      PCUNICODE_STRING ReferenceString,
                                      BOOLEAN IsInterfaceEnabled) {
    auto* device = fx_get<fx_device>(Device, fx_type::device, "WdfDeviceSetDeviceInterfaceState");
    if (InterfaceClassGUID == nullptr)
        violation("WdfDeviceSetDeviceInterfaceState: GUID is NULL");
    if (ReferenceString != nullptr && !valid_unicode_string(ReferenceString)) {
        violation("WdfDeviceSetDeviceInterfaceState: invalid reference string");
    }
    std::u16string reference = ReferenceString ? kernel::to_u16(ReferenceString) : std::u16string();
    std::u16string link;
    {
        std::lock_guard lk(device->mutex);
        for (auto& di : device->device_interfaces) {
            if (di.type != *InterfaceClassGUID || di.reference != reference)
                continue;
            di.enabled = IsInterfaceEnabled != FALSE;
            link = di.symbolic_link;
            break;
        }
    }
    if (link.empty())
        return;
    kernel::owned_unicode_string name(link);
    IoSetDeviceInterfaceState(name.get(), IsInterfaceEnabled);
}

NTSTATUS WdfDeviceRetrieveDeviceInterfaceString(WDFDEVICE Device, CONST GUID* InterfaceClassGUID,
                                                PCUNICODE_STRING ReferenceString,
                                                WDFSTRING String) {
    if (auto st = faults::fault_point("WdfDeviceRetrieveDeviceInterfaceString"))
        return *st;
    auto* device =
        fx_get<fx_device>(Device, fx_type::device, "WdfDeviceRetrieveDeviceInterfaceString");
    auto* string =
        fx_get<fx_string>(String, fx_type::string, "WdfDeviceRetrieveDeviceInterfaceString");
    if (InterfaceClassGUID == nullptr)
        violation("WdfDeviceRetrieveDeviceInterfaceString: GUID");
    std::u16string reference = ReferenceString ? kernel::to_u16(ReferenceString) : std::u16string();
    std::lock_guard lk(device->mutex);
    for (auto& di : device->device_interfaces) {
        if (di.type != *InterfaceClassGUID || di.reference != reference)
            continue;
        if (di.symbolic_link.empty())
            return STATUS_INVALID_DEVICE_STATE;
        return string->assign(di.symbolic_link);
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"
