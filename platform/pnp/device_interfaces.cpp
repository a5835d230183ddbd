// Device interfaces, their symbolic links and the PnP notification entries with the thread
// that delivers their callbacks.
//
// Locks: `lock` guards the interface table and the start hold-back lists; the notification
// queue and each entry's state are guarded by the scheduler lock (the delivery thread and
// unregistration wait on them). `lock` may be held while taking the scheduler lock, never the
// other way round, and neither is held while a callback runs.
#include "pnp/device_interfaces.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "core/bugcheck.h"
#include "core/driver_call.h"
#include "core/faults.h"
#include "core/scheduler.h"
#include "io/device_objects.h"
#include "kernel/strings.h"
#include "pnp/pnp_manager.h"
#include "pnp/registry.h"
#include "pnp/target_notify.h"

namespace platform::pnp::interfaces {
namespace {

// The interface-change events, by value (the driver may define the named GUIDs itself).
constexpr GUID arrival_event = {
    0xcb3a4004L, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};
constexpr GUID removal_event = {
    0xcb3a4005L, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};

// Pool tag of the strings handed to drivers ("PnpS").
constexpr ULONG string_tag =
    (ULONG('S') << 24) | (ULONG('p') << 16) | (ULONG('n') << 8) | ULONG('P');

struct interface_record {
    GUID type{};
    std::u16string instance;
    std::u16string reference;
    std::u16string link;  // "\??\<instance with # for \>#{guid}[\reference]"
    std::u16string base;  // the link object's name: `link` without the reference
    PDEVICE_OBJECT pdo = nullptr;
    bool enabled = false;
};

struct entry {
    GUID type{};
    PDRIVER_OBJECT driver = nullptr;
    PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback = nullptr;
    PVOID context = nullptr;
    // Guarded by the scheduler lock.
    bool registered = true;
    thread_record* running_on = nullptr;
};

struct notification {
    std::shared_ptr<entry> target;
    GUID event{};
    GUID type{};
    std::u16string link;
};

struct table {
    std::mutex lock;
    std::vector<std::shared_ptr<interface_record>> records;
    std::map<PDEVICE_OBJECT, std::vector<notification>> held;            // starts in progress
    std::map<std::u16string, int, kernel::less_insensitive> base_links;  // enabled users

