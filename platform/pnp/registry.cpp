// The registry tree, its key objects and the kernel's registry routines.
#include "pnp/registry.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "core/bugcheck.h"
#include "core/faults.h"
#include "core/scheduler.h"
#include "kernel/object_manager.h"
#include "kernel/strings.h"

namespace platform::pnp {

namespace {

std::vector<std::uint8_t> utf16_bytes(std::u16string_view text) {
    std::vector<std::uint8_t> out;
    out.reserve((text.size() + 1) * 2);
    for (char16_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c & 0xff));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return out;
}

}  // namespace

void require_passive(std::string_view routine) {
    auto irql = scheduler::get().current().irql;
    if (irql != PASSIVE_LEVEL) {
        bug_check(bug_code::irql_not_less_or_equal,
                  std::string(routine) + " called above PASSIVE_LEVEL", irql);
    }
}

registry_value reg_sz(std::u16string_view text) {
    registry_value v{REG_SZ, utf16_bytes(text)};
    v.data.push_back(0);
    v.data.push_back(0);
    return v;
}

registry_value reg_multi_sz(const std::vector<std::u16string>& strings) {
    registry_value v{REG_MULTI_SZ, {}};
    for (const auto& s : strings) {
        auto bytes = utf16_bytes(s);
        v.data.insert(v.data.end(), bytes.begin(), bytes.end());
        v.data.push_back(0);
        v.data.push_back(0);
    }
    v.data.push_back(0);
    v.data.push_back(0);
    return v;
}

