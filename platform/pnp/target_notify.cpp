// Target-device-change registrations and their synchronous delivery on the PnP thread.
// Entries are guarded by the scheduler lock (unregistration waits on it); no lock is held
// while a callback runs.
#include "pnp/target_notify.h"

#include <algorithm>
#include <memory>

#include "core/bugcheck.h"
#include "core/driver_call.h"
#include "core/scheduler.h"
#include "io/device_objects.h"
#include "kernel/strings.h"

namespace platform::pnp::target_notify {
namespace {

constexpr GUID query_remove_event = {
    0xcb3a4006L, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};
constexpr GUID remove_cancelled_event = {
    0xcb3a4007L, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};
constexpr GUID remove_complete_event = {
    0xcb3a4008L, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};

struct entry {
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT pdo = nullptr;  // the bottom of the file's device stack
    PDRIVER_OBJECT driver = nullptr;
    PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback = nullptr;
    PVOID context = nullptr;
    // Guarded by the scheduler lock.
    bool registered = true;
    bool removal_told = false;
    bool query_told = false;
    thread_record* running_on = nullptr;
};

std::vector<std::shared_ptr<entry>>& entries() {  // guarded by the scheduler lock
    static auto* v = new std::vector<std::shared_ptr<entry>>();
    return *v;
}

PDEVICE_OBJECT bottom_of(PDEVICE_OBJECT device) {
    while (PDEVICE_OBJECT lower = io::lower_device(device)) {
        device = lower;
    }
    return device;
}

// The registered entries for `pdo` that `want` selects, marked running on this thread.
std::vector<std::shared_ptr<entry>> take(PDEVICE_OBJECT pdo, bool (*want)(entry&)) {
    std::vector<std::shared_ptr<entry>> out;
    for (auto& e : entries()) {
        if (e->registered && e->pdo == pdo && want(*e)) {
            out.push_back(e);
        }
    }
    return out;
}

NTSTATUS deliver(const std::shared_ptr<entry>& e, const GUID& event) {
    auto& s = scheduler::get();
    {
        std::lock_guard g(s.lock());
        if (!e->registered) {
            return STATUS_SUCCESS;
        }
        e->running_on = &s.current_locked();
    }
    TARGET_DEVICE_REMOVAL_NOTIFICATION note{};
    note.Version = 1;
    note.Size = sizeof note;
    note.Event = event;
    note.FileObject = e->file;
    NTSTATUS st;
    {
        verifier::driver_call call(
            {"DRIVER_NOTIFICATION_CALLBACK_ROUTINE (target device change)", e->context});
        st = e->callback(&note, e->context);
    }
    std::lock_guard g(s.lock());
    e->running_on = nullptr;
    s.wake();
    return st;
}

}  // namespace

NTSTATUS register_entry(PFILE_OBJECT file, PDRIVER_OBJECT driver,
                        PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback, PVOID context,
                        PVOID* handle) {
    if (file == nullptr || file->Type != IO_TYPE_FILE || file->DeviceObject == nullptr ||
        driver == nullptr || callback == nullptr || handle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto e = std::make_shared<entry>();
    e->file = file;
    e->pdo = bottom_of(file->DeviceObject);
    e->driver = driver;
    e->callback = callback;
    e->context = context;
    std::lock_guard g(scheduler::get().lock());
    entries().push_back(e);
    *handle = e.get();
    return STATUS_SUCCESS;
}

bool is_entry(PVOID handle) {
    std::lock_guard g(scheduler::get().lock());
    return std::any_of(entries().begin(), entries().end(),
                       [handle](auto& e) { return e.get() == handle; });
}

NTSTATUS unregister(PVOID handle, bool wait) {
    auto& s = scheduler::get();
    std::unique_lock lk(s.lock());
    auto& v = entries();
    auto it = std::find_if(v.begin(), v.end(), [handle](auto& e) { return e.get() == handle; });
    if (it == v.end()) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  "IoUnregisterPlugPlayNotification with an entry that is not registered",
                  reinterpret_cast<std::uintptr_t>(handle));
    }
    std::shared_ptr<entry> keep = *it;
    v.erase(it);
    keep->registered = false;
    // A callback unregistering its own entry (the usual close on removal) is not waited for.
    if (wait && keep->running_on != nullptr && keep->running_on != &s.current_locked()) {
        s.block(
            lk, [&keep] { return keep->running_on == nullptr; }, no_deadline,
            "a running target-device-change callback");
    }
    return STATUS_SUCCESS;
}

NTSTATUS query_remove(PDEVICE_OBJECT pdo) {
    std::vector<std::shared_ptr<entry>> told;
    std::vector<std::shared_ptr<entry>> list;
    {
        std::lock_guard g(scheduler::get().lock());
        list = take(pdo, [](entry&) { return true; });
    }
    for (auto& e : list) {
        NTSTATUS st = deliver(e, query_remove_event);
        if (!NT_SUCCESS(st)) {
            // Vetoed: everyone already asked hears that the removal is off.
            for (auto& t : told) {
                deliver(t, remove_cancelled_event);
            }
            return st;
        }
        std::lock_guard g(scheduler::get().lock());
        e->query_told = true;
        told.push_back(e);
    }
    return STATUS_SUCCESS;
}

void remove_cancelled(PDEVICE_OBJECT pdo) {
    std::vector<std::shared_ptr<entry>> list;
    {
        std::lock_guard g(scheduler::get().lock());
        list = take(pdo, [](entry& e) { return e.query_told; });
        for (auto& e : list) {
            e->query_told = false;
        }
    }
    for (auto& e : list) {
        deliver(e, remove_cancelled_event);
    }
}

void remove_complete(PDEVICE_OBJECT pdo) {
    std::vector<std::shared_ptr<entry>> list;
    {
        std::lock_guard g(scheduler::get().lock());
        list = take(pdo, [](entry& e) { return !e.removal_told; });
        for (auto& e : list) {
            e->removal_told = true;
        }
    }
    for (auto& e : list) {
        deliver(e, remove_complete_event);
    }
}

std::vector<std::string> registered_entries(PDRIVER_OBJECT driver) {
    std::lock_guard g(scheduler::get().lock());
    std::vector<std::string> out;
    for (auto& e : entries()) {
        if (driver == nullptr || e->driver == driver) {
            std::string name =
                e->driver != nullptr ? kernel::to_utf8(&e->driver->DriverName) : std::string("?");
            out.push_back("PnP notification entry of " + name +
                          " for target device changes still registered");
        }
    }
    return out;
}

void reset() {
    std::lock_guard g(scheduler::get().lock());
    entries().clear();
}

}  // namespace platform::pnp::target_notify
