// The registry as the PnP manager keeps it: a tree of keys under \Registry, each with named,
// typed values. Service keys and device instance keys are created here when a driver is
// registered or a device added; drivers read and write them through kernel key handles
// (ZwOpenKey, ZwCreateKey, IoOpenDeviceRegistryKey, ZwQueryValueKey, ZwSetValueKey, ZwClose).
//
// Paths are absolute ("\Registry\Machine\System\..."), components compared without regard to
// case. All state is guarded by one registry lock, never held while calling out.
#pragma once

#include <ntddk.h>

#include <optional>
#include <string>
#include <string_view>

#include "pnp/pnp_manager.h"

namespace platform::pnp {
// The registry and PnP routines run at PASSIVE_LEVEL only; above it is a bug check (0x0A).
void require_passive(std::string_view routine);
}  // namespace platform::pnp

namespace platform::pnp::registry {

// Creates `path` and every missing key above it.
void ensure_key(std::u16string_view path);
bool key_exists(std::u16string_view path);

// Value access for the platform itself (the key is created when missing).
void set_value(std::u16string_view key_path, std::u16string_view name, registry_value value);
void set_values(std::u16string_view key_path, const registry_values& values);
std::optional<registry_value> get_value(std::u16string_view key_path, std::u16string_view name);

// Opens (or, with `create`, creates) the key at `path` and returns a new kernel handle with
// the access asked for (generic rights mapped to key rights). `disposition` receives
// REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY when not NULL. STATUS_OBJECT_NAME_NOT_FOUND
// when the key (or, creating, its parent) does not exist; STATUS_OBJECT_PATH_SYNTAX_BAD for a
// path outside \Registry or with an empty component.
NTSTATUS open_key(std::u16string_view path, ACCESS_MASK access, bool create, PHANDLE handle,
                  ULONG* disposition = nullptr);

// Forgets every key except the predefined roots.
void clear();

}  // namespace platform::pnp::registry
