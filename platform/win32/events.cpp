// Events and waits: CreateEventW / OpenEventW on the kernel's event objects (named ones in
// \BaseNamedObjects or the session's directory, shared with the kernel's named events), SetEvent,
// ResetEvent, the waits and Sleep, all through the kernel's dispatcher and so through the
// scheduler.
#include <wdm.h>
#include <windows.h>

#include "io/security.h"
#include "kernel/kernel.h"
#include "kernel/strings.h"
#include "win32/process.h"
#include "win32/threads.h"
#include "win32/win32_internal.h"

namespace platform::win32 {
namespace {

// Where a program's event name lives (the session manager's layout): "Global\X" in
// \BaseNamedObjects, "Local\X" and a bare "X" in the session's own directory, which for
// session 0 is \BaseNamedObjects itself and otherwise \Sessions\<n>\BaseNamedObjects.
std::u16string event_path(std::u16string_view name, ULONG session) {
    std::u16string_view global = u"Global\\";
    std::u16string_view local = u"Local\\";
    std::u16string directory = u"\\BaseNamedObjects\\";
    if (name.starts_with(global)) {
        name.remove_prefix(global.size());
    } else {
        if (name.starts_with(local)) {
            name.remove_prefix(local.size());
        }
        if (session != 0) {
            std::u16string number;
            for (char c : std::to_string(session)) {
                number += static_cast<char16_t>(c);
            }
            directory = u"\\Sessions\\" + number + u"\\BaseNamedObjects\\";
        }
    }
    return directory + std::u16string(name);
}

// The access a program's open is granted: `desired` (generic rights mapped) when the event's
// descriptor allows all of it, else nothing.
NTSTATUS check_open(const kernel::event_object& ev, ACCESS_MASK desired, ACCESS_MASK& granted) {
    std::shared_ptr<const io::security_descriptor> sd = ev.security();
    if (!sd) {
        sd = io::kernel_object_default_security();
    }
    return io::access_check(*sd, current_process().token(), desired, io::event_generic_mapping(),
                            granted);
}

// A handle for the event a create or open found. An existing event is opened only for
// access its descriptor grants the caller (a creator gets what it asked for).
HANDLE insert_event(const kernel::named_event_result& r, ACCESS_MASK access, bool existing) {
    if (NT_ERROR(r.status)) {
        set_status_error(r.status);
        return nullptr;
    }
    ACCESS_MASK granted = io::map_generic(access, io::event_generic_mapping());
    if (existing) {
        NTSTATUS st = check_open(*r.event, access, granted);
        if (!NT_SUCCESS(st)) {
            set_status_error(st);
            return nullptr;
        }
    }
    HANDLE h = current_process().handles().insert(r.event, granted);
    SetLastError(r.status == STATUS_OBJECT_NAME_EXISTS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

HANDLE create_event(BOOL manual, BOOL initial, const std::u16string* name) {
    process& proc = current_process();
    std::u16string path =
        name != nullptr && !name->empty() ? event_path(*name, proc.session()) : std::u16string();
    auto r = kernel::create_event(path, manual ? NotificationEvent : SynchronizationEvent,
                                  initial != FALSE, io::default_object_security(proc.token()));
    return insert_event(r, EVENT_ALL_ACCESS, r.status == STATUS_OBJECT_NAME_EXISTS);
}

HANDLE open_event(DWORD access, const std::u16string* name) {
    if (name == nullptr || name->empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return insert_event(kernel::open_event(event_path(*name, current_process().session())), access,
                        true);
}

// Kernel time-out from milliseconds: null for INFINITE, else relative.
PLARGE_INTEGER timeout_of(DWORD ms, LARGE_INTEGER& storage) {
    if (ms == INFINITE) {
        return nullptr;
    }
    storage.QuadPart = -static_cast<LONGLONG>(ms) * 10'000;
    return &storage;
}

}  // namespace

ob::ref<kernel::event_object> event_from_handle(HANDLE h, ACCESS_MASK needed) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return {};
    }
    ob::handle_entry e = current_process().handles().lookup(h);
    if (!e.obj || e.obj->type() != ob::kind::event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return {};
    }
    if ((e.granted & needed) != needed) {
        SetLastError(ERROR_ACCESS_DENIED);
        return {};
    }
    return ob::ref<kernel::event_object>(static_cast<kernel::event_object*>(e.obj.get()), false);
}

HANDLE create_event_wide(LPSECURITY_ATTRIBUTES, BOOL manual, BOOL initial, const wchar_t* name) {
    std::u16string n = name != nullptr ? io::from_wide(name) : std::u16string();
    return create_event(manual, initial, name != nullptr ? &n : nullptr);
}

HANDLE open_event_wide(DWORD access, BOOL, const wchar_t* name) {
    std::u16string n = name != nullptr ? io::from_wide(name) : std::u16string();
    return open_event(access, name != nullptr ? &n : nullptr);
}

}  // namespace platform::win32

using namespace platform;

extern "C" {

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    std::u16string n(kernel::view(lpName));
    return win32::create_event(bManualReset, bInitialState, lpName != nullptr ? &n : nullptr);
}

HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL, LPCWSTR lpName) {
    std::u16string n(kernel::view(lpName));
    return win32::open_event(dwDesiredAccess, lpName != nullptr ? &n : nullptr);
}