    // Guarded by the scheduler lock.
    std::vector<std::shared_ptr<entry>> entries;
    std::deque<notification> queue;
    bool delivering = false;
    bool thread_started = false;
    std::shared_ptr<scheduler::joinable> thread;
};

table& the_state() {
    static table* s = new table();  // never destroyed: the delivery thread outlives main
    return *s;
}

std::u16string ascii(const char* text) {
    std::u16string out;
    for (; *text != 0; ++text) {
        out.push_back(static_cast<char16_t>(*text));
    }
    return out;
}

std::u16string guid_text(const GUID& g) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return ascii(buf);
}

void deliver_loop();

void start_delivery_thread() {
    table& s = the_state();
    auto& sch = scheduler::get();
    {
        std::lock_guard g(sch.lock());
        if (s.thread_started) {
            return;
        }
        s.thread_started = true;
    }
    auto t = sch.start_thread("pnp-notify", [] { deliver_loop(); });
    std::lock_guard g(sch.lock());
    s.thread = std::move(t);
}

// With the scheduler lock held: queue one notification per registered entry of the class.
void queue_for_class_locked(table& s, const GUID& event, const interface_record& r) {
    for (auto& e : s.entries) {
        if (e->registered && e->type == r.type) {
            s.queue.push_back({e, event, r.type, r.link});
        }
    }
    scheduler::get().wake();
}

// With `lock` held: the event happened now; delivered at once unless the device is starting.
void announce_locked(table& s, const GUID& event, const interface_record& r) {
    auto held = s.held.find(r.pdo);
    if (held != s.held.end()) {
        if (event == removal_event) {
            // An arrival still held back is simply withdrawn: nobody heard of it.
            auto& list = held->second;
            std::size_t before = list.size();
            std::erase_if(list, [&](const notification& n) {
                return n.event == arrival_event && kernel::equal_insensitive(n.link, r.link);
            });
            if (list.size() != before) {
                return;
            }
        } else {
            held->second.push_back({nullptr, event, r.type, r.link});
            return;
        }
    }
    std::lock_guard g(scheduler::get().lock());
    queue_for_class_locked(s, event, r);
}

void deliver(const notification& n) {
    kernel::owned_unicode_string link(n.link);
    DEVICE_INTERFACE_CHANGE_NOTIFICATION note{};
    note.Version = 1;
    note.Size = sizeof note;
    note.Event = n.event;
    note.InterfaceClassGuid = n.type;
    note.SymbolicLinkName = link.get();
    verifier::driver_call guard({"PnP notification callback", n.target.get()});
    n.target->callback(&note, n.target->context);
}

void deliver_loop() {
    table& s = the_state();
    auto& sch = scheduler::get();
    for (;;) {
        notification n;
        {
            std::unique_lock lk(sch.lock());
            s.delivering = false;
            sch.wake();
            sch.block(
                lk, [&s] { return !s.queue.empty(); }, no_deadline, "PnP notifications");
            n = std::move(s.queue.front());
            s.queue.pop_front();
            if (!n.target->registered) {
                continue;
            }
            s.delivering = true;
            n.target->running_on = &sch.current_locked();
        }
        deliver(n);
        std::lock_guard g(sch.lock());
        n.target->running_on = nullptr;
        sch.wake();
    }
}

std::shared_ptr<interface_record> find_link_locked(table& s, std::u16string_view link) {
    for (auto& r : s.records) {
        if (kernel::equal_insensitive(r->link, link)) {
            return r;
        }
    }
    return nullptr;
}

// With `lock` held.
NTSTATUS enable_locked(table& s, interface_record& r) {
    if (r.enabled) {
        return STATUS_OBJECT_NAME_EXISTS;
    }
    if (r.pdo == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;  // its device has been removed
    }
    if (s.base_links[r.base]++ == 0) {
        NTSTATUS st = io::create_symbolic_link(r.base, io::device_name(r.pdo));
        if (!NT_SUCCESS(st)) {
            s.base_links.erase(r.base);
            return st;
        }
    }
    r.enabled = true;
    announce_locked(s, arrival_event, r);
    return STATUS_SUCCESS;
}

NTSTATUS disable_locked(table& s, interface_record& r) {
    if (!r.enabled) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    r.enabled = false;
    if (--s.base_links[r.base] == 0) {
        s.base_links.erase(r.base);
        io::delete_symbolic_link(r.base);
    }
    announce_locked(s, removal_event, r);
    return STATUS_SUCCESS;
}

entry* validate_entry_locked(table& s, PVOID handle, const char* routine) {
    for (auto& e : s.entries) {
        if (e.get() == handle) {
            return e.get();
        }
    }
    bug_check(bug_code::driver_verifier_detected_violation,
              std::string(routine) + " with an entry that is not registered",
              reinterpret_cast<std::uintptr_t>(handle));
}

NTSTATUS unregister(PVOID handle, bool wait, const char* routine) {
    table& s = the_state();
    auto& sch = scheduler::get();
    std::unique_lock lk(sch.lock());
    entry* e = validate_entry_locked(s, handle, routine);
    e->registered = false;
    std::erase_if(s.queue, [e](const notification& n) { return n.target.get() == e; });
    std::shared_ptr<entry> keep;
    for (auto it = s.entries.begin(); it != s.entries.end(); ++it) {
        if (it->get() == e) {
            keep = *it;
            s.entries.erase(it);
            break;
        }
    }
    // A callback running on another thread is waited for; one that unregisters itself is not.
    if (wait && keep->running_on != nullptr && keep->running_on != &sch.current_locked()) {
        sch.block(
            lk, [&keep] { return keep->running_on == nullptr; }, no_deadline,
            "a running PnP notification callback");
    }
    return STATUS_SUCCESS;
}

}  // namespace

void begin_start(PDEVICE_OBJECT pdo) {
    table& s = the_state();
    std::lock_guard g(s.lock);
    s.held[pdo];
}

void end_start(PDEVICE_OBJECT pdo) {
    table& s = the_state();
    std::lock_guard g(s.lock);
    auto it = s.held.find(pdo);
    if (it == s.held.end()) {
        return;
    }
    std::vector<notification> list = std::move(it->second);
    s.held.erase(it);
    for (auto& n : list) {
        auto r = find_link_locked(s, n.link);
        if (r != nullptr) {
            std::lock_guard sg(scheduler::get().lock());
            queue_for_class_locked(s, n.event, *r);
        }
    }
}

