// Callback locks, the effective-lock look-up shared by queues, work items and timers, and the
// exported WdfObjectAcquireLock / WdfObjectReleaseLock.
#include "wdf/fx_callback_lock.h"

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/bugcheck.h"
#include "core/driver_call.h"
#include "core/symbolizer.h"
#include "wdf/file_object.h"
#include "wdf/fx_object.h"
#include "wdf/io_dispatch.h"
#include "wdf/queue.h"

namespace platform::wdf {
namespace {

// WDF_BUGCHECK_CODES: the first parameter of a WDF_VIOLATION bug check.
constexpr std::uint64_t wdf_recursive_lock = 0x2;
constexpr std::uint64_t wdf_invalid_lock_operation = 0xB;

std::uint64_t as_number(const void* p) {
    return reinterpret_cast<std::uintptr_t>(p);
}

std::string in_call() {
    std::string call = verifier::describe_current_call();
    return call.empty() ? call : " " + call;
}

// Devices' callback locks by device handle. Handles are never reused and the locks are never
// freed, so neither a stale handle nor a reused lock address can alias a live lock.
struct device_locks {
    std::mutex mutex;
    std::map<WDFOBJECT, std::unique_ptr<fx_callback_lock>> by_device;
};

device_locks& devices() {
    static auto* d = new device_locks;  // never destroyed
    return *d;
}

// The execution level and synchronisation scope an object's callbacks use
// (IFxHasCallbacks::GetConstraints): a queue's and a device's own, resolved through their
// parents; a file object's from the device's file-object attributes, with no scope when the
// driver gave none (FxPkgGeneral::ConfigureConstraints).
WDF_SYNCHRONIZATION_SCOPE callback_scope(fx_object* object) {
    if (object->type() == fx_type::queue)
        return static_cast<fx_queue*>(object)->sync_scope_in_effect();
    if (object->type() != fx_type::file_object)
        return object->resolved_sync_scope();
    const io_device_config& cfg = static_cast<fx_file_object*>(object)->package()->config();
    if (!cfg.has_file_attributes)
        return WdfSynchronizationScopeNone;
    WDF_SYNCHRONIZATION_SCOPE scope = cfg.file_attributes.SynchronizationScope;
    if (scope == WdfSynchronizationScopeInheritFromParent)
        scope = static_cast<fx_file_object*>(object)->package()->device()->resolved_sync_scope();
    return scope;
}

bool has_callbacks(const fx_object* object) {
    return object->type() == fx_type::queue || object->type() == fx_type::device ||
           object->type() == fx_type::file_object;
}

// FxObject::IsPassiveCallbacks: whether the object itself delivers its callbacks at
// PASSIVE_LEVEL. A queue is marked when its execution level resolves to passive, the driver
// always; any other object only when its own attributes asked for WdfExecutionLevelPassive
// (FxObject::Commit), so a device that merely inherits passive level from its driver is not.
bool passive_callbacks_of(const fx_object* object) {
    switch (object->type()) {
        case fx_type::queue:
            return static_cast<const fx_queue*>(object)->passive();
        case fx_type::driver:
            return true;
        default:
            return object->execution_level() == WdfExecutionLevelPassive;
    }
}

}  // namespace

fx_callback_lock::fx_callback_lock(kind k, std::string_view name)
    : kind_(k), name_(name), spin_(name), passive_(name) {}

void fx_callback_lock::identify(const void* handle) {
    handle_ = handle;
    spin_.identify(handle);
    passive_.identify(handle);
}

std::string fx_callback_lock::describe() const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", handle_ != nullptr ? handle_ : this);
    return std::string(name_) + " " + buf;
}

bool fx_callback_lock::held_by_current() const {
    return kind_ == kind::spin ? spin_.held_by_current() : passive_.held_by_current();
}

void fx_callback_lock::acquire(const void* site) {
    if (held_by_current()) {
        // FxCallbackSpinLock::Lock / FxCallbackMutexLock::Lock: the owner acquiring again.
        std::string by = site != nullptr
                             ? "WdfObjectAcquireLock called from " + symbolizer::describe(site)
                             : std::string("the framework, for a callback,");
        std::string held = owner_site_ != nullptr
                               ? "the driver took it at " + symbolizer::describe(owner_site_)
                               : std::string(
                                     "the framework holds it "
                                     "around the running callback");
        bug_check(bug_code::wdf_violation,
                  describe() + " acquired recursively by " + by + " while already held: " + held +
                      in_call(),
                  wdf_recursive_lock, as_number(handle_));
    }
    if (kind_ == kind::spin) {
        spin_.acquire(site);
    } else {
        passive_.acquire(nullptr, site);
    }
    owner_site_ = site;
}