BOOL SetEvent(HANDLE hEvent) {
    auto ev = win32::event_from_handle(hEvent, EVENT_MODIFY_STATE);
    if (!ev) {
        return FALSE;
    }
    KeSetEvent(ev->event(), 0, FALSE);
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    auto ev = win32::event_from_handle(hEvent, EVENT_MODIFY_STATE);
    if (!ev) {
        return FALSE;
    }
    KeClearEvent(ev->event());
    return TRUE;
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // A thread of a process that ends before or during the wait unwinds (win32/threads.h): a
    // terminated thread runs no more of its program, even when its handles are closed by then.
    win32::process& proc = win32::current_process();
    win32::exit_if_ending();
    std::vector<ob::ref<ob::object>> held;
    PVOID objects[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < nCount; ++i) {
        // A thread's handle is signalled when the thread has ended (win32/threads.cpp).
        ob::ref<ob::object> obj = win32::thread_from_handle(lpHandles[i], SYNCHRONIZE);
        if (obj) {
            objects[i] = obj->body();
        } else if (auto ev = win32::event_from_handle(lpHandles[i], SYNCHRONIZE)) {
            objects[i] = ev->event();
            obj = std::move(ev);
        } else {
            return WAIT_FAILED;
        }
        held.push_back(std::move(obj));
    }
    LARGE_INTEGER storage;
    PLARGE_INTEGER timeout = win32::timeout_of(dwMilliseconds, storage);
    std::function<bool()> ending = [&proc] { return proc.ending_locked(); };
    NTSTATUS st =
        kernel::wait_for_user(nCount, objects, bWaitAll ? WaitAll : WaitAny, timeout, ending);
    if (st == STATUS_USER_APC) {
        win32::exit_if_ending();
    }
    if (st == STATUS_TIMEOUT) {
        return WAIT_TIMEOUT;
    }
    if (st >= STATUS_WAIT_0 && st < STATUS_WAIT_0 + static_cast<NTSTATUS>(nCount)) {
        return WAIT_OBJECT_0 + static_cast<DWORD>(st - STATUS_WAIT_0);
    }
    win32::set_status_error(st);
    return WAIT_FAILED;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

void Sleep(DWORD dwMilliseconds) {
    // A thread of a process that ends meanwhile unwinds (win32/threads.h).
    win32::process& proc = win32::current_process();
    auto& s = scheduler::get();
    const ticks deadline = dwMilliseconds == INFINITE
                               ? no_deadline
                               : s.now() + static_cast<ticks>(dwMilliseconds) * ticks_per_ms;
    std::unique_lock lk(s.lock());
    std::function<bool()> ending = [&proc] { return proc.ending_locked(); };
    s.block(lk, ending, deadline, "Sleep");
    win32::exit_if_ending_locked(proc);
}

}  // extern "C"