void disable_all(PDEVICE_OBJECT pdo, bool unbind) {
    table& s = the_state();
    std::lock_guard g(s.lock);
    for (auto& r : s.records) {
        if (r->pdo != pdo) {
            continue;
        }
        if (r->enabled) {
            disable_locked(s, *r);
        }
        if (unbind) {
            r->pdo = nullptr;
        }
    }
}

std::vector<std::u16string> enabled(const GUID& type) {
    table& s = the_state();
    std::lock_guard g(s.lock);
    std::vector<std::u16string> out;
    for (auto& r : s.records) {
        if (r->enabled && r->type == type) {
            out.push_back(r->link);
        }
    }
    return out;
}

std::vector<std::string> registered_entries(PDRIVER_OBJECT driver) {
    table& s = the_state();
    std::vector<std::string> out = target_notify::registered_entries(driver);
    std::lock_guard g(scheduler::get().lock());
    for (auto& e : s.entries) {
        if (driver == nullptr || e->driver == driver) {
            std::string name =
                e->driver != nullptr ? kernel::to_utf8(&e->driver->DriverName) : std::string("?");
            out.push_back("PnP notification entry of " + name + " for interface class " +
                          kernel::to_utf8(guid_text(e->type)) + " still registered");
        }
    }
    return out;
}

void flush() {
    table& s = the_state();
    auto& sch = scheduler::get();
    std::unique_lock lk(sch.lock());
    sch.block(
        lk, [&s] { return s.queue.empty() && !s.delivering; }, no_deadline,
        "PnP notifications to be delivered");
}

void reset() {
    table& s = the_state();
    std::lock_guard g(s.lock);
    for (auto& r : s.records) {
        if (r->enabled) {
            io::delete_symbolic_link(r->base);
        }
    }
    s.records.clear();
    s.held.clear();
    s.base_links.clear();
    {
        std::lock_guard sg(scheduler::get().lock());
        s.entries.clear();
        s.queue.clear();
    }
    target_notify::reset();
}

}  // namespace platform::pnp::interfaces

using namespace platform;
using namespace platform::pnp;
using namespace platform::pnp::interfaces;

extern "C" {

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                   CONST GUID* InterfaceClassGuid, PUNICODE_STRING ReferenceString,
                                   PUNICODE_STRING SymbolicLinkName) {
    if (auto st = faults::fault_point("IoRegisterDeviceInterface")) {
        return *st;
    }
    require_passive("IoRegisterDeviceInterface");
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    device_node* node = node_of(PhysicalDeviceObject);
    if (node == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;  // not a PDO
    }
    std::u16string reference = kernel::to_u16(ReferenceString);
    if (reference.find(u'\\') != std::u16string::npos) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::u16string instance = instance_id(node);
    table& s = the_state();
    std::u16string link;
    {
        std::lock_guard g(s.lock);
        std::shared_ptr<interface_record> found;
        for (auto& r : s.records) {
            if (r->type == *InterfaceClassGuid &&
                kernel::equal_insensitive(r->instance, instance) &&
                kernel::equal_insensitive(r->reference, reference)) {
                found = r;
            }
        }
        if (found == nullptr) {
            found = std::make_shared<interface_record>();
            found->type = *InterfaceClassGuid;
            found->instance = instance;
            found->reference = reference;
            std::u16string mangled = instance;
            for (auto& c : mangled) {
                c = c == u'\\' ? u'#' : c;
            }
            found->base = u"\\??\\" + mangled + u"#" + guid_text(*InterfaceClassGuid);
            found->link = reference.empty() ? found->base : found->base + u"\\" + reference;
            s.records.push_back(found);
        }
        found->pdo = PhysicalDeviceObject;
        link = found->link;
    }
    const std::size_t bytes = link.size() * sizeof(WCHAR);
    auto* buffer =
        static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), string_tag));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(buffer, link.data(), bytes);
    buffer[link.size()] = 0;
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(bytes);
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    if (auto st = faults::fault_point("IoSetDeviceInterfaceState")) {
        return *st;
    }
    require_passive("IoSetDeviceInterfaceState");
    if (SymbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    table& s = the_state();
    std::lock_guard g(s.lock);
    auto r = find_link_locked(s, kernel::view(SymbolicLinkName));
    if (r == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return Enable ? enable_locked(s, *r) : disable_locked(s, *r);
}

NTSTATUS IoGetDeviceInterfaces(CONST GUID* InterfaceClassGuid, PDEVICE_OBJECT PhysicalDeviceObject,
                               ULONG Flags, PWSTR* SymbolicLinkList) {
    if (auto st = faults::fault_point("IoGetDeviceInterfaces")) {
        return *st;
    }
    require_passive("IoGetDeviceInterfaces");
    if (InterfaceClassGuid == nullptr || SymbolicLinkList == nullptr ||
        (Flags & ~ULONG(DEVICE_INTERFACE_INCLUDE_NONACTIVE)) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string list;
    {
        table& s = the_state();
        std::lock_guard g(s.lock);
        for (auto& r : s.records) {
            if (r->type != *InterfaceClassGuid ||
                (PhysicalDeviceObject != nullptr && r->pdo != PhysicalDeviceObject) ||
                (!r->enabled && !(Flags & DEVICE_INTERFACE_INCLUDE_NONACTIVE))) {
                continue;
            }
            list += r->link;
            list.push_back(0);
        }
    }
    list.push_back(0);
    const std::size_t bytes = list.size() * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, string_tag));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(buffer, list.data(), bytes);
    *SymbolicLinkList = buffer;
    return STATUS_SUCCESS;
}