void fx_callback_lock::release() {
    if (held_by_current())
        owner_site_ = nullptr;
    if (kind_ == kind::spin) {
        spin_.release();
    } else {
        passive_.release();
    }
}

fx_callback_lock* device_callback_lock(fx_object* device) {
    auto& d = devices();
    std::lock_guard g(d.mutex);
    auto& slot = d.by_device[device->handle()];
    if (!slot) {
        bool passive = device->resolved_execution_level() == WdfExecutionLevelPassive;
        slot = std::make_unique<fx_callback_lock>(
            passive ? fx_callback_lock::kind::passive : fx_callback_lock::kind::spin,
            passive ? "WDFDEVICE callback lock" : "WDFDEVICE callback spin lock");
        slot->identify(device->handle());
    }
    return slot.get();
}

fx_callback_lock* object_callback_lock(fx_object* object) {
    switch (object->type()) {
        case fx_type::queue:
            return static_cast<fx_queue*>(object)->callback_lock();
        case fx_type::device:
            return device_callback_lock(object);
        case fx_type::file_object:
            if (callback_scope(object) != WdfSynchronizationScopeDevice)
                return nullptr;
            return device_callback_lock(static_cast<fx_file_object*>(object)->package()->device());
        default:
            return nullptr;
    }
}

NTSTATUS effective_callback_lock(fx_object* parent, bool automatic_serialization,
                                 bool passive_callbacks, fx_callback_lock** lock) {
    *lock = nullptr;
    if (!automatic_serialization)
        return STATUS_SUCCESS;
    fx_object* owner = parent;
    while (owner != nullptr && !has_callbacks(owner))
        owner = owner->parent();
    if (owner == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    WDF_SYNCHRONIZATION_SCOPE scope = callback_scope(owner);
    if (scope == WdfSynchronizationScopeNone || scope == WdfSynchronizationScopeInheritFromParent)
        return STATUS_SUCCESS;
    if (passive_callbacks != passive_callbacks_of(parent))
        return STATUS_WDF_INCOMPATIBLE_EXECUTION_LEVEL;
    *lock = object_callback_lock(owner);
    return STATUS_SUCCESS;
}

callback_lock_hold::callback_lock_hold(fx_callback_lock* lock) : lock_(lock) {
    if (lock_ != nullptr)
        lock_->acquire();
}

callback_lock_hold::~callback_lock_hold() {
    if (lock_ != nullptr)
        lock_->release();
}

void callback_lock_hold::check_returned(std::string_view callback) const {
    if (lock_ == nullptr || lock_->held_by_current())
        return;
    // FxCallbackLock::CheckOwnership.
    bug_check(bug_code::wdf_violation,
              std::string(callback) + " returned without the " + lock_->describe() +
                  " the framework held for it: the driver released it inside its own callback "
                  "(WdfObjectReleaseLock on a lock it had not acquired)" +
                  in_call(),
              as_number(lock_), 0);
}

}  // namespace platform::wdf

using namespace platform;
using namespace platform::wdf;

namespace {

fx_callback_lock* lock_for_driver(WDFOBJECT handle, const char* routine) {
    fx_object* object = fx_object::get(handle, routine);
    fx_callback_lock* lock = object_callback_lock(object);
    if (lock == nullptr) {
        bug_check(bug_code::wdf_violation,
                  std::string(routine) + ": a " + std::string(type_name(object->type())) +
                      " has no callback lock (only devices, queues and file objects of a "
                      "device-scoped device have one)" +
                      in_call(),
                  wdf_invalid_lock_operation, as_number(handle));
    }
    return lock;
}

}  // namespace

extern "C" {

VOID WdfObjectAcquireLock(WDFOBJECT Object) {
    lock_for_driver(Object, "WdfObjectAcquireLock")->acquire(__builtin_return_address(0));
}

VOID WdfObjectReleaseLock(WDFOBJECT Object) {
    lock_for_driver(Object, "WdfObjectReleaseLock")->release();
}

}  // extern "C"
