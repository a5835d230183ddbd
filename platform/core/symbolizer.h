// Names a place in the driver's code. The exported routines that matter to a verifier
// report (lock acquisition, pool allocation, waits) record their return address, which points
// into the driver right after its call; when a report is written, the symbolizer turns it
// into "function (file:line)" from the process's own debug information (libdw), so the
// message says where the driver did it rather than printing a raw address.
//
// Capturing is free (one pointer); resolving reads the debug information and is meant for
// reports only.
#pragma once

#include <string>

namespace platform::symbolizer {

struct location {
    std::string function;  // demangled, without its parameter list; empty when unknown
    std::string file;      // relative to the source tree when it lies inside it
    int line = 0;          // 0 when unknown
};

// Resolves a return address captured with __builtin_return_address(0): the location of the
// call instruction just before it. False when the address belongs to no known module.
bool resolve(const void* return_address, location* out);

// "VraxEvtIoRead (src/session/read_path.cpp:42)", or the module and offset when there is no
// line information, or "an unknown place" for null.
std::string describe(const void* return_address);
// The same for the address of code itself (a routine's entry point, such as a thread's start
// routine), which is looked up as it is.
std::string describe_code(const void* address);

}  // namespace platform::symbolizer
