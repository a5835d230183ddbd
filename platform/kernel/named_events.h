// Kernel event objects: named ones in \BaseNamedObjects (IoCreateNotificationEvent,
// IoCreateSynchronizationEvent, and the Win32 layer's CreateEventW / OpenEventW) and unnamed
// ones (CreateEventW with no name). Each is an ob::object of kind event whose body is a
// KEVENT, so KeSetEvent / KeWaitForSingleObject work on it directly.
#pragma once

#include <wdm.h>

#include <memory>
#include <string_view>

#include "kernel/object_manager.h"

namespace platform::io {
struct security_descriptor;
}

namespace platform::kernel {

class event_object : public ob::object {
  public:
    event_object(EVENT_TYPE type, bool initial_state,
                 std::shared_ptr<const io::security_descriptor> security = nullptr);
    PKEVENT event() { return &event_; }
    // The descriptor user-mode opens are checked against; null for an event the kernel
    // created with default security (io::kernel_object_default_security applies).
    const std::shared_ptr<const io::security_descriptor>& security() const { return security_; }

  private:
    KEVENT event_{};
    std::shared_ptr<const io::security_descriptor> security_;
};

// The event object whose body is `event`, or null (no reference added).
event_object* event_from_body(PKEVENT event);

struct named_event_result {
    NTSTATUS status = STATUS_UNSUCCESSFUL;  // STATUS_SUCCESS (created) or
                                            // STATUS_OBJECT_NAME_EXISTS (opened)
    ob::ref<event_object> event;
};

// CreateEventW semantics: `name` is the full path ("\BaseNamedObjects\Name") or empty for an
// unnamed event. If a named event exists it is opened (its type and state unchanged,
// STATUS_OBJECT_NAME_EXISTS); if the name is taken by another kind of object,
// STATUS_OBJECT_TYPE_MISMATCH. Otherwise a new temporary event is created with `type` and
// `initial_state`. The caller then makes a handle with a handle_table (the name leaves the
// namespace when the last handle closes).
// A new event gets `security` (null: the kernel's default, see event_object::security).
named_event_result create_event(std::u16string_view name, EVENT_TYPE type, bool initial_state,
                                std::shared_ptr<const io::security_descriptor> security = nullptr);
// OpenEventW semantics: STATUS_OBJECT_NAME_NOT_FOUND when no such name,
// STATUS_OBJECT_TYPE_MISMATCH when it is not an event.
named_event_result open_event(std::u16string_view name);

}  // namespace platform::kernel