registry_value reg_dword(std::uint32_t value) {
    registry_value v{REG_DWORD, std::vector<std::uint8_t>(4)};
    for (int i = 0; i < 4; ++i) {
        v.data[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    return v;
}

registry_value reg_qword(std::uint64_t value) {
    registry_value v{REG_QWORD, std::vector<std::uint8_t>(8)};
    for (int i = 0; i < 8; ++i) {
        v.data[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    return v;
}

registry_value reg_binary(std::vector<std::uint8_t> bytes) {
    return registry_value{REG_BINARY, std::move(bytes)};
}

namespace registry {
namespace {

constexpr std::u16string_view root = u"\\Registry";

// One key. Its values are guarded by the registry lock.
struct key {
    std::u16string path;
    registry_values values;
};

// A key handle's object: the handle's key, kept alive while the handle is open even if the
// registry is cleared.
class key_object : public ob::object {
  public:
    explicit key_object(std::shared_ptr<key> k)
        : ob::object(ob::kind::key, this), k_(std::move(k)) {}
    const std::shared_ptr<key>& get() const { return k_; }
    std::string describe() const override { return "key " + kernel::to_utf8(k_->path); }

  private:
    std::shared_ptr<key> k_;
};

struct store {
    std::mutex lock;
    std::map<std::u16string, std::shared_ptr<key>, kernel::less_insensitive> keys;
};

store& the_store() {
    static store* s = new store();
    return *s;
}

// Splits into components; false for an empty component or a relative path.
bool well_formed(std::u16string_view path) {
    if (path.empty() || path.front() != u'\\' || path.back() == u'\\') {
        return false;
    }
    return path.find(u"\\\\") == std::u16string_view::npos;
}

std::u16string_view parent_of(std::u16string_view path) {
    auto pos = path.rfind(u'\\');
    return pos == 0 || pos == std::u16string_view::npos ? std::u16string_view{}
                                                        : path.substr(0, pos);
}

bool under_root(std::u16string_view path) {
    return kernel::equal_insensitive(path, root) ||
           (kernel::starts_with_insensitive(path, root) && path.size() > root.size() &&
            path[root.size()] == u'\\');
}

// With the store lock held.
std::shared_ptr<key> find_locked(store& s, std::u16string_view path) {
    auto it = s.keys.find(path);
    return it == s.keys.end() ? nullptr : it->second;
}

std::shared_ptr<key> ensure_locked(store& s, std::u16string_view path) {
    if (auto k = find_locked(s, path)) {
        return k;
    }
    std::u16string_view parent = parent_of(path);
    if (!parent.empty()) {
        ensure_locked(s, parent);
    }
    auto k = std::make_shared<key>();
    k->path = std::u16string(path);
    s.keys.emplace(k->path, k);
    return k;
}

void predefine_locked(store& s) {
    ensure_locked(s, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services");
    ensure_locked(s, u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum");
    ensure_locked(s, u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class");
    ensure_locked(s, u"\\Registry\\Machine\\Software");
    ensure_locked(s, u"\\Registry\\User");
}

store& initialised_store() {
    store& s = the_store();
    static bool once = [&s] {
        std::lock_guard g(s.lock);
        predefine_locked(s);
        return true;
    }();
    (void)once;
    return s;
}

ACCESS_MASK map_generic(ACCESS_MASK access) {
    ACCESS_MASK out =
        access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (access & GENERIC_READ) {
        out |= KEY_READ;
    }
    if (access & GENERIC_WRITE) {
        out |= KEY_WRITE;
    }
    if (access & GENERIC_EXECUTE) {
        out |= KEY_READ;
    }
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) {
        out |= KEY_ALL_ACCESS;
    }
    return out;
}

// The key behind a handle, checking the handle grants `needed`.
NTSTATUS key_from_handle(HANDLE h, ACCESS_MASK needed, std::shared_ptr<key>& out) {
    ob::ref<ob::object> obj;
    ACCESS_MASK granted = 0;
    NTSTATUS st = ob::reference_by_handle(h, needed, ob::kind::key, KernelMode, obj, &granted);
    if (!NT_SUCCESS(st)) {
        return st;
    }
    auto* ko = ob::as<key_object>(obj.get(), ob::kind::key);
    if (ko == nullptr) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if ((granted & needed) != needed) {
        return STATUS_ACCESS_DENIED;
    }
    out = ko->get();
    return STATUS_SUCCESS;
}

// The full path an OBJECT_ATTRIBUTES names (relative names against the root key handle).
NTSTATUS path_from_attributes(POBJECT_ATTRIBUTES oa, std::u16string& path) {
    if (oa == nullptr || oa->ObjectName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string name = kernel::to_u16(oa->ObjectName);
    if (oa->RootDirectory == nullptr) {
        path = std::move(name);
        return STATUS_SUCCESS;
    }
    if (!name.empty() && name.front() == u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    std::shared_ptr<key> base;
    NTSTATUS st = key_from_handle(oa->RootDirectory, 0, base);
    if (!NT_SUCCESS(st)) {
        return st;
    }
    path = name.empty() ? base->path : base->path + u"\\" + name;
    return STATUS_SUCCESS;
}

void put_ulong(std::vector<std::uint8_t>& out, std::size_t at, ULONG v) {
    std::memcpy(out.data() + at, &v, sizeof v);
}

// The bytes ZwQueryValueKey returns for `name` = `value`, and how many of them form the
// fixed part that must fit before anything is written.
struct value_record {
    std::vector<std::uint8_t> bytes;
    std::size_t fixed = 0;
};

bool build_record(KEY_VALUE_INFORMATION_CLASS cls, std::u16string_view name,
                  const registry_value& value, value_record& r) {
    const ULONG name_bytes = static_cast<ULONG>(name.size() * sizeof(char16_t));
    const ULONG data_bytes = static_cast<ULONG>(value.data.size());
    switch (cls) {
        case KeyValueBasicInformation: {
            r.fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
            r.bytes.assign(r.fixed + name_bytes, 0);
            put_ulong(r.bytes, offsetof(KEY_VALUE_BASIC_INFORMATION, Type), value.type);
            put_ulong(r.bytes, offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), name_bytes);
            std::memcpy(r.bytes.data() + r.fixed, name.data(), name_bytes);
            return true;
        }
        case KeyValueFullInformation:
        case KeyValueFullInformationAlign64: {
            r.fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
            const std::size_t data_offset = (r.fixed + name_bytes + 7) & ~std::size_t{7};
            r.bytes.assign(data_offset + data_bytes, 0);
            put_ulong(r.bytes, offsetof(KEY_VALUE_FULL_INFORMATION, Type), value.type);
            put_ulong(r.bytes, offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset),
                      static_cast<ULONG>(data_offset));
            put_ulong(r.bytes, offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), data_bytes);
            put_ulong(r.bytes, offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), name_bytes);
            std::memcpy(r.bytes.data() + r.fixed, name.data(), name_bytes);
            if (data_bytes != 0) {
                std::memcpy(r.bytes.data() + data_offset, value.data.data(), data_bytes);
            }
            return true;
        }
        case KeyValuePartialInformation:
        case KeyValuePartialInformationAlign64: {
            r.fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
            r.bytes.assign(r.fixed + data_bytes, 0);
            put_ulong(r.bytes, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
            put_ulong(r.bytes, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), data_bytes);
            if (data_bytes != 0) {
                std::memcpy(r.bytes.data() + r.fixed, value.data.data(), data_bytes);
            }
            return true;
        }
        default:
            return false;
    }
}

}  // namespace

void ensure_key(std::u16string_view path) {
    store& s = initialised_store();
    std::lock_guard g(s.lock);
    ensure_locked(s, path);
}

bool key_exists(std::u16string_view path) {
    store& s = initialised_store();
    std::lock_guard g(s.lock);
    return find_locked(s, path) != nullptr;
}

void set_value(std::u16string_view key_path, std::u16string_view name, registry_value value) {
    store& s = initialised_store();
    std::lock_guard g(s.lock);
    ensure_locked(s, key_path)->values[std::u16string(name)] = std::move(value);
}

void set_values(std::u16string_view key_path, const registry_values& values) {
    store& s = initialised_store();
    std::lock_guard g(s.lock);
    auto k = ensure_locked(s, key_path);
    for (const auto& [name, value] : values) {
        k->values[name] = value;
    }
}

std::optional<registry_value> get_value(std::u16string_view key_path, std::u16string_view name) {
    store& s = initialised_store();
    std::lock_guard g(s.lock);
    auto k = find_locked(s, key_path);
    if (k == nullptr) {
        return std::nullopt;
    }
    auto it = k->values.find(name);
    if (it == k->values.end()) {
        return std::nullopt;
    }
    return it->second;
}

NTSTATUS open_key(std::u16string_view path, ACCESS_MASK access, bool create, PHANDLE handle,
                  ULONG* disposition) {
    if (handle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!well_formed(path) || !under_root(path)) {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    store& s = initialised_store();
    std::shared_ptr<key> k;
    ULONG how = REG_OPENED_EXISTING_KEY;
    {
        std::lock_guard g(s.lock);
        k = find_locked(s, path);
        if (k == nullptr) {
            if (!create || find_locked(s, parent_of(path)) == nullptr) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            k = ensure_locked(s, path);
            how = REG_CREATED_NEW_KEY;
        }
    }
    ob::ref<ob::object> obj = ob::make<key_object>(k);
    *handle = ob::kernel_handles().insert(obj, map_generic(access), OBJ_KERNEL_HANDLE);
    if (disposition != nullptr) {
        *disposition = how;
    }
    return STATUS_SUCCESS;
}

void clear() {
    store& s = initialised_store();
    std::lock_guard g(s.lock);
    s.keys.clear();
    predefine_locked(s);
}

}  // namespace registry
}  // namespace platform::pnp

using namespace platform;
using namespace platform::pnp;

extern "C" {

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                   POBJECT_ATTRIBUTES ObjectAttributes) {
    if (auto st = faults::fault_point("ZwOpenKey")) {
        return *st;
    }
    require_passive("ZwOpenKey");
    std::u16string path;
    NTSTATUS st = registry::path_from_attributes(ObjectAttributes, path);
    if (!NT_SUCCESS(st)) {
        return st;
    }
    return registry::open_key(path, DesiredAccess, false, KeyHandle);
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex, PUNICODE_STRING Class,
                     ULONG CreateOptions, PULONG Disposition) {
    (void)TitleIndex;
    (void)Class;
    if (auto st = faults::fault_point("ZwCreateKey")) {
        return *st;
    }
    require_passive("ZwCreateKey");
    if ((CreateOptions & ~(REG_OPTION_NON_VOLATILE | REG_OPTION_VOLATILE)) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string path;
    NTSTATUS st = registry::path_from_attributes(ObjectAttributes, path);
    if (!NT_SUCCESS(st)) {
        return st;
    }
    return registry::open_key(path, DesiredAccess, true, KeyHandle, Disposition);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    if (auto st = faults::fault_point("ZwQueryValueKey")) {
        return *st;
    }
    require_passive("ZwQueryValueKey");
    if (ResultLength == nullptr || (KeyValueInformation == nullptr && Length != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::shared_ptr<registry::key> k;
    NTSTATUS st = registry::key_from_handle(KeyHandle, KEY_QUERY_VALUE, k);
    if (!NT_SUCCESS(st)) {
        return st;
    }
    std::u16string name = kernel::to_u16(ValueName);
    registry::value_record rec;
    {
        std::lock_guard g(registry::initialised_store().lock);
        auto it = k->values.find(name);
        if (it == k->values.end()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (!registry::build_record(KeyValueInformationClass, it->first, it->second, rec)) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    *ResultLength = static_cast<ULONG>(rec.bytes.size());
    if (Length < rec.fixed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (Length < rec.bytes.size()) {
        std::memcpy(KeyValueInformation, rec.bytes.data(), rec.fixed);
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(KeyValueInformation, rec.bytes.data(), rec.bytes.size());
    return STATUS_SUCCESS;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize) {
    (void)TitleIndex;
    if (auto st = faults::fault_point("ZwSetValueKey")) {
        return *st;
    }
    require_passive("ZwSetValueKey");
    if (Data == nullptr && DataSize != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::shared_ptr<registry::key> k;
    NTSTATUS st = registry::key_from_handle(KeyHandle, KEY_SET_VALUE, k);
    if (!NT_SUCCESS(st)) {
        return st;
    }
    registry_value v{Type, {}};
    if (DataSize != 0) {
        auto* p = static_cast<const std::uint8_t*>(Data);
        v.data.assign(p, p + DataSize);
    }
    std::lock_guard g(registry::initialised_store().lock);
    k->values[kernel::to_u16(ValueName)] = std::move(v);
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    if (auto st = faults::fault_point("ZwDeleteValueKey")) {
        return *st;
    }
    require_passive("ZwDeleteValueKey");
    std::shared_ptr<registry::key> k;
    NTSTATUS st = registry::key_from_handle(KeyHandle, KEY_SET_VALUE, k);
    if (!NT_SUCCESS(st)) {
        return st;
    }
    std::lock_guard g(registry::initialised_store().lock);
    return k->values.erase(kernel::to_u16(ValueName)) == 0 ? STATUS_OBJECT_NAME_NOT_FOUND
                                                           : STATUS_SUCCESS;
}

}  // extern "C"
