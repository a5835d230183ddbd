// printf for Windows programs. A program's executable is linked with -Wl,--wrap=printf
// (-Wl,--wrap=vprintf): its calls reach __wrap_printf, which formats with the Windows
// conventions, while the host's own code keeps the host library's printf. Calls the compiler
// turned into puts or putchar (no conversions) go to the same stdout stream, so the order of
// the output is kept.
#include "win32/crt_stdio.h"

#include "kernel/format.h"

namespace platform::win32 {

int windows_vfprintf(std::FILE* out, const char* format, va_list args) {
    if (format == nullptr) {
        return -1;
    }
    auto text = kernel::format::narrow(format, args);
    if (!text) {
        return -1;
    }
    if (std::fwrite(text->data(), 1, text->size(), out) != text->size()) {
        return -1;
    }
    return static_cast<int>(text->size());
}

}  // namespace platform::win32

extern "C" {

int __wrap_printf(const char* format, ...);
int __wrap_vprintf(const char* format, va_list args);

int __wrap_printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = platform::win32::windows_vfprintf(stdout, format, args);
    va_end(args);
    return n;
}

int __wrap_vprintf(const char* format, va_list args) {
    return platform::win32::windows_vfprintf(stdout, format, args);
}

}  // extern "C"
