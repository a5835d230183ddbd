#include "kernel/object_manager.h"

#include <cstdio>
#include <unordered_map>

#include "core/bugcheck.h"
#include "core/faults.h"
#include "core/scheduler.h"

// The object types behind PsThreadType, ExEventObjectType, IoFileObjectType, ...
struct _OBJECT_TYPE {
    platform::ob::kind kind;
    const char* name;
};

namespace platform::ob {

class directory : public object {
  public:
    directory() : object(kind::directory, this) {}
    std::map<std::u16string, ref<object>, kernel::less_insensitive> entries;  // guarded by om lock
};

class symbolic_link : public object {
  public:
    explicit symbolic_link(std::u16string t)
        : object(kind::symbolic_link, this), target(std::move(t)) {}
    std::u16string target;
};

// Access to object internals for the namespace code below.
struct ns_access {
    static std::u16string& name(object& o) { return o.name_; }
    static bool& permanent(object& o) { return o.permanent_; }
    static bool& in_namespace(object& o) { return o.in_namespace_; }
    static object*& parent(object& o) { return o.parent_; }
    static std::u16string& leaf(object& o) { return o.leaf_; }
    static std::atomic<LONG_PTR>& handles(object& o) { return o.handles_; }
    static void last_handle_closed(object& o) { o.on_last_handle_closed(); }
};

namespace {

constexpr int max_reparse = 32;

struct om_state {
    std::mutex lock;         // the namespace and every object's name fields
    std::mutex bodies_lock;  // `bodies` only; never held while taking `lock`
    std::unordered_map<const void*, object*> bodies;  // every live object by body
    directory* root = nullptr;
    std::mutex resolver_lock;
    std::function<handle_table*(void*)> resolver;
};

om_state& om() {
    // Never destroyed: objects may be released while static destructors run.
    static om_state* s = new om_state();
    return *s;
}

directory& root_locked();

// Splits "\a\b\c" into components; false for a malformed path.
bool split(std::u16string_view path, std::vector<std::u16string_view>& out) {
    out.clear();
    if (path.empty() || path[0] != u'\\') {
        return false;
    }
    if (path.size() == 1) {
        return true;  // the root itself
    }
    std::size_t start = 1;
    for (;;) {
        std::size_t end = path.find(u'\\', start);
        std::u16string_view comp =
            path.substr(start, end == std::u16string_view::npos ? end : end - start);
        if (comp.empty()) {
            return false;
        }
        out.push_back(comp);
        if (end == std::u16string_view::npos) {
            return true;
        }
        start = end + 1;
    }
}

std::u16string join(const std::vector<std::u16string_view>& comps, std::size_t from) {
    std::u16string out;
    for (std::size_t i = from; i < comps.size(); ++i) {
        out += u'\\';
        out += comps[i];
    }
    return out;
}

struct walk_result {
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    object* obj = nullptr;  // borrowed; valid while the om lock is held
    std::u16string path;
    std::u16string remaining;
};

// Walks `path` from the root with the om lock held.
walk_result walk_locked(std::u16string_view path, bool follow_links, bool stop_at_leaf_object) {
    walk_result r;
    std::u16string current(path);
    std::vector<std::u16string_view> comps;
    for (int reparses = 0;; ++reparses) {
        if (reparses > max_reparse) {
            r.status = STATUS_OBJECT_PATH_NOT_FOUND;  // a link loop
            return r;
        }
        if (!split(current, comps)) {
            r.status = STATUS_OBJECT_NAME_INVALID;
            return r;
        }
        directory* dir = &root_locked();
        std::u16string walked;
        bool reparsed = false;
        if (comps.empty()) {
            r.status = STATUS_SUCCESS;
            r.obj = dir;
            r.path = u"\\";
            return r;
        }
        for (std::size_t i = 0; i < comps.size(); ++i) {
            bool last = i + 1 == comps.size();
            auto it = dir->entries.find(comps[i]);
            if (it == dir->entries.end()) {
                r.status = last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
                return r;
            }
            object* entry = it->second.get();
            walked += u'\\';
            walked += it->first;
            if (entry->type() == kind::symbolic_link && (!last || follow_links)) {
                current = static_cast<symbolic_link*>(entry)->target + join(comps, i + 1);
                reparsed = true;
                break;
            }
            if (last) {
                r.status = STATUS_SUCCESS;
                r.obj = entry;
                r.path = walked;
                return r;
            }
            if (entry->type() == kind::directory) {
                dir = static_cast<directory*>(entry);
                continue;
            }
            if (stop_at_leaf_object) {
                r.status = STATUS_SUCCESS;
                r.obj = entry;
                r.path = walked;
                r.remaining = join(comps, i + 1);
                return r;
            }
            r.status = STATUS_OBJECT_PATH_NOT_FOUND;
            return r;
        }
        if (!reparsed) {
            return r;
        }
    }
}

bool valid_leaf(std::u16string_view leaf) {
    return !leaf.empty() && leaf.find(u'\\') == std::u16string_view::npos;
}

// Enters `obj` under `path` with the om lock held.
NTSTATUS insert_locked(std::u16string_view path, const ref<object>& obj, bool permanent) {
    std::size_t cut = path.rfind(u'\\');
    if (path.empty() || path[0] != u'\\' || cut == std::u16string_view::npos ||
        !valid_leaf(path.substr(cut + 1))) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::u16string_view parent_path = cut == 0 ? std::u16string_view(u"\\") : path.substr(0, cut);
    walk_result parent = walk_locked(parent_path, true, false);
    if (parent.status == STATUS_OBJECT_NAME_INVALID) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (!NT_SUCCESS(parent.status) || parent.obj->type() != kind::directory) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    auto* dir = static_cast<directory*>(parent.obj);
    std::u16string leaf(path.substr(cut + 1));
    if (ns_access::in_namespace(*obj) || dir->entries.count(leaf) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    ns_access::name(*obj) = (parent.path == u"\\" ? u"" : parent.path) + u"\\" + leaf;
    ns_access::permanent(*obj) = permanent;
    ns_access::in_namespace(*obj) = true;
    ns_access::parent(*obj) = dir;
    ns_access::leaf(*obj) = leaf;
    dir->entries.emplace(std::move(leaf), obj);
    return STATUS_SUCCESS;
}

// Unlinks `obj` from its directory with the om lock held; the namespace's reference is moved
// to `grave` so it is dropped after the lock is released.
void unlink_locked(object& obj, std::vector<ref<object>>& grave) {
    if (!ns_access::in_namespace(obj)) {
        return;
    }
    auto* dir = static_cast<directory*>(ns_access::parent(obj));
    auto it = dir->entries.find(ns_access::leaf(obj));
    if (it != dir->entries.end() && it->second.get() == &obj) {
        grave.push_back(std::move(it->second));
        dir->entries.erase(it);
    }
    ns_access::in_namespace(obj) = false;
    ns_access::parent(obj) = nullptr;
    ns_access::name(obj).clear();
    ns_access::leaf(obj).clear();
}

directory& root_locked() {
    auto& s = om();
    if (s.root != nullptr) {
        return *s.root;
    }
    // The namespace as a freshly booted machine has it.
    s.root = new directory();
    s.root->mark_system();
    // \BaseNamedObjects is session 0's (services) and the global one; the interactive
    // session 1 has its own under \Sessions.
    for (const char16_t* name : {u"\\Device", u"\\Driver", u"\\GLOBAL??", u"\\BaseNamedObjects",
                                 u"\\Registry", u"\\KernelObjects", u"\\ObjectTypes", u"\\Sessions",
                                 u"\\Sessions\\1", u"\\Sessions\\1\\BaseNamedObjects"}) {
        auto d = ref<object>(new directory(), true);
        d->mark_system();
        insert_locked(name, d, true);
    }
    for (const char16_t* name : {u"\\??", u"\\DosDevices"}) {
        auto l = ref<object>(new symbolic_link(u"\\GLOBAL??"), true);
        l->mark_system();
        insert_locked(name, l, true);
    }
    return *s.root;
}

}  // namespace

// ---- object ------------------------------------------------------------------------------

std::string_view kind_name(kind k) {
    switch (k) {
        case kind::directory:
            return "directory";
        case kind::symbolic_link:
            return "symbolic link";
        case kind::event:
            return "event";
        case kind::thread:
            return "thread";
        case kind::device:
            return "device";
        case kind::driver:
            return "driver";
        case kind::file:
            return "file";
        case kind::key:
            return "key";
        case kind::process:
            return "process";
        case kind::other:
            return "object";
    }
    return "object";
}

object::object(kind k, void* body) : kind_(k), body_(body) {
    auto& s = om();
    std::lock_guard g(s.bodies_lock);
    if (body_ != nullptr) {
        s.bodies[body_] = this;
    }
}

object::~object() {
    auto& s = om();
    std::lock_guard g(s.bodies_lock);
    if (body_ != nullptr) {
        auto it = s.bodies.find(body_);
        if (it != s.bodies.end() && it->second == this) {
            s.bodies.erase(it);
        }
    }
}

std::u16string object::name() const {
    std::lock_guard g(om().lock);
    return name_;
}

bool object::permanent() const {
    std::lock_guard g(om().lock);
    return permanent_;
}

LONG_PTR object::add_ref() {
    LONG_PTR n = ++refs_;
    if (n <= 1) {
        bug_check(bug_code::reference_by_pointer, "reference taken on an object already freed",
                  reinterpret_cast<std::uintptr_t>(body_), static_cast<std::uint64_t>(n));
    }
    return n;
}

bool object::try_add_ref() {
    LONG_PTR n = refs_.load();
    while (n > 0) {
        if (refs_.compare_exchange_weak(n, n + 1)) {
            return true;
        }
    }
    return false;
}

LONG_PTR object::release() {
    LONG_PTR n = --refs_;
    if (n < 0) {
        bug_check(bug_code::reference_by_pointer, "object dereferenced more often than referenced",
                  reinterpret_cast<std::uintptr_t>(body_), static_cast<std::uint64_t>(n));
    }
    if (n == 0) {
        delete this;
    }
    return n;
}

std::string object::describe() const {
    char buf[96];
    std::snprintf(buf, sizeof buf, " (%p) refs %lld handles %lld", body_,
                  static_cast<long long>(refs_.load()), static_cast<long long>(handles_.load()));
    std::string n = platform::kernel::to_utf8(name());
    return std::string(kind_name(kind_)) + (n.empty() ? std::string(" <unnamed>") : " " + n) + buf;
}

object* from_body(const void* body) {
    auto& s = om();
    std::lock_guard g(s.bodies_lock);
    auto it = s.bodies.find(body);
    return it == s.bodies.end() ? nullptr : it->second;
}

ref<object> reference_body(const void* body) {
    auto& s = om();
    std::lock_guard g(s.bodies_lock);
    auto it = s.bodies.find(body);
    if (it == s.bodies.end() || !it->second->try_add_ref()) {
        return {};
    }
    return ref<object>(it->second, true);
}

// ---- namespace ---------------------------------------------------------------------------

NTSTATUS insert(std::u16string_view path, const ref<object>& obj, insert_options opts) {
    if (!obj) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard g(om().lock);
    return insert_locked(path, obj, opts.permanent);
}

lookup_result lookup(std::u16string_view path, bool follow_links) {
    lookup_result out;
    std::lock_guard g(om().lock);
    walk_result r = walk_locked(path, follow_links, false);
    out.status = r.status;
    if (NT_SUCCESS(r.status)) {
        out.obj = ref<object>(r.obj, false);
        out.path = std::move(r.path);
    }
    return out;
}

resolve_result resolve(std::u16string_view path, bool follow_links) {
    resolve_result out;
    std::lock_guard g(om().lock);
    walk_result r = walk_locked(path, follow_links, true);
    out.status = r.status;
    if (NT_SUCCESS(r.status)) {
        out.obj = ref<object>(r.obj, false);
        out.path = std::move(r.path);
        out.remaining = std::move(r.remaining);
    }
    return out;
}

NTSTATUS remove(std::u16string_view path) {
    std::vector<ref<object>> grave;
    std::lock_guard g(om().lock);
    walk_result r = walk_locked(path, false, false);
    if (!NT_SUCCESS(r.status)) {
        return r.status;
    }
    if (r.obj == om().root) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    unlink_locked(*r.obj, grave);
    return STATUS_SUCCESS;
}

void remove_name(object& obj) {
    std::vector<ref<object>> grave;
    std::lock_guard g(om().lock);
    unlink_locked(obj, grave);
}

NTSTATUS create_directory(std::u16string_view path) {
    auto d = ref<object>(new directory(), true);
    std::lock_guard g(om().lock);
    return insert_locked(path, d, true);
}

NTSTATUS create_symbolic_link(std::u16string_view link, std::u16string_view target) {
    std::vector<std::u16string_view> comps;
    if (!split(target, comps)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    auto l = ref<object>(new symbolic_link(std::u16string(target)), true);
    std::lock_guard g(om().lock);
    return insert_locked(link, l, true);
}

NTSTATUS delete_symbolic_link(std::u16string_view link) {
    std::vector<ref<object>> grave;
    std::lock_guard g(om().lock);
    walk_result r = walk_locked(link, false, false);
    if (!NT_SUCCESS(r.status)) {
        return r.status;
    }
    if (r.obj->type() != kind::symbolic_link) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    unlink_locked(*r.obj, grave);
    return STATUS_SUCCESS;
}

std::pair<NTSTATUS, std::u16string> query_symbolic_link(std::u16string_view link) {
    std::lock_guard g(om().lock);
    walk_result r = walk_locked(link, false, false);
    if (!NT_SUCCESS(r.status)) {
        return {r.status, {}};
    }
    if (r.obj->type() != kind::symbolic_link) {
        return {STATUS_OBJECT_TYPE_MISMATCH, {}};
    }
    return {STATUS_SUCCESS, static_cast<symbolic_link*>(r.obj)->target};
}

std::vector<std::u16string> list_directory(std::u16string_view path) {
    std::vector<std::u16string> out;
    std::lock_guard g(om().lock);
    walk_result r = walk_locked(path, true, false);
    if (NT_SUCCESS(r.status) && r.obj->type() == kind::directory) {
        for (auto& [name, obj] : static_cast<directory*>(r.obj)->entries) {
            out.push_back(name);
        }
    }
    return out;
}

// ---- handles -----------------------------------------------------------------------------

namespace {
constexpr std::uintptr_t kernel_handle_bit = std::uintptr_t(1) << (sizeof(void*) * 8 - 1);
}

handle_table::handle_table(bool kernel, std::string name)
    : kernel_(kernel), name_(std::move(name)) {}

handle_table::~handle_table() {
    close_all();
}

HANDLE handle_table::insert(const ref<object>& obj, ACCESS_MASK granted, ULONG attributes) {
    if (!obj) {
        return nullptr;
    }
    std::lock_guard g(lock_);
    std::uintptr_t v = next_;
    next_ += 4;
    ++ns_access::handles(*obj);
    entries_.emplace(v, handle_entry{obj, granted, attributes});
    return reinterpret_cast<HANDLE>(kernel_ ? (v | kernel_handle_bit) : v);
}

handle_entry handle_table::lookup(HANDLE h) const {
    auto v = reinterpret_cast<std::uintptr_t>(h);
    if (kernel_ != ((v & kernel_handle_bit) != 0)) {
        return {};
    }
    std::lock_guard g(lock_);
    auto it = entries_.find(v & ~kernel_handle_bit);
    if (it == entries_.end()) {
        return {};
    }
    return it->second;
}

NTSTATUS handle_table::close(HANDLE h) {
    auto v = reinterpret_cast<std::uintptr_t>(h);
    if (kernel_ != ((v & kernel_handle_bit) != 0)) {
        return STATUS_INVALID_HANDLE;
    }
    handle_entry entry;
    {
        std::lock_guard g(lock_);
        auto it = entries_.find(v & ~kernel_handle_bit);
        if (it == entries_.end()) {
            return STATUS_INVALID_HANDLE;
        }
        entry = std::move(it->second);
        entries_.erase(it);
    }
    object& obj = *entry.obj;
    bool last = false;
    {
        std::vector<ref<object>> grave;
        std::lock_guard g(om().lock);
        last = --ns_access::handles(obj) == 0;
        if (last && !ns_access::permanent(obj)) {
            unlink_locked(obj, grave);
        }
    }
    if (last) {
        ns_access::last_handle_closed(obj);
    }
    return STATUS_SUCCESS;
}

void handle_table::close_all() {
    std::vector<std::uintptr_t> open;
    {
        std::lock_guard g(lock_);
        for (auto& [v, e] : entries_) {
            open.push_back(v);
        }
    }
    for (auto v : open) {
        close(reinterpret_cast<HANDLE>(kernel_ ? (v | kernel_handle_bit) : v));
    }
}

std::size_t handle_table::size() const {
    std::lock_guard g(lock_);
    return entries_.size();
}

std::vector<std::string> handle_table::describe() const {
    std::vector<std::string> out;
    std::lock_guard g(lock_);
    for (auto& [v, e] : entries_) {
        char buf[48];
        std::snprintf(buf, sizeof buf, "%s handle 0x%llx -> ", name_.c_str(),
                      static_cast<unsigned long long>(kernel_ ? (v | kernel_handle_bit) : v));
        out.push_back(buf + e.obj->describe());
    }
    return out;
}

handle_table& kernel_handles() {
    static handle_table* t = new handle_table(true, "kernel");
    return *t;
}

bool is_kernel_handle(HANDLE h) {
    auto v = reinterpret_cast<std::uintptr_t>(h);
    // NtCurrentProcess() and NtCurrentThread() (-1, -2) are pseudo-handles, not kernel ones.
    return (v & kernel_handle_bit) != 0 && (v & 3) == 0;
}

void set_process_table_resolver(std::function<handle_table*(void* user_process)> resolver) {
    auto& s = om();
    std::lock_guard g(s.resolver_lock);
    s.resolver = std::move(resolver);
}

handle_table& table_for(HANDLE h) {
    if (is_kernel_handle(h)) {
        return kernel_handles();
    }
    void* process = scheduler::get().current().user_process;
    if (process != nullptr) {
        auto& s = om();
        std::function<handle_table*(void*)> resolver;
        {
            std::lock_guard g(s.resolver_lock);
            resolver = s.resolver;
        }
        if (resolver) {
            if (handle_table* t = resolver(process)) {
                return *t;
            }
        }
    }
    return kernel_handles();
}

namespace {
_OBJECT_TYPE object_types[] = {
    {kind::directory, "Directory"}, {kind::symbolic_link, "SymbolicLink"},
    {kind::event, "Event"},         {kind::thread, "Thread"},
    {kind::device, "Device"},       {kind::driver, "Driver"},
    {kind::file, "File"},           {kind::key, "Key"},
    {kind::process, "Process"},     {kind::other, "Object"},
};
}  // namespace

POBJECT_TYPE object_type(kind k) {
    return &object_types[static_cast<int>(k)];
}

NTSTATUS reference_by_handle(HANDLE h, ACCESS_MASK desired, kind expected, KPROCESSOR_MODE mode,
                             ref<object>& out, ACCESS_MASK* granted) {
    if (mode == UserMode && is_kernel_handle(h)) {
        return STATUS_INVALID_HANDLE;  // user mode cannot name a kernel handle
    }
    handle_entry e = table_for(h).lookup(h);
    if (!e.obj) {
        return STATUS_INVALID_HANDLE;
    }
    if (e.obj->type() != expected) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (mode == UserMode && (desired & ~e.granted & ~MAXIMUM_ALLOWED) != 0) {
        return STATUS_ACCESS_DENIED;
    }
    if (granted != nullptr) {
        *granted = e.granted;
    }
    out = std::move(e.obj);
    return STATUS_SUCCESS;
}

// ---- verifier ----------------------------------------------------------------------------

std::vector<std::string> outstanding_objects() {
    std::vector<ref<object>> live;
    {
        auto& s = om();
        {
            std::lock_guard g(s.lock);
            root_locked();
        }
        std::lock_guard g(s.bodies_lock);
        for (auto& [body, obj] : s.bodies) {
            // An object whose count already reached zero is being destroyed right now.
            if (!obj->is_system() && obj->try_add_ref()) {
                live.emplace_back(obj, true);
            }
        }
    }
    std::vector<std::string> out;
    for (auto& o : live) {
        out.push_back(o->describe());
    }
    return out;
}

std::size_t live_object_count() {
    auto& s = om();
    std::lock_guard g(s.bodies_lock);
    return s.bodies.size();
}

}  // namespace platform::ob

// ---- exported routines -------------------------------------------------------------------

using platform::ob::kind;

POBJECT_TYPE ob_thread_type = platform::ob::object_type(kind::thread);
POBJECT_TYPE ob_process_type = platform::ob::object_type(kind::process);
POBJECT_TYPE ob_event_type = platform::ob::object_type(kind::event);
POBJECT_TYPE ob_file_type = platform::ob::object_type(kind::file);
POBJECT_TYPE* PsThreadType = &ob_thread_type;
POBJECT_TYPE* PsProcessType = &ob_process_type;
POBJECT_TYPE* ExEventObjectType = &ob_event_type;
POBJECT_TYPE* IoFileObjectType = &ob_file_type;
