// The framework driver object: one per DRIVER_OBJECT, root of every object the driver
// creates. It installs the framework's dispatch routines, AddDevice and DriverUnload.
#pragma once

#include <wdf.h>

#include <string>
#include <string_view>

#include "wdf/fx_object.h"

namespace platform::wdf {

class fx_driver : public fx_object {
  public:
    fx_driver() : fx_object(fx_type::driver) {}

    PDRIVER_OBJECT wdm = nullptr;
    WDF_DRIVER_CONFIG config{};
    std::u16string registry_path;  // NUL-terminated through c_str()
    // Worker threads inside one of the driver's work items, from taking it off the queue to
    // dropping their reference on it; guarded by the scheduler lock. The unload waits for 0,
    // as the system's work-item routine keeps its reference on the device object (and so the
    // driver loaded) until it has returned.
    int work_item_runs = 0;

    // The driver a framework call belongs to: the one whose callback the calling thread is
    // running (set by the framework around every callback it makes), else the most recently
    // created. Null when no driver exists.
    static fx_driver* current();
    static fx_driver* from_wdm(PDRIVER_OBJECT driver);

  protected:
    ~fx_driver() override;
    void dispose() override;
};

// A reference on a driver object was dropped (fx_object::release, with no lock held). The
// count changes outside the scheduler lock, so while an unload waits for the driver's last
// references this wakes it. It touches no object: the driver may be gone already.
void driver_reference_dropped();

// Marks the calling thread as running `driver`'s code for the scope (nests).
class driver_scope {
  public:
    explicit driver_scope(fx_driver* driver);
    ~driver_scope();
    driver_scope(const driver_scope&) = delete;
    driver_scope& operator=(const driver_scope&) = delete;

  private:
    fx_driver* previous_;
};

// The framework verifier's report of a potentially invalid operation by the driver
// (FxVerifierDbgBreakPoint): the debug output names it, and when the verifier breaks on
// errors (the platform's default) the machine stops with WDF_VIOLATION naming `what` and the
// driver call it happened in. Returns when it does not break.
void verifier_break(std::string_view what);
// Whether verifier_break (and WdfVerifierDbgBreakPoint) stop the machine. A test that drives
// a failure path on which the driver calls WdfVerifierDbgBreakPoint turns this off.
void set_verifier_break_on_error(bool enabled);

}  // namespace platform::wdf
