// ZwCreateEvent and ZwOpenEvent: the native routines that create or open event objects named
// through OBJECT_ATTRIBUTES. They work on the same event objects as IoCreateNotificationEvent,
// IoCreateSynchronizationEvent and the Win32 layer's CreateEventW / OpenEventW, so a driver
// that creates "\BaseNamedObjects\X" here meets another driver's IoCreate...Event("X") or a
// program's OpenEventW(L"Global\\X") on one event.
#include <ntifs.h>

#include <cstring>
#include <string>
#include <type_traits>

#include "core/bugcheck.h"
#include "core/faults.h"
#include "core/scheduler.h"
#include "kernel/named_events.h"
#include "kernel/strings.h"

using namespace platform;

namespace {

// The generic mapping of event objects.
ACCESS_MASK map_event_access(ACCESS_MASK desired) {
    ACCESS_MASK granted =
        desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if ((desired & GENERIC_READ) != 0)
        granted |= STANDARD_RIGHTS_READ | EVENT_QUERY_STATE;
    if ((desired & GENERIC_WRITE) != 0)
        granted |= STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE;
    if ((desired & GENERIC_EXECUTE) != 0)
        granted |= STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE;
    // A kernel-mode caller is not access-checked: the most it may ask for is everything.
    if ((desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) != 0)
        granted |= EVENT_ALL_ACCESS;
    return granted;
}

struct parsed_attributes {
    NTSTATUS status = STATUS_SUCCESS;
    std::u16string name;  // empty: unnamed
    ULONG attributes = 0;
};

// Checks what ObjectAttributes says, as the object manager captures it. `open` is true for
// ZwOpenEvent, which needs a name.
parsed_attributes parse(const char* routine, const OBJECT_ATTRIBUTES* oa, bool open) {
    parsed_attributes p;
    if (oa == nullptr) {
        if (open)
            p.status = STATUS_INVALID_PARAMETER;
        return p;
    }
    if (oa->Length != sizeof(OBJECT_ATTRIBUTES) || (oa->Attributes & ~OBJ_VALID_ATTRIBUTES) != 0) {
        p.status = STATUS_INVALID_PARAMETER;
        return p;
    }
    // What the platform's namespace cannot represent fails loudly rather than being ignored.
    if (oa->RootDirectory != nullptr)
        not_implemented(std::string(routine) + " with a RootDirectory");
    if (oa->SecurityDescriptor != nullptr || oa->SecurityQualityOfService != nullptr)
        not_implemented(std::string(routine) + " with a security descriptor");
    if ((oa->Attributes & (OBJ_PERMANENT | OBJ_EXCLUSIVE)) != 0)
        not_implemented(std::string(routine) + " with OBJ_PERMANENT or OBJ_EXCLUSIVE");
    p.attributes = oa->Attributes;
    const UNICODE_STRING* name = oa->ObjectName;
    if (name == nullptr || name->Length == 0) {
        // No name: an unnamed event, which cannot be opened.
        if (open)
            p.status = STATUS_OBJECT_PATH_SYNTAX_BAD;
        return p;
    }
    if ((name->Length & 1) != 0 || name->Length > name->MaximumLength || name->Buffer == nullptr) {
        p.status = STATUS_OBJECT_NAME_INVALID;
        return p;
    }
    p.name = kernel::to_u16(name);
    if (p.name.front() != u'\\')
        p.status = STATUS_OBJECT_PATH_SYNTAX_BAD;
    return p;
}

void check_caller(const char* routine, PHANDLE EventHandle) {
    KIRQL irql = scheduler::get().current().irql;
    if (irql != PASSIVE_LEVEL) {
        bug_check(bug_code::irql_not_less_or_equal, std::string(routine) + " above PASSIVE_LEVEL",
                  irql);
    }
    if (EventHandle == nullptr) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  std::string(routine) + ": EventHandle is NULL");
    }
}

// A kernel handle with OBJ_KERNEL_HANDLE; otherwise a handle of the current process (the
// kernel's table for a thread that belongs to no process, as for the System process).
HANDLE insert_handle(const ob::ref<kernel::event_object>& event, ACCESS_MASK desired,
                     ULONG attributes) {
    ob::handle_table& table =
        (attributes & OBJ_KERNEL_HANDLE) != 0 ? ob::kernel_handles() : ob::table_for(nullptr);
    return table.insert(event, map_event_access(desired), attributes & OBJ_INHERIT);
}

}  // namespace

extern "C" NTSTATUS ZwCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                                  POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType,
                                  BOOLEAN InitialState) {
    if (auto st = faults::fault_point("ZwCreateEvent"))
        return *st;
    check_caller("ZwCreateEvent", EventHandle);
    // A C caller may pass any value of the enumeration's integer type; C++ may not read such a
    // value as an EVENT_TYPE, so its bytes are read as that integer type.
    std::underlying_type_t<EVENT_TYPE> type;
    std::memcpy(&type, &EventType, sizeof type);
    if (type != NotificationEvent && type != SynchronizationEvent)
        return STATUS_INVALID_PARAMETER_4;
    parsed_attributes p = parse("ZwCreateEvent", ObjectAttributes, false);
    if (!NT_SUCCESS(p.status))
        return p.status;
    bool open_if = (p.attributes & OBJ_OPENIF) != 0;
    kernel::named_event_result r = kernel::create_event(p.name, EventType, InitialState != FALSE);
    if (r.status == STATUS_OBJECT_TYPE_MISMATCH && !open_if) {
        // Without OBJ_OPENIF a name that is taken is a collision, whatever holds it.
        return STATUS_OBJECT_NAME_COLLISION;
    }
    if (!NT_SUCCESS(r.status) || !r.event)
        return r.status;
    if (r.status == STATUS_OBJECT_NAME_EXISTS && !open_if)
        return STATUS_OBJECT_NAME_COLLISION;
    *EventHandle = insert_handle(r.event, DesiredAccess, p.attributes);
    return r.status;  // STATUS_SUCCESS, or STATUS_OBJECT_NAME_EXISTS when opened
}

extern "C" NTSTATUS ZwOpenEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                                POBJECT_ATTRIBUTES ObjectAttributes) {
    if (auto st = faults::fault_point("ZwOpenEvent"))
        return *st;
    check_caller("ZwOpenEvent", EventHandle);
    parsed_attributes p = parse("ZwOpenEvent", ObjectAttributes, true);
    if (!NT_SUCCESS(p.status))
        return p.status;
    kernel::named_event_result r = kernel::open_event(p.name);
    if (!NT_SUCCESS(r.status) || !r.event)
        return r.status;
    *EventHandle = insert_handle(r.event, DesiredAccess, p.attributes);
    return STATUS_SUCCESS;
}
