// Machine-wide settings the kernel answers from: the OS version RtlGetVersion and
// PsGetVersion report, the table of routines MmGetSystemRoutineAddress finds, and whether
// DbgPrint output reaches stderr.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform::kernel {

struct os_version {
    std::uint32_t major = 10;
    std::uint32_t minor = 0;
    std::uint32_t build = 19045;
};
void set_os_version(std::uint32_t major, std::uint32_t minor, std::uint32_t build);
os_version get_os_version();

// Routine look-up. Every routine the platform exports is in the table; a test can hide some
// (MmGetSystemRoutineAddress then returns NULL for them, as on an older system) and restore
// them all. Other platform areas add their own routines with register_routine.
void register_routine(std::u16string_view name, void* address);
void hide_routine(std::u16string_view name);
void restore_routines();
void* find_routine(std::u16string_view name);  // honours hiding; null when absent
std::vector<std::u16string> exported_routines();

// DbgPrint / DbgPrintEx text goes to stderr when verbose (default: off, or on when the
// environment variable VRAX_DEBUG_PRINT is set). Whatever is printed is also kept, for tests.
void set_debug_print_verbose(bool verbose);
std::vector<std::string> debug_output();
void clear_debug_output();

}  // namespace platform::kernel
