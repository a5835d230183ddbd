// The object manager: typed, reference-counted kernel objects, handle tables and the one
// object namespace.
//
// Every kernel object is a `platform::ob::object` (or a class derived from it) that carries
// the body the driver sees (a KEVENT, a thread, a DEVICE_OBJECT, ...). The body pointer is
// registered, so ObfReferenceObject / ObfDereferenceObject on a body find the object; an
// unknown pointer is a bug check. The object is destroyed (virtual destructor) when its
// last reference goes.
//
//     struct device_object : ob::object {
//         DEVICE_OBJECT dev{};
//         device_object() : ob::object(ob::kind::device, &dev) {}
//     };
//     ob::ref<device_object> d = ob::make<device_object>();
//     NTSTATUS st = ob::insert(u"\\Device\\VRAX", d);      // namespace keeps its own reference
//     ob::create_symbolic_link(u"\\DosDevices\\VRAX", u"\\Device\\VRAX");
//     ob::lookup_result r = ob::lookup(u"\\??\\VRAX");     // r.status, r.obj == d
//     ob::resolve_result p = ob::resolve(u"\\??\\VRAX\\sub");  // p.obj == d, p.remaining "\\sub"
//     ob::remove(u"\\Device\\VRAX");
//
// Namespace. Paths are absolute ("\Device\X"); components are compared case-insensitively.
// The root holds the directories \Device, \Driver, \GLOBAL??, \BaseNamedObjects, \Registry,
// \KernelObjects, \ObjectTypes and \Sessions (with \Sessions\1\BaseNamedObjects, the named
// objects of the interactive session); \?? and \DosDevices are symbolic links to \GLOBAL??, so
// "\??\X", "\DosDevices\X" and "\GLOBAL??\X" name one entry. A symbolic link met while
// resolving a path is replaced by its target and the rest of the path re-resolved from
// there (a final link component only when following links); at most 32 such reparses.
//
// Permanent and temporary names. An object inserted as permanent (devices, drivers, links
// the kernel creates) stays named until remove(). A temporary one (named events) leaves the
// namespace when its last handle is closed, as Windows removes a temporary object's name
// when its handle count drops to zero.
//
// Handles. A `handle_table` maps handles to (object, granted access, attributes). The
// kernel's table hands out kernel handles (the top bit set, as Windows' kernel handles
// are); the Win32 layer creates one table per process. ZwClose / ObReferenceObjectByHandle
// use the kernel table for kernel handles and the current thread's process table otherwise.
//
// All state here is guarded by one object-manager lock, never held while calling out
// (destructors run after it is released).
#pragma once

#include <wdm.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kernel/strings.h"

namespace platform::ob {

enum class kind {
    directory,
    symbolic_link,
    event,
    thread,
    device,
    driver,
    file,
    key,
    process,
    other
};
std::string_view kind_name(kind k);

class object {
  public:
    // `body` is what the driver is handed (may equal `this` when there is no separate body);
    // it must stay valid for the life of the object. The new object has one reference, owned
    // by whoever created it (ob::make hands it to a ref<>).
    object(kind k, void* body);
    object(const object&) = delete;
    object& operator=(const object&) = delete;

    kind type() const { return kind_; }
    void* body() const { return body_; }
    // The full path the object was inserted under ("" while unnamed).
    std::u16string name() const;
    bool permanent() const;

    // Reference counting (ObfReferenceObject / ObfDereferenceObject). release() returns the
    // new count and deletes the object when it reaches zero.
    LONG_PTR add_ref();
    LONG_PTR release();
    // Adds a reference unless the count already reached zero (the object is being destroyed).
    bool try_add_ref();
    LONG_PTR ref_count() const { return refs_.load(); }
    LONG_PTR handle_count() const { return handles_.load(); }

    // Short description for leak reports: kind, name, references, handles.
    virtual std::string describe() const;

    // Objects that belong to the machine rather than to a driver (the namespace's own
    // directories and links, the implicit thread objects of test threads) are left out of
    // the final check's report.
    void mark_system() { system_ = true; }
    bool is_system() const { return system_; }

