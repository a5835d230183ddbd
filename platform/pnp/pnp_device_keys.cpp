// The registry keys and properties of device nodes: the hardware key tests and the machine
// set values in, the driver's software key, and the kernel routines that open and read them
// (IoOpenDeviceRegistryKey, IoGetDeviceProperty).
#include <cstring>

#include "core/faults.h"
#include "io/device_objects.h"
#include "pnp/pnp_internal.h"
#include "pnp/registry.h"

namespace platform::pnp {

using namespace detail;

std::u16string detail::hardware_key_path(const device_node* node) {
    return std::u16string(enum_key_path) + node->instance + u"\\Device Parameters";
}

void set_hardware_value(device_node* node, std::u16string_view name, registry_value value) {
    registry::set_value(hardware_key_path(check(node)), name, std::move(value));
}

std::optional<registry_value> hardware_value(const device_node* node, std::u16string_view name) {
    return registry::get_value(hardware_key_path(check(const_cast<device_node*>(node))), name);
}

std::u16string detail::driver_key_path(const device_node* node) {
    manager& m = manager::get();
    std::lock_guard g(m.lock);
    for (std::size_t i = 0; i < m.nodes.size(); ++i) {
        if (m.nodes[i].get() == node) {
            return std::u16string(class_key_path) + index_suffix(static_cast<unsigned>(i));
        }
    }
    return {};
}

}  // namespace platform::pnp

using namespace platform;
using namespace platform::pnp;
using namespace std::string_view_literals;

extern "C" NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                            ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
    if (auto st = faults::fault_point("IoOpenDeviceRegistryKey")) {
        return *st;
    }
    require_passive("IoOpenDeviceRegistryKey");
    if (DevInstRegKey == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    device_node* n = node_of(DeviceObject);
    if (n == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;  // not a PDO
    }
    std::u16string path;
    if (DevInstKeyType == PLUGPLAY_REGKEY_DEVICE) {
        path = hardware_key_path(n);
    } else if (DevInstKeyType == PLUGPLAY_REGKEY_DRIVER) {
        path = driver_key_path(n);
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    return registry::open_key(path, DesiredAccess, true, DevInstRegKey);
}

extern "C" NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject,
                                        DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                                        PVOID PropertyBuffer, PULONG ResultLength) {
    if (auto st = faults::fault_point("IoGetDeviceProperty")) {
        return *st;
    }
    require_passive("IoGetDeviceProperty");
    if (ResultLength == nullptr || (PropertyBuffer == nullptr && BufferLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    device_node* n = node_of(DeviceObject);
    if (n == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;  // not a PDO
    }
    const std::u16string instance = instance_id(n);
    registry_value value;
    switch (DeviceProperty) {
        case DevicePropertyHardwareID:
            value = registry::get_value(std::u16string(enum_key_path) + instance, u"HardwareID")
                        .value_or(reg_multi_sz({}));
            break;
        case DevicePropertyPhysicalDeviceObjectName:
            value = reg_sz(io::device_name(DeviceObject));
            break;
        case DevicePropertyEnumeratorName:
            value = reg_sz(instance.substr(0, instance.find(u'\\')));
            break;
        case DevicePropertyDriverKeyName:
            value = reg_sz(driver_key_path(n).substr(
                u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"sv.size()));
            break;
        default:
            return STATUS_INVALID_PARAMETER_2;
    }
    *ResultLength = static_cast<ULONG>(value.data.size());
    if (BufferLength < value.data.size()) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(PropertyBuffer, value.data.data(), value.data.size());
    return STATUS_SUCCESS;
}
