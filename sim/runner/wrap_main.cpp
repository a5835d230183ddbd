// The entry of a runner executable. It is linked with -Wl,--wrap=main, so the C start-up
// code calls __wrap_main, and the test program's own main is __real_main; the driver's
// DriverEntry comes from the driver's library linked beside it.
#include <ntddk.h>

#include "foreign_runner.h"

extern "C" DRIVER_INITIALIZE DriverEntry;
extern "C" int __real_main(int argc, char** argv);
extern "C" int __wrap_main(int argc, char** argv);

extern "C" int __wrap_main(int argc, char** argv) {
    return sim::runner::run_foreign(argc, argv, DriverEntry, __real_main);
}
