// The verifier's view of calls into driver code. Every place where the platform calls the
// driver (a queue's I/O callback, a cancel routine, a file, PnP, power or state callback, a
// work item, a completion routine, a PnP notification, a DPC or timer routine) wraps the call
// in a `driver_call`. While it lives, the call is the innermost entry of this thread's call
// stack, so a bug check raised inside it can name the driver callback, the request and its
// I/O kind. When it ends it checks what the driver must have restored: the IRQL it was
// called at and the set of locks the thread held on entry (a lock taken in the callback and
// still held is reported by kind and handle, with the driver's call site that acquired it and
// the description of the callback that returned holding it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform::verifier {

// What the platform is calling. `callback` names the driver's role ("EvtIoRead",
// "EvtRequestCancel", "EvtWorkItem", ...); `object` is the framework handle the callback
// belongs to (a queue, a work item, a device), `request` the request it was given, if any, and
// `io_kind` that request's kind ("read", "write", "device control", ...). All strings must
// outlive the call (literals).
struct call_site {
    std::string_view callback;
    const void* object = nullptr;
    const void* request = nullptr;
    std::string_view io_kind = {};
};

class driver_call {
  public:
    explicit driver_call(const call_site& site);
    ~driver_call();  // runs the return checks
    driver_call(const driver_call&) = delete;
    driver_call& operator=(const driver_call&) = delete;

    // Runs the return checks now (for a caller that must check before it does more work on
    // this thread); the destructor then checks nothing.
    void returned();

  private:
    call_site site_;
    std::uint8_t irql_at_entry_;
    std::size_t locks_at_entry_;
    const driver_call* outer_;
    bool checked_ = false;

    friend const call_site* current_call();
};

// The innermost driver call on this thread, or null when the thread is not in driver code.
const call_site* current_call();
// "in EvtIoRead (queue 0x..., request 0x..., read)" for the innermost call, or "" outside
// driver code: bug-check messages append it so they name the culprit.
std::string describe_current_call();

}  // namespace platform::verifier
