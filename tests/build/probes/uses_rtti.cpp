// Run-time type information in kernel code: must not build.
#include <ntddk.h>

struct PROBE_BASE {
    virtual ~PROBE_BASE() = default;
};

struct PROBE_DERIVED : PROBE_BASE {};

bool ProbeIsDerived(PROBE_BASE* p);

bool ProbeIsDerived(PROBE_BASE* p) {
    return dynamic_cast<PROBE_DERIVED*>(p) != nullptr;
}
