// The framework object model: the handle table, parent/child links, references, deletion
// and typed contexts.
#include "wdf/fx_object.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/bugcheck.h"
#include "core/driver_call.h"
#include "kernel/kernel.h"
#include "wdf/fx_driver.h"

namespace platform::wdf {
namespace {

struct object_table {
    std::mutex mutex;
    std::uint64_t next_id = 1;
    std::unordered_map<std::uintptr_t, fx_object*> objects;
    std::unordered_map<const void*, fx_object*> contexts;
    // The type of every object ever published, by serial: a handle is never reused, so one
    // that is no longer in `objects` names a deleted object of this type.
    std::vector<fx_type> types{fx_type::object};
};

object_table& table() {
    static object_table* t = new object_table;  // never destroyed: objects may outlive main
    return *t;
}

// Handles are numbers, not addresses: (serial << 4) | 8. Never reused, never dereferenceable.
WDFOBJECT make_handle(std::uint64_t id) {
    return reinterpret_cast<WDFOBJECT>(static_cast<std::uintptr_t>((id << 4) | 8));
}

// Why `handle` is not a live object: "WDFWAITLOCK 0x18 used after it was deleted", or that
// it is no framework handle at all. Called with the table mutex held.
std::string describe_dead_locked(object_table& t, WDFOBJECT handle) {
    auto value = reinterpret_cast<std::uintptr_t>(handle);
    char shown[32];
    std::snprintf(shown, sizeof shown, "%p", static_cast<void*>(handle));
    if (handle == nullptr) {
        return "NULL framework handle";
    }
    std::uint64_t id = value >> 4;
    if ((value & 0xF) == 8 && id != 0 && id < t.types.size()) {
        return std::string(type_name(t.types[id])) + " " + shown + " used after it was deleted";
    }
    return std::string("invalid framework handle ") + shown + " (never created)";
}

// The framework's system threads and the driver they belong to: the driver whose code the
// calling thread runs, as the framework tracks it.
PDRIVER_OBJECT current_wdm_driver() {
    fx_driver* driver = fx_driver::current();
    return driver != nullptr ? driver->wdm : nullptr;
}

}  // namespace

[[noreturn]] void violation(std::string_view what, std::uint64_t p1, std::uint64_t p2) {
    bug_check(bug_code::wdf_violation, what, p1, p2);
}

std::string_view type_name(fx_type type) {
    switch (type) {
        case fx_type::object:
            return "WDFOBJECT";
        case fx_type::driver:
            return "WDFDRIVER";
        case fx_type::device:
            return "WDFDEVICE";
        case fx_type::queue:
            return "WDFQUEUE";
        case fx_type::request:
            return "WDFREQUEST";
        case fx_type::file_object:
            return "WDFFILEOBJECT";
        case fx_type::memory:
            return "WDFMEMORY";
        case fx_type::string:
            return "WDFSTRING";
        case fx_type::collection:
            return "WDFCOLLECTION";
        case fx_type::wait_lock:
            return "WDFWAITLOCK";
        case fx_type::spin_lock:
            return "WDFSPINLOCK";
        case fx_type::work_item:
            return "WDFWORKITEM";
        case fx_type::key:
            return "WDFKEY";
        case fx_type::io_target:
            return "WDFIOTARGET";
        case fx_type::timer:
            return "WDFTIMER";
    }
    return "WDF object";
}

namespace {

// The raw value of an enumeration field the driver filled in: it may hold any number, and
// reading an out-of-range value through the enumeration type is undefined.
template <class E>
std::uint32_t raw(const E& field) {
    static_assert(sizeof(E) == sizeof(std::uint32_t));
    std::uint32_t value;
    std::memcpy(&value, &field, sizeof value);
    return value;
}

}  // namespace

NTSTATUS validate_attributes(const WDF_OBJECT_ATTRIBUTES* a, unsigned flags) {
    if (a == nullptr) {
        return (flags & attr_required) ? STATUS_WDF_PARENT_NOT_SPECIFIED : STATUS_SUCCESS;
    }
    if (a->Size != sizeof(WDF_OBJECT_ATTRIBUTES))
        return STATUS_INFO_LENGTH_MISMATCH;
    if (a->ContextTypeInfo != nullptr) {
        if (a->ContextTypeInfo->Size != sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        if (a->ContextTypeInfo->ContextSize > 0 && a->ContextTypeInfo->ContextName == nullptr) {
            return STATUS_WDF_OBJECT_ATTRIBUTES_INVALID;
        }
    }
    if (a->ContextSizeOverride > 0) {
        if (a->ContextTypeInfo == nullptr ||
            a->ContextSizeOverride < a->ContextTypeInfo->ContextSize) {
            return STATUS_WDF_OBJECT_ATTRIBUTES_INVALID;
        }
    }
    if (flags & attr_parent_not_allowed) {
        if (a->ParentObject != nullptr)
            return STATUS_WDF_PARENT_ASSIGNMENT_NOT_ALLOWED;
    } else if ((flags & attr_parent_required) && a->ParentObject == nullptr) {
        return STATUS_WDF_PARENT_NOT_SPECIFIED;
    }
    std::uint32_t level = raw(a->ExecutionLevel);
    std::uint32_t scope = raw(a->SynchronizationScope);
    if (level == WdfExecutionLevelInvalid || level > WdfExecutionLevelDispatch) {
        return STATUS_WDF_OBJECT_ATTRIBUTES_INVALID;
    }
    if (scope == WdfSynchronizationScopeInvalid || scope > WdfSynchronizationScopeNone) {
        return STATUS_WDF_OBJECT_ATTRIBUTES_INVALID;
    }
    if (!(flags & attr_sync_scope_allowed) && scope != WdfSynchronizationScopeInheritFromParent &&
        scope != WdfSynchronizationScopeNone) {
        return STATUS_WDF_SYNCHRONIZATION_SCOPE_INVALID;
    }
    if (!(flags & attr_exec_level_allowed) && level != WdfExecutionLevelInheritFromParent) {
        return STATUS_WDF_EXECUTION_LEVEL_INVALID;
    }
    return STATUS_SUCCESS;
}

fx_object::fx_object(fx_type type) : type_(type) {
    static std::once_flag resolver_installed;
    std::call_once(resolver_installed, [] { kernel::set_driver_resolver(current_wdm_driver); });
}

fx_object::~fx_object() {
    for (auto& c : contexts_)
        std::free(c.memory);
}

void fx_object::discard(fx_object* object) {
    if (object == nullptr)
        return;
    if (object->committed_)
        violation("discard of a published framework object");
    delete object;
}

NTSTATUS fx_object::add_context(const WDF_OBJECT_ATTRIBUTES* a, void** context) {
    context_entry entry{a->ContextTypeInfo, nullptr, a->EvtCleanupCallback, a->EvtDestroyCallback};
    if (a->ContextTypeInfo != nullptr) {
        size_t size = a->ContextTypeInfo->ContextSize;
        if (a->ContextSizeOverride > size)
            size = a->ContextSizeOverride;
        // Always at least one byte, so every context has its own address.
        entry.memory = std::calloc(1, size == 0 ? 1 : size);
        if (entry.memory == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (context != nullptr)
        *context = entry.memory;
    contexts_.push_back(entry);
    return STATUS_SUCCESS;
}

NTSTATUS fx_object::commit(const WDF_OBJECT_ATTRIBUTES* a, fx_object* default_parent,
                           unsigned flags) {
    if (committed_)
        violation("framework object committed twice");
    NTSTATUS st = validate_attributes(a, flags);
    if (!NT_SUCCESS(st))
        return st;

    fx_object* parent = default_parent;
    if (a != nullptr && a->ParentObject != nullptr) {
        parent = get(a->ParentObject, "ParentObject");
    }
    if (parent == this)
        return STATUS_WDF_PARENT_IS_SELF;
    if (a != nullptr) {
        exec_level_ = a->ExecutionLevel;
        sync_scope_ = a->SynchronizationScope;
        if (a->ContextTypeInfo != nullptr || a->EvtCleanupCallback != nullptr ||
            a->EvtDestroyCallback != nullptr) {
            st = add_context(a, nullptr);
            if (!NT_SUCCESS(st))
                return st;
        }
    }

    auto& t = table();
    std::lock_guard lk(t.mutex);
    if (parent != nullptr && parent->deleting()) {
        for (auto& c : contexts_)
            std::free(c.memory);
        contexts_.clear();
        return STATUS_DELETE_PENDING;
    }
    std::uint64_t id = t.next_id++;
    handle_ = make_handle(id);
    t.objects.emplace(reinterpret_cast<std::uintptr_t>(handle_), this);
    t.types.resize(id + 1, fx_type::object);
    t.types[id] = type_;
    for (auto& c : contexts_) {
        if (c.memory != nullptr)
            t.contexts.emplace(c.memory, this);
    }
    parent_ = parent;
    if (parent != nullptr) {
        parent->children_.push_back(this);
        parent->refs_.fetch_add(1);
    }
    committed_ = true;
    return STATUS_SUCCESS;
}

fx_object* fx_object::find(WDFOBJECT handle) {
    if (handle == nullptr)
        return nullptr;
    auto& t = table();
    std::lock_guard lk(t.mutex);
    auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == t.objects.end() ? nullptr : it->second;
}

fx_object* fx_object::get(WDFOBJECT handle, std::string_view routine) {
    fx_object* object = find(handle);
    if (object == nullptr) {
        std::string what;
        {
            auto& t = table();
            std::lock_guard lk(t.mutex);
            what = std::string(routine) + ": " + describe_dead_locked(t, handle);
        }
        std::string call = verifier::describe_current_call();
        if (!call.empty()) {
            what += " " + call;
        }
        violation(what, reinterpret_cast<std::uintptr_t>(handle));
    }
    return object;
}

fx_object* fx_object::get(WDFOBJECT handle, fx_type expected, std::string_view routine) {
    fx_object* object = get(handle, routine);
    if (object->type_ != expected) {
        violation(std::string(routine) + ": handle is a " + std::string(type_name(object->type_)) +
                      ", expected a " + std::string(type_name(expected)),
                  reinterpret_cast<std::uintptr_t>(handle), static_cast<std::uint64_t>(expected));
    }
    return object;
}

fx_object* fx_object::from_context(const void* context) {
    if (context == nullptr)
        return nullptr;
    auto& t = table();
    std::lock_guard lk(t.mutex);
    auto it = t.contexts.find(context);
    return it == t.contexts.end() ? nullptr : it->second;
}

void fx_object::add_ref() {
    if (refs_.fetch_add(1) <= 0)
        violation("reference taken on a destroyed framework object");
}

void fx_object::release() {
    // Read before the count drops: after it, another thread may free the object.
    const bool driver = type_ == fx_type::driver;
    long left = refs_.fetch_sub(1) - 1;
    if (left < 0) {
        violation("framework object dereferenced more often than referenced",
                  reinterpret_cast<std::uintptr_t>(handle_));
    }
    if (left == 0)
        destroy();
    else if (driver)
        driver_reference_dropped();
}

bool fx_object::release_unless_last() {
    long current = refs_.load();
    while (current > 1) {
        if (refs_.compare_exchange_weak(current, current - 1))
            return true;
    }
    return false;
}

void fx_object::delete_object() {
    state expected = state::live;
    if (!state_.compare_exchange_strong(expected, state::deleting))
        return;
    add_ref();  // keeps the object while its subtree and callbacks run

    // Children first, newest first, each with its own subtree. Each child is referenced while
    // it is listed, as the framework holds its children (FxObject's child list): one may be
    // deleted elsewhere while this walk runs (by a sibling's clean-up callback, or by itself
    // on another thread, as a work item does), and is then not freed under the walk.
    std::vector<fx_object*> kids;
    {
        std::lock_guard lk(table().mutex);
        kids = children_;
        for (fx_object* kid : kids)
            kid->refs_.fetch_add(1);
    }
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) {
        (*it)->delete_object();
        (*it)->release();
    }

    dispose();

    std::vector<context_entry> entries;
    {
        std::lock_guard lk(table().mutex);
        entries = contexts_;
    }
    for (auto& c : entries) {
        if (c.cleanup != nullptr)
            c.cleanup(handle_);
    }

    {
        std::lock_guard lk(table().mutex);
        if (parent_ != nullptr) {
            auto& siblings = parent_->children_;
            for (auto it = siblings.begin(); it != siblings.end(); ++it) {
                if (*it == this) {
                    siblings.erase(it);
                    break;
                }
            }
        }
    }
    state_.store(state::deleted);
    release();  // the creation reference
    release();  // the one taken above
}

void fx_object::delete_by_driver(std::string_view routine) {
    if (framework_deleted_) {
        violation(std::string(routine) + ": the framework deletes this " +
                      std::string(type_name(type_)) + ", the driver may not",
                  reinterpret_cast<std::uintptr_t>(handle_));
    }
    delete_object();
}

void fx_object::destroy() {
    if (state_.load() != state::deleted) {
        violation("last reference to a framework object dropped before it was deleted",
                  reinterpret_cast<std::uintptr_t>(handle_));
    }
    std::vector<context_entry> entries;
    {
        std::lock_guard lk(table().mutex);
        entries = contexts_;
    }
    for (auto& c : entries) {
        if (c.destroy != nullptr)
            c.destroy(handle_);
    }
    fx_object* parent = parent_;
    {
        auto& t = table();
        std::lock_guard lk(t.mutex);
        t.objects.erase(reinterpret_cast<std::uintptr_t>(handle_));
        for (auto& c : contexts_) {
            if (c.memory != nullptr)
                t.contexts.erase(c.memory);
        }
    }
    delete this;
    if (parent != nullptr)
        parent->release();
}

void* fx_object::context(PCWDF_OBJECT_CONTEXT_TYPE_INFO type_info) const {
    if (type_info == nullptr)
        return nullptr;
    std::lock_guard lk(table().mutex);
    for (auto& c : contexts_) {
        if (c.type_info == type_info && c.memory != nullptr)
            return c.memory;
    }
    return nullptr;
}

NTSTATUS fx_object::allocate_context(const WDF_OBJECT_ATTRIBUTES* a, void** context) {
    NTSTATUS st = validate_attributes(a, attr_required | attr_parent_not_allowed);
    if (!NT_SUCCESS(st))
        return st;
    if (a->ContextTypeInfo == nullptr)
        return STATUS_OBJECT_NAME_INVALID;
    if (deleting())
        return STATUS_DELETE_PENDING;

    context_entry entry{a->ContextTypeInfo, nullptr, a->EvtCleanupCallback, a->EvtDestroyCallback};
    size_t size = a->ContextTypeInfo->ContextSize;
    if (a->ContextSizeOverride > size)
        size = a->ContextSizeOverride;
    entry.memory = std::calloc(1, size == 0 ? 1 : size);
    if (entry.memory == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;

    auto& t = table();
    std::lock_guard lk(t.mutex);
    for (auto& c : contexts_) {
        if (c.type_info == a->ContextTypeInfo) {
            // Already attached: an informational status, and the caller gets the context.
            std::free(entry.memory);
            if (context != nullptr)
                *context = c.memory;
            return STATUS_OBJECT_NAME_EXISTS;
        }
    }
    contexts_.push_back(entry);
    t.contexts.emplace(entry.memory, this);
    if (context != nullptr)
        *context = entry.memory;
    return STATUS_SUCCESS;
}

WDF_EXECUTION_LEVEL fx_object::resolved_execution_level() const {
    for (const fx_object* o = this; o != nullptr; o = o->parent_) {
        if (o->exec_level_ != WdfExecutionLevelInheritFromParent)
            return o->exec_level_;
    }
    return WdfExecutionLevelDispatch;
}

WDF_SYNCHRONIZATION_SCOPE fx_object::resolved_sync_scope() const {
    for (const fx_object* o = this; o != nullptr; o = o->parent_) {
        if (o->sync_scope_ != WdfSynchronizationScopeInheritFromParent)
            return o->sync_scope_;
    }
    return WdfSynchronizationScopeNone;
}

std::vector<fx_object*> fx_object::children() const {
    std::lock_guard lk(table().mutex);
    return children_;
}

std::size_t fx_object::live_count() {
    auto& t = table();
    std::lock_guard lk(t.mutex);
    return t.objects.size();
}

}  // namespace platform::wdf
