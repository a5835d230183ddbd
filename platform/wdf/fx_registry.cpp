// Framework registry keys: the device's hardware key (and the other device keys) opened
// through the PnP manager, with typed value queries. A key object closes its handle when it
// is deleted; WdfRegistryClose deletes it.
#include <cstring>
#include <vector>

#include "core/faults.h"
#include "core/scheduler.h"
#include "kernel/strings.h"
#include "wdf/fx_device.h"
#include "wdf/fx_string.h"

namespace platform::wdf {
namespace {

class fx_key : public fx_object {
  public:
    fx_key() : fx_object(fx_type::key) {}
    HANDLE handle = nullptr;

  protected:
    ~fx_key() override = default;
    void dispose() override {
        if (handle != nullptr)
            ZwClose(handle);
        handle = nullptr;
    }
};

constexpr ULONG partial_header = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);

bool valid_name(PCUNICODE_STRING s) {
    if (s == nullptr)
        return false;
    if (s->Length % sizeof(WCHAR) != 0 || s->Length > s->MaximumLength)
        return false;
    return s->Length == 0 || s->Buffer != nullptr;
}

bool is_sz(ULONG type) {
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

// One value query: up to `capacity` data bytes into `data`. On success or
// STATUS_BUFFER_OVERFLOW, `length` and `type` describe the stored value.
NTSTATUS query(HANDLE key, PCUNICODE_STRING name, ULONG capacity, std::vector<std::uint8_t>& data,
               ULONG* length, ULONG* type) {
    std::vector<std::uint8_t> buffer(partial_header + capacity);
    auto* partial = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
    ULONG result = 0;
    NTSTATUS status =
        ZwQueryValueKey(key, const_cast<PUNICODE_STRING>(name), KeyValuePartialInformation, partial,
                        static_cast<ULONG>(buffer.size()), &result);
    if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
        *length = partial->DataLength;
        *type = partial->Type;
    }
    if (NT_SUCCESS(status)) {
        ULONG copied = partial->DataLength < capacity ? partial->DataLength : capacity;
        data.assign(partial->Data, partial->Data + copied);
    }
    return status;
}

// The string a REG_SZ's bytes hold: whole characters, without the terminating zero.
std::u16string sz_text(const std::vector<std::uint8_t>& data) {
    std::u16string text(data.size() / sizeof(WCHAR), u'\0');
    if (!text.empty())
        std::memcpy(text.data(), data.data(), text.size() * sizeof(WCHAR));
    if (!text.empty() && text.back() == u'\0')
        text.pop_back();
    return text;
}

// Wraps an open kernel key handle in a key object under `parent`; closes it on failure.
NTSTATUS wrap(HANDLE handle, PWDF_OBJECT_ATTRIBUTES attributes, fx_object* parent, WDFKEY* out) {
    auto* key = new fx_key;
    key->handle = handle;
    NTSTATUS status = key->commit(attributes, parent, attr_none);
    if (!NT_SUCCESS(status)) {
        ZwClose(handle);
        key->handle = nullptr;
        fx_object::discard(key);
        return status;
    }
    *out = key->handle_as<WDFKEY>();
    return STATUS_SUCCESS;
}

fx_key* get(WDFKEY key, const char* routine) {
    return fx_get<fx_key>(key, fx_type::key, routine);
}

bool at_passive() {
    return scheduler::get().current().irql == PASSIVE_LEVEL;
}

}  // namespace
}  // namespace platform::wdf

using namespace platform;
using namespace platform::wdf;

