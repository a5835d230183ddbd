// The framework's object model, shared by every framework object (driver, device, queue,
// request, file object, memory, string, collection, locks, work items, registry keys).
//
// Handles. A handle is an opaque number, never a pointer, and numbers are never reused, so a
// handle whose object has been destroyed is always recognised: every exported routine looks
// its handle up with `fx_object::get` (or the typed `fx_get<T>`), which bug-checks 0x10D
// WDF_VIOLATION for an unknown or destroyed handle or an object of the wrong type.
//
// Lifetime. An object starts with one reference (the creation reference) and takes one on
// its parent. Deleting an object (WdfObjectDelete, or the framework deleting it):
//   1. marks it deleting (a second delete is ignored);
//   2. deletes its children, newest first, each the same way, so the whole subtree's
//      clean-up callbacks run child-first;
//   3. runs the object's own `dispose()` (type-specific teardown), then the clean-up
//      callbacks of its contexts;
//   4. unlinks it from its parent and drops the creation reference.
// When the last reference goes, the destroy callbacks run, the object is freed, its handle
// becomes invalid, and the reference it held on its parent is dropped (so a parent is always
// destroyed after its children).
//
// Threading. The object table and the parent/child links are guarded by one internal mutex
// that is never held while a driver callback runs.
#pragma once

#include <wdf.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <vector>

namespace platform::wdf {

enum class fx_type : std::uint16_t {
    object,  // WdfObjectCreate
    driver,
    device,
    queue,
    request,
    file_object,
    memory,
    string,
    collection,
    wait_lock,
    spin_lock,
    work_item,
    key,
    io_target,
    timer,
};

std::string_view type_name(fx_type type);

// What a kind of object allows in its WDF_OBJECT_ATTRIBUTES (the framework's own options).
enum attr_flags : unsigned {
    attr_none = 0,
    attr_parent_not_allowed = 0x1,
    attr_parent_required = 0x2,
    attr_sync_scope_allowed = 0x4,
    attr_exec_level_allowed = 0x8,
    attr_required = 0x10,  // attributes themselves must be given (NULL fails)
};

// Checks Size, the context type information, ContextSizeOverride, the parent rules and the
// execution level / synchronisation scope ranges. Returns the framework's status.
NTSTATUS validate_attributes(const WDF_OBJECT_ATTRIBUTES* attributes, unsigned flags);

class fx_object {
  public:
    fx_object(fx_type type);
    fx_object(const fx_object&) = delete;
    fx_object& operator=(const fx_object&) = delete;

    // Finishes creation: records the attributes (callbacks, context, execution level,
    // synchronisation scope), links the object under `parent` (attributes->ParentObject
    // wins when set and `flags` allow it; otherwise `default_parent`, which may be null for
    // a root such as the driver) and publishes its handle. `flags` as for
    // validate_attributes, which this calls first. On failure nothing is published and the
    // caller still owns the object: free it with `discard`.
    NTSTATUS commit(const WDF_OBJECT_ATTRIBUTES* attributes, fx_object* default_parent,
                    unsigned flags);
    // Frees an object whose commit failed or was never called.
    static void discard(fx_object* object);

    WDFOBJECT handle() const { return handle_; }
    template <class H>
    H handle_as() const {
        return reinterpret_cast<H>(handle_);
    }
    fx_type type() const { return type_; }
    fx_object* parent() const { return parent_; }

    // Looks a handle up. Bug-checks 0x10D for NULL, an unknown or destroyed handle, or (when
    // `expected` is given) an object of another type. `routine` names the caller in the
    // bug-check text.
    static fx_object* get(WDFOBJECT handle, std::string_view routine);
    static fx_object* get(WDFOBJECT handle, fx_type expected, std::string_view routine);
    // The same without bug-checking: null when the handle is not a live object.
    static fx_object* find(WDFOBJECT handle);
    static fx_object* from_context(const void* context);  // null when not a context