  protected:
    virtual ~object();
    // Called (outside the object-manager lock) when the last handle is closed, after a
    // temporary name was removed. Default: nothing.
    virtual void on_last_handle_closed() {}

  private:
    friend class handle_table;
    friend struct ns_access;
    kind kind_;
    void* body_;
    std::atomic<LONG_PTR> refs_{1};
    std::atomic<LONG_PTR> handles_{0};
    // Guarded by the object-manager lock.
    std::u16string name_;
    bool permanent_ = false;
    bool in_namespace_ = false;
    object* parent_ = nullptr;  // the directory holding the name
    std::u16string leaf_;       // the name's last component
    std::atomic<bool> system_{false};
};

// An owning, counted pointer to an object (adds one reference; drops it on destruction).
template <typename T>
class ref {
  public:
    ref() = default;
    ref(std::nullptr_t) {}
    // Adopts an existing reference when `adopt` is true, otherwise adds one.
    ref(T* p, bool adopt) : p_(p) {
        if (p_ != nullptr && !adopt) {
            p_->add_ref();
        }
    }
    ref(const ref& o) : ref(o.p_, false) {}
    ref(ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    template <typename U>
    ref(const ref<U>& o) : ref(static_cast<T*>(o.get()), false) {}
    template <typename U>
    ref(ref<U>&& o) noexcept : p_(static_cast<T*>(o.detach())) {}
    ref& operator=(ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~ref() {
        if (p_ != nullptr) {
            p_->release();
        }
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Gives up ownership of the reference without dropping it.
    T* detach() { return std::exchange(p_, nullptr); }
    void reset() { ref().swap(*this); }
    void swap(ref& o) noexcept { std::swap(p_, o.p_); }
    friend bool operator==(const ref& a, const ref& b) { return a.p_ == b.p_; }

  private:
    T* p_ = nullptr;
};

template <typename T, typename... Args>
ref<T> make(Args&&... args) {
    return ref<T>(new T(std::forward<Args>(args)...), true);
}

// A plain object with no body of its own (body == the object); for tests and simple kinds.
class basic_object : public object {
  public:
    explicit basic_object(kind k) : object(k, this) {}
};

// The object whose body is `body`, or null when none is (no reference added).
object* from_body(const void* body);
// Same, adding a reference.
ref<object> reference_body(const void* body);
// Downcast helper: the object as T when its kind matches.
template <typename T>
T* as(object* o, kind k) {
    return (o != nullptr && o->type() == k) ? static_cast<T*>(o) : nullptr;
}

// ---- Namespace ---------------------------------------------------------------------------

class directory;
class symbolic_link;

struct insert_options {
    bool permanent = true;
};

// Enters `obj` under the absolute `path`, following links in the directory part. The
// namespace keeps a reference until remove() (or, for temporary objects, until the last
// handle closes). STATUS_OBJECT_NAME_INVALID: not absolute, empty component, trailing '\';
// STATUS_OBJECT_PATH_NOT_FOUND: a directory on the way is missing or is not a directory;
// STATUS_OBJECT_NAME_COLLISION: the name is taken. An object can have one name only
// (a second insert is STATUS_OBJECT_NAME_COLLISION too).
NTSTATUS insert(std::u16string_view path, const ref<object>& obj, insert_options opts = {});

struct lookup_result {
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    ref<ob::object> obj;
    std::u16string path;  // the path finally resolved (after every reparse)
};
// Finds the object named `path`. With follow_links false a final symbolic-link component is
// returned itself (links on the way are still followed). STATUS_OBJECT_NAME_NOT_FOUND when
// the last component is missing, STATUS_OBJECT_PATH_NOT_FOUND when a directory on the way is.
lookup_result lookup(std::u16string_view path, bool follow_links = true);

struct resolve_result {
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    ref<ob::object> obj;
    std::u16string path;       // the path of `obj` after every reparse
    std::u16string remaining;  // the rest of the name past a non-directory ("\file"), or ""
};
// As lookup, but a non-directory object met before the end of the path ends the walk there:
// the object is returned with the unparsed rest (how the I/O manager opens "\Device\X\rest"
// with a file name of "\rest").
resolve_result resolve(std::u16string_view path, bool follow_links = true);

// Removes the name at `path` (a final link is removed itself, not followed) and drops the
// namespace's reference. STATUS_OBJECT_NAME_NOT_FOUND when nothing is there.
NTSTATUS remove(std::u16string_view path);
// Removes `obj`'s name, if it has one.
void remove_name(object& obj);

// Creates a directory object (the parent must exist).
NTSTATUS create_directory(std::u16string_view path);

// IoCreateSymbolicLink: a permanent link object at `link` whose target is `target` (not
// resolved until used). STATUS_OBJECT_NAME_COLLISION / _PATH_NOT_FOUND / _NAME_INVALID as
// insert().
NTSTATUS create_symbolic_link(std::u16string_view link, std::u16string_view target);
// IoDeleteSymbolicLink: STATUS_OBJECT_NAME_NOT_FOUND when `link` is not a symbolic link.
NTSTATUS delete_symbolic_link(std::u16string_view link);
// The target of the link object at `link` (not followed), or an empty optional-like pair.
std::pair<NTSTATUS, std::u16string> query_symbolic_link(std::u16string_view link);

// Names directly under a directory (in case-insensitive order), for tests and reports.
std::vector<std::u16string> list_directory(std::u16string_view path);

// ---- Handles -----------------------------------------------------------------------------

struct handle_entry {
    ref<ob::object> obj;
    ACCESS_MASK granted = 0;
    ULONG attributes = 0;  // OBJ_INHERIT, ...
};

class handle_table {
  public:
    // `kernel` tables hand out handles with the top bit set.
    explicit handle_table(bool kernel = false, std::string name = "process");
    ~handle_table();  // closes whatever is still open
    handle_table(const handle_table&) = delete;
    handle_table& operator=(const handle_table&) = delete;

    // A new handle for `obj` (adds a reference and a handle count).
    HANDLE insert(const ref<object>& obj, ACCESS_MASK granted, ULONG attributes = 0);
    // The entry for `h` (adds a reference), or a null object for an unknown handle.
    handle_entry lookup(HANDLE h) const;
    // Closes `h`: STATUS_INVALID_HANDLE when unknown. When it was the object's last handle
    // and the object is temporary, its name leaves the namespace.
    NTSTATUS close(HANDLE h);
    // Closes every handle (a process exiting).
    void close_all();
    std::size_t size() const;
    // Descriptions of the open handles: "0x... -> event \BaseNamedObjects\X (refs 2)".
    std::vector<std::string> describe() const;
    bool is_kernel() const { return kernel_; }

  private:
    mutable std::mutex lock_;
    bool kernel_;
    std::string name_;
    std::uintptr_t next_ = 4;
    std::map<std::uintptr_t, handle_entry> entries_;
};

// The system-wide table of kernel handles.
handle_table& kernel_handles();
bool is_kernel_handle(HANDLE h);
// The Win32 layer tells the object manager how to find the current thread's process table
// (from thread_record::user_process). Threads without one use the kernel table.
void set_process_table_resolver(std::function<handle_table*(void* user_process)> resolver);
// The table a handle passed by the current thread belongs to: the kernel table for kernel
// handles, else the current process's (or the kernel table for system threads).
handle_table& table_for(HANDLE h);

// Standard object types for ObReferenceObjectByHandle (the values behind PsThreadType, ...).
POBJECT_TYPE object_type(kind k);

// ObReferenceObjectByHandle, usable by the platform with a typed result.
NTSTATUS reference_by_handle(HANDLE h, ACCESS_MASK desired, kind expected, KPROCESSOR_MODE mode,
                             ref<object>& out, ACCESS_MASK* granted = nullptr);

// ---- Verifier ----------------------------------------------------------------------------

// Every live object that is not namespace infrastructure (directories, the predefined
// links) and is referenced beyond its namespace entry: "device \Device\X refs 2 handles 0".
std::vector<std::string> outstanding_objects();
std::size_t live_object_count();

}  // namespace platform::ob