extern "C" {

NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType,
                                  ACCESS_MASK DesiredAccess, PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                  WDFKEY* Key) {
    if (auto st = faults::fault_point("WdfDeviceOpenRegistryKey"))
        return *st;
    auto* device = fx_get<fx_device>(Device, fx_type::device, "WdfDeviceOpenRegistryKey");
    if (Key == nullptr)
        violation("WdfDeviceOpenRegistryKey: Key is NULL");
    *Key = nullptr;
    if (!at_passive())
        return STATUS_INVALID_DEVICE_REQUEST;
    ULONG kind = DeviceInstanceKeyType & ~static_cast<ULONG>(PLUGPLAY_REGKEY_CURRENT_HWPROFILE);
    if (kind != PLUGPLAY_REGKEY_DEVICE && kind != PLUGPLAY_REGKEY_DRIVER) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = validate_attributes(KeyAttributes, attr_none);
    if (!NT_SUCCESS(status))
        return status;
    HANDLE handle = nullptr;
    status = IoOpenDeviceRegistryKey(device->pdo, DeviceInstanceKeyType, DesiredAccess, &handle);
    if (!NT_SUCCESS(status))
        return status;
    return wrap(handle, KeyAttributes, device, Key);
}

VOID WdfRegistryClose(WDFKEY Key) {
    get(Key, "WdfRegistryClose")->delete_object();
}

HANDLE WdfRegistryWdmGetHandle(WDFKEY Key) {
    return get(Key, "WdfRegistryWdmGetHandle")->handle;
}

NTSTATUS WdfRegistryQueryValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength,
                               PVOID Value, PULONG ValueLengthQueried, PULONG ValueType) {
    if (auto st = faults::fault_point("WdfRegistryQueryValue"))
        return *st;
    auto* key = get(Key, "WdfRegistryQueryValue");
    if (ValueName == nullptr)
        violation("WdfRegistryQueryValue: ValueName is NULL");
    if (!at_passive())
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!valid_name(ValueName))
        return STATUS_INVALID_PARAMETER;
    std::vector<std::uint8_t> data;
    ULONG length = 0;
    ULONG type = 0;
    NTSTATUS status =
        query(key->handle, ValueName, Value == nullptr ? 0 : ValueLength, data, &length, &type);
    if (NT_SUCCESS(status) && Value != nullptr)
        std::memcpy(Value, data.data(), data.size());
    if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
        if (ValueLengthQueried != nullptr)
            *ValueLengthQueried = length;
        if (ValueType != nullptr)
            *ValueType = type;
    }
    return status;
}

NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value) {
    if (auto st = faults::fault_point("WdfRegistryQueryULong"))
        return *st;
    auto* key = get(Key, "WdfRegistryQueryULong");
    if (ValueName == nullptr || Value == nullptr)
        violation("WdfRegistryQueryULong: NULL");
    if (!at_passive())
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!valid_name(ValueName))
        return STATUS_INVALID_PARAMETER;
    std::vector<std::uint8_t> data;
    ULONG length = 0;
    ULONG type = 0;
    NTSTATUS status = query(key->handle, ValueName, sizeof(ULONG), data, &length, &type);
    if ((NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) && type != REG_DWORD) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (!NT_SUCCESS(status))
        return status;
    // A REG_DWORD shorter than four bytes: the missing high bytes read as zero.
    ULONG value = 0;
    std::memcpy(&value, data.data(), data.size() < sizeof(ULONG) ? data.size() : sizeof(ULONG));
    *Value = value;
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName,
                                       PUSHORT ValueByteLength, PUNICODE_STRING Value) {
    if (auto st = faults::fault_point("WdfRegistryQueryUnicodeString"))
        return *st;
    auto* key = get(Key, "WdfRegistryQueryUnicodeString");
    if (ValueName == nullptr)
        violation("WdfRegistryQueryUnicodeString: ValueName is NULL");
    if (!at_passive())
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!valid_name(ValueName))
        return STATUS_INVALID_PARAMETER;
    if (Value != nullptr && !valid_name(Value))
        return STATUS_INVALID_PARAMETER;
    ULONG capacity = Value == nullptr ? 0 : Value->MaximumLength;
    if (Value != nullptr && capacity == 0)
        return STATUS_INVALID_PARAMETER;
    std::vector<std::uint8_t> data;
    ULONG length = 0;
    ULONG type = 0;
    NTSTATUS status = query(key->handle, ValueName, capacity, data, &length, &type);
    if (NT_SUCCESS(status) && !is_sz(type))
        status = STATUS_OBJECT_TYPE_MISMATCH;
    if ((NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) && ValueByteLength != nullptr) {
        *ValueByteLength = static_cast<USHORT>(length);
    }
    if (NT_SUCCESS(status) && Value != nullptr) {
        // Whole characters only, and the terminating zero is not part of the string; an
        // empty value gives an empty string.
        std::u16string text = sz_text(data);
        std::memcpy(Value->Buffer, text.data(), text.size() * sizeof(WCHAR));
        Value->Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    }
    return status;
}