    // References. Every reference must be dropped; the object is destroyed at zero.
    void add_ref();
    void release();
    // Drops a reference unless it is the last one (returns false then, and changes nothing),
    // so a caller can finish with the object before the release that may destroy it.
    bool release_unless_last();
    long ref_count() const { return refs_.load(); }

    // The framework deletes the object (no check that the driver may). Idempotent.
    void delete_object();
    // WdfObjectDelete: bug-checks when this kind of object is deleted only by the framework.
    void delete_by_driver(std::string_view routine);
    // Objects the framework owns (the device, framework-created requests) set this.
    void set_framework_deleted(bool value) { framework_deleted_ = value; }

    bool deleting() const { return state_.load() != state::live; }

    // Contexts. The first comes from the creation attributes; more may be added.
    void* context(PCWDF_OBJECT_CONTEXT_TYPE_INFO type_info) const;
    NTSTATUS allocate_context(const WDF_OBJECT_ATTRIBUTES* attributes, void** context);

    // Execution level and synchronisation scope as given, and resolved through the parents
    // (a root that inherits resolves to dispatch level and no synchronisation).
    WDF_EXECUTION_LEVEL execution_level() const { return exec_level_; }
    WDF_SYNCHRONIZATION_SCOPE sync_scope() const { return sync_scope_; }
    WDF_EXECUTION_LEVEL resolved_execution_level() const;
    WDF_SYNCHRONIZATION_SCOPE resolved_sync_scope() const;

    // Live children, oldest first (a snapshot).
    std::vector<fx_object*> children() const;

    // Number of live framework objects (the verifier's leak check at unload).
    static std::size_t live_count();

  protected:
    virtual ~fx_object();
    // Type-specific teardown, run once during deletion after the children are gone and
    // before the clean-up callbacks.
    virtual void dispose() {}

  private:
    enum class state : int { live, deleting, deleted };
    struct context_entry {
        PCWDF_OBJECT_CONTEXT_TYPE_INFO type_info;
        void* memory;  // zero-filled, preceded by a header naming the owner
        PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup;
        PFN_WDF_OBJECT_CONTEXT_DESTROY destroy;
    };
    NTSTATUS add_context(const WDF_OBJECT_ATTRIBUTES* attributes, void** context);
    void destroy();

    fx_type type_;
    WDFOBJECT handle_ = nullptr;
    fx_object* parent_ = nullptr;
    std::vector<fx_object*> children_;  // guarded by the table mutex
    std::atomic<long> refs_{1};
    std::atomic<state> state_{state::live};
    bool framework_deleted_ = false;
    bool committed_ = false;
    WDF_EXECUTION_LEVEL exec_level_ = WdfExecutionLevelInheritFromParent;
    WDF_SYNCHRONIZATION_SCOPE sync_scope_ = WdfSynchronizationScopeInheritFromParent;
    std::vector<context_entry> contexts_;  // guarded by the table mutex
};

// Typed look-up: bug-checks unless `handle` is a live object of `expected`.
template <class T>
T* fx_get(WDFOBJECT handle, fx_type expected, std::string_view routine) {
    return static_cast<T*>(fx_object::get(handle, expected, routine));
}
template <class T, class H>
T* fx_get(H handle, fx_type expected, std::string_view routine) {
    return fx_get<T>(reinterpret_cast<WDFOBJECT>(handle), expected, routine);
}

// A reference held for a scope.
class fx_ref {
  public:
    explicit fx_ref(fx_object* object) : object_(object) {
        if (object_)
            object_->add_ref();
    }
    ~fx_ref() {
        if (object_)
            object_->release();
    }
    fx_ref(const fx_ref&) = delete;
    fx_ref& operator=(const fx_ref&) = delete;

  private:
    fx_object* object_;
};

// The default parent of objects created without one: the driver the calling code belongs to
// (null when no framework driver exists).
fx_object* fx_driver_root();

// Bug-checks 0x10D WDF_VIOLATION with `what`.
[[noreturn]] void violation(std::string_view what, std::uint64_t p1 = 0, std::uint64_t p2 = 0);

}  // namespace platform::wdf