NTSTATUS IoRegisterPlugPlayNotification(IO_NOTIFICATION_EVENT_CATEGORY EventCategory,
                                        ULONG EventCategoryFlags, PVOID EventCategoryData,
                                        PDRIVER_OBJECT DriverObject,
                                        PDRIVER_NOTIFICATION_CALLBACK_ROUTINE CallbackRoutine,
                                        PVOID Context, PVOID* NotificationEntry) {
    if (auto st = faults::fault_point("IoRegisterPlugPlayNotification")) {
        return *st;
    }
    require_passive("IoRegisterPlugPlayNotification");
    if (EventCategory == EventCategoryTargetDeviceChange) {
        if (EventCategoryFlags != 0) {
            return STATUS_INVALID_PARAMETER;
        }
        return target_notify::register_entry(static_cast<PFILE_OBJECT>(EventCategoryData),
                                             DriverObject, CallbackRoutine, Context,
                                             NotificationEntry);
    }
    if (EventCategory == EventCategoryHardwareProfileChange) {
        not_implemented("IoRegisterPlugPlayNotification for this event category");
    }
    if (EventCategory != EventCategoryDeviceInterfaceChange || EventCategoryData == nullptr ||
        DriverObject == nullptr || CallbackRoutine == nullptr || NotificationEntry == nullptr ||
        (EventCategoryFlags & ~ULONG(PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES)) !=
            0) {
        return STATUS_INVALID_PARAMETER;
    }
    start_delivery_thread();
    auto e = std::make_shared<entry>();
    e->type = *static_cast<const GUID*>(EventCategoryData);
    e->driver = DriverObject;
    e->callback = CallbackRoutine;
    e->context = Context;
    table& s = the_state();
    std::lock_guard g(s.lock);
    std::lock_guard sg(scheduler::get().lock());
    s.entries.push_back(e);
    if (EventCategoryFlags & PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES) {
        // Existing interfaces are reported as arrivals right away: the delivery thread may
        // call the callback before this routine returns.
        for (auto& r : s.records) {
            if (r->enabled && r->type == e->type && s.held.count(r->pdo) == 0) {
                s.queue.push_back({e, arrival_event, r->type, r->link});
            }
        }
        scheduler::get().wake();
    }
    *NotificationEntry = e.get();
    return STATUS_SUCCESS;
}

NTSTATUS IoUnregisterPlugPlayNotification(PVOID NotificationEntry) {
    if (auto st = faults::fault_point("IoUnregisterPlugPlayNotification")) {
        return *st;
    }
    require_passive("IoUnregisterPlugPlayNotification");
    if (target_notify::is_entry(NotificationEntry)) {
        return target_notify::unregister(NotificationEntry, false);
    }
    return unregister(NotificationEntry, false, "IoUnregisterPlugPlayNotification");
}

NTSTATUS IoUnregisterPlugPlayNotificationEx(PVOID NotificationEntry) {
    if (auto st = faults::fault_point("IoUnregisterPlugPlayNotificationEx")) {
        return *st;
    }
    require_passive("IoUnregisterPlugPlayNotificationEx");
    if (target_notify::is_entry(NotificationEntry)) {
        return target_notify::unregister(NotificationEntry, true);
    }
    return unregister(NotificationEntry, true, "IoUnregisterPlugPlayNotificationEx");
}

}  // extern "C"