NTSTATUS WdfRegistryQueryString(WDFKEY Key, PCUNICODE_STRING ValueName, WDFSTRING String) {
    if (auto st = faults::fault_point("WdfRegistryQueryString"))
        return *st;
    auto* key = get(Key, "WdfRegistryQueryString");
    if (ValueName == nullptr || String == nullptr)
        violation("WdfRegistryQueryString: NULL");
    if (!at_passive())
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!valid_name(ValueName))
        return STATUS_INVALID_PARAMETER;
    auto* string = fx_get<fx_string>(String, fx_type::string, "WdfRegistryQueryString");
    std::vector<std::uint8_t> data;
    ULONG length = 0;
    ULONG type = 0;
    NTSTATUS status = query(key->handle, ValueName, 0, data, &length, &type);
    if (NT_SUCCESS(status) && !is_sz(type))
        status = STATUS_OBJECT_TYPE_MISMATCH;
    if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW)
        return status;
    if (length == 0)
        return STATUS_RESOURCE_DATA_NOT_FOUND;
    status = query(key->handle, ValueName, length, data, &length, &type);
    if (NT_SUCCESS(status) && !is_sz(type))
        status = STATUS_OBJECT_TYPE_MISMATCH;
    if (!NT_SUCCESS(status))
        return status;
    if (data.size() > 0xFFFF)
        return STATUS_INVALID_BUFFER_SIZE;
    return string->assign(sz_text(data));
}

}  // extern "C"

extern "C" {

NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER Driver, ACCESS_MASK DesiredAccess,
                                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
    if (auto st = faults::fault_point("WdfDriverOpenParametersRegistryKey"))
        return *st;
    auto* driver = fx_get<fx_driver>(Driver, fx_type::driver, "WdfDriverOpenParametersRegistryKey");
    if (Key == nullptr)
        violation("WdfDriverOpenParametersRegistryKey: Key is NULL");
    *Key = nullptr;
    if (!at_passive())
        return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS status = validate_attributes(KeyAttributes, attr_none);
    if (!NT_SUCCESS(status))
        return status;
    // The service key's Parameters subkey, created when it does not exist yet.
    kernel::owned_unicode_string path(driver->registry_path + u"\\Parameters");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, path.get(), OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr,
                               nullptr);
    HANDLE handle = nullptr;
    status = ZwCreateKey(&handle, DesiredAccess, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    return wrap(handle, KeyAttributes, driver, Key);
}

PDEVICE_OBJECT WdfFdoInitWdmGetPhysicalDevice(PWDFDEVICE_INIT DeviceInit) {
    if (DeviceInit == nullptr)
        violation("WdfFdoInitWdmGetPhysicalDevice: DeviceInit is NULL");
    return DeviceInit->pdo;
}

