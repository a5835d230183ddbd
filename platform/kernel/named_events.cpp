// Event objects in the namespace, and the kernel's object-reference and handle routines.
#include "kernel/named_events.h"

#include "core/bugcheck.h"
#include "core/faults.h"
#include "core/scheduler.h"
#include "kernel/strings.h"

namespace platform::kernel {

event_object::event_object(EVENT_TYPE type, bool initial_state,
                           std::shared_ptr<const io::security_descriptor> security)
    : ob::object(ob::kind::event, &event_), security_(std::move(security)) {
    KeInitializeEvent(&event_, type, initial_state ? TRUE : FALSE);
}

event_object* event_from_body(PKEVENT event) {
    return ob::as<event_object>(ob::from_body(event), ob::kind::event);
}

namespace {

named_event_result open_locked_free(std::u16string_view name) {
    named_event_result r;
    ob::lookup_result found = ob::lookup(name);
    if (!NT_SUCCESS(found.status)) {
        r.status = found.status;
        return r;
    }
    if (found.obj->type() != ob::kind::event) {
        r.status = STATUS_OBJECT_TYPE_MISMATCH;
        return r;
    }
    r.status = STATUS_OBJECT_NAME_EXISTS;
    r.event = ob::ref<event_object>(static_cast<event_object*>(found.obj.detach()), true);
    return r;
}

}  // namespace

named_event_result create_event(std::u16string_view name, EVENT_TYPE type, bool initial_state,
                                std::shared_ptr<const io::security_descriptor> security) {
    named_event_result r;
    auto ev = ob::make<event_object>(type, initial_state, std::move(security));
    if (name.empty()) {
        r.status = STATUS_SUCCESS;
        r.event = std::move(ev);
        return r;
    }
    // Two creators may race: whoever loses the insert opens the winner's event.
    for (int attempt = 0; attempt < 4; ++attempt) {
        named_event_result existing = open_locked_free(name);
        if (existing.status != STATUS_OBJECT_NAME_NOT_FOUND) {
            return existing;
        }
        NTSTATUS st = ob::insert(name, ev, {.permanent = false});
        if (NT_SUCCESS(st)) {
            r.status = STATUS_SUCCESS;
            r.event = std::move(ev);
            return r;
        }
        if (st != STATUS_OBJECT_NAME_COLLISION) {
            r.status = st;
            return r;
        }
    }
    r.status = STATUS_OBJECT_NAME_COLLISION;
    return r;
}

named_event_result open_event(std::u16string_view name) {
    named_event_result r = open_locked_free(name);
    if (r.status == STATUS_OBJECT_NAME_EXISTS) {
        r.status = STATUS_SUCCESS;
    }
    return r;
}

}  // namespace platform::kernel

using namespace platform;

namespace {

PKEVENT create_named_event(const char* routine, PUNICODE_STRING EventName, PHANDLE EventHandle,
                           EVENT_TYPE type) {
    if (faults::fault_point(routine)) {
        return nullptr;
    }
    KIRQL irql = scheduler::get().current().irql;
    if (irql != PASSIVE_LEVEL) {
        bug_check(bug_code::irql_not_less_or_equal, std::string(routine) + " above PASSIVE_LEVEL",
                  irql);
    }
    if (EventName == nullptr || EventName->Buffer == nullptr || EventHandle == nullptr) {
        return nullptr;
    }
    // Opens the event if the name exists, otherwise creates it signalled.
    kernel::named_event_result r = kernel::create_event(kernel::view(EventName), type, true);
    if (!NT_SUCCESS(r.status) || !r.event) {
        return nullptr;
    }
    *EventHandle = ob::kernel_handles().insert(r.event, EVENT_ALL_ACCESS);
    return r.event->event();
}

}  // namespace

extern "C" PKEVENT IoCreateNotificationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle) {
    return create_named_event("IoCreateNotificationEvent", EventName, EventHandle,
                              NotificationEvent);
}

extern "C" PKEVENT IoCreateSynchronizationEvent(PUNICODE_STRING EventName, PHANDLE EventHandle) {
    return create_named_event("IoCreateSynchronizationEvent", EventName, EventHandle,
                              SynchronizationEvent);
}

// ---- Object references and handles ----------------------------------------------------------

extern "C" NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                              POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                              PVOID* Object,
                                              POBJECT_HANDLE_INFORMATION HandleInformation) {
    if (auto st = faults::fault_point("ObReferenceObjectByHandle")) {
        return *st;
    }
    if (Object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Object = nullptr;
    // NtCurrentThread(): the calling thread's own object.
    if (reinterpret_cast<std::intptr_t>(Handle) == -2) {
        if (ObjectType != nullptr && ObjectType != *PsThreadType) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        PETHREAD t = PsGetCurrentThread();
        ObfReferenceObject(t);
        *Object = t;
        if (HandleInformation != nullptr) {
            HandleInformation->HandleAttributes = 0;
            HandleInformation->GrantedAccess = THREAD_ALL_ACCESS;
        }
        return STATUS_SUCCESS;
    }
    ob::handle_entry e = ob::table_for(Handle).lookup(Handle);
    if (!e.obj || (AccessMode == UserMode && ob::is_kernel_handle(Handle))) {
        return STATUS_INVALID_HANDLE;
    }
    if (ObjectType != nullptr && ObjectType != ob::object_type(e.obj->type())) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (AccessMode == UserMode && (DesiredAccess & ~e.granted & ~MAXIMUM_ALLOWED) != 0) {
        return STATUS_ACCESS_DENIED;
    }
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = e.attributes;
        HandleInformation->GrantedAccess = e.granted;
    }
    *Object = e.obj->body();
    e.obj.detach();  // the caller now owns this reference
    return STATUS_SUCCESS;
}

extern "C" LONG_PTR ObfReferenceObject(PVOID Object) {
    ob::object* o = ob::from_body(Object);
    if (o == nullptr) {
        bug_check(bug_code::reference_by_pointer,
                  "ObReferenceObject on a pointer that is not an object",
                  reinterpret_cast<std::uintptr_t>(Object));
    }
    return o->add_ref();
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID Object) {
    ob::object* o = ob::from_body(Object);
    if (o == nullptr) {
        bug_check(bug_code::reference_by_pointer,
                  "ObDereferenceObject on a pointer that is not an object (or was already freed)",
                  reinterpret_cast<std::uintptr_t>(Object));
    }
    return o->release();
}

extern "C" NTSTATUS ZwClose(HANDLE Handle) {
    if (auto st = faults::fault_point("ZwClose")) {
        return *st;
    }
    KIRQL irql = scheduler::get().current().irql;
    if (irql != PASSIVE_LEVEL) {
        bug_check(bug_code::irql_not_less_or_equal, "ZwClose above PASSIVE_LEVEL", irql);
    }
    NTSTATUS st = ob::table_for(Handle).close(Handle);
    if (st == STATUS_INVALID_HANDLE && ob::is_kernel_handle(Handle)) {
        // Closing a kernel handle that is not open is a bug check, as under the verifier.
        bug_check(bug_code::invalid_handle, "ZwClose of a kernel handle that is not open",
                  reinterpret_cast<std::uintptr_t>(Handle));
    }
    return st;
}

extern "C" NTSTATUS NtClose(HANDLE Handle) {
    return ZwClose(Handle);
}