NTSTATUS WdfFdoInitOpenRegistryKey(PWDFDEVICE_INIT DeviceInit, ULONG DeviceInstanceKeyType,
                                   ACCESS_MASK DesiredAccess, PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                   WDFKEY* Key) {
    if (auto st = faults::fault_point("WdfFdoInitOpenRegistryKey"))
        return *st;
    if (DeviceInit == nullptr || Key == nullptr)
        violation("WdfFdoInitOpenRegistryKey: NULL");
    *Key = nullptr;
    if (!at_passive())
        return STATUS_INVALID_DEVICE_REQUEST;
    ULONG kind = DeviceInstanceKeyType & ~static_cast<ULONG>(PLUGPLAY_REGKEY_CURRENT_HWPROFILE);
    if (kind != PLUGPLAY_REGKEY_DEVICE && kind != PLUGPLAY_REGKEY_DRIVER) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = validate_attributes(KeyAttributes, attr_none);
    if (!NT_SUCCESS(status))
        return status;
    HANDLE handle = nullptr;
    status =
        IoOpenDeviceRegistryKey(DeviceInit->pdo, DeviceInstanceKeyType, DesiredAccess, &handle);
    if (!NT_SUCCESS(status))
        return status;
    // No device exists yet: the key belongs to the driver until it is closed.
    return wrap(handle, KeyAttributes, DeviceInit->driver, Key);
}

}  // extern "C"

namespace {

NTSTATUS assign_value(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueType, ULONG ValueLength,
                      PVOID Value, const char* routine) {
    auto* key = get(Key, routine);
    if (ValueName == nullptr || (Value == nullptr && ValueLength != 0)) {
        violation(std::string(routine) + ": NULL parameter");
    }
    if (!at_passive())
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!valid_name(ValueName))
        return STATUS_INVALID_PARAMETER;
    return ZwSetValueKey(key->handle, const_cast<PUNICODE_STRING>(ValueName), 0, ValueType, Value,
                         ValueLength);
}

}  // namespace

extern "C" {

NTSTATUS WdfRegistryAssignValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueType,
                                ULONG ValueLength, PVOID Value) {
    if (auto st = faults::fault_point("WdfRegistryAssignValue"))
        return *st;
    return assign_value(Key, ValueName, ValueType, ValueLength, Value, "WdfRegistryAssignValue");
}

NTSTATUS WdfRegistryAssignULong(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value) {
    if (auto st = faults::fault_point("WdfRegistryAssignULong"))
        return *st;
    return assign_value(Key, ValueName, REG_DWORD, sizeof Value, &Value, "WdfRegistryAssignULong");
}

NTSTATUS WdfRegistryAssignUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName,
                                        PCUNICODE_STRING Value) {
    if (auto st = faults::fault_point("WdfRegistryAssignUnicodeString"))
        return *st;
    if (Value == nullptr || !valid_name(Value))
        return STATUS_INVALID_PARAMETER;
    // Stored with its terminating zero, as REG_SZ values are.
    std::u16string text(kernel::view(Value));
    return assign_value(Key, ValueName, REG_SZ,
                        static_cast<ULONG>((text.size() + 1) * sizeof(WCHAR)), text.data(),
                        "WdfRegistryAssignUnicodeString");
}

NTSTATUS WdfRegistryAssignString(WDFKEY Key, PCUNICODE_STRING ValueName, WDFSTRING String) {
    if (auto st = faults::fault_point("WdfRegistryAssignString"))
        return *st;
    auto* string = fx_get<fx_string>(String, fx_type::string, "WdfRegistryAssignString");
    std::u16string text(string->text());
    return assign_value(Key, ValueName, REG_SZ,
                        static_cast<ULONG>((text.size() + 1) * sizeof(WCHAR)), text.data(),
                        "WdfRegistryAssignString");
}

NTSTATUS WdfRegistryRemoveValue(WDFKEY Key, PCUNICODE_STRING ValueName) {
    if (auto st = faults::fault_point("WdfRegistryRemoveValue"))
        return *st;
    auto* key = get(Key, "WdfRegistryRemoveValue");
    if (ValueName == nullptr)
        violation("WdfRegistryRemoveValue: ValueName is NULL");
    if (!at_passive())
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!valid_name(ValueName))
        return STATUS_INVALID_PARAMETER;
    return ZwDeleteValueKey(key->handle, const_cast<PUNICODE_STRING>(ValueName));
}

}  // extern "C"
