// The kernel run-time's printf engine, shared by the _s formatters, the safe-string
// routines and DbgPrint. It follows the Windows conventions rather than the host C
// library's: WCHAR strings are 16-bit; in a wide format %s is a wide string and %S a narrow
// one (the reverse in a narrow format), %hs / %ls / %ws force narrow / wide, %Z prints an
// ANSI_STRING and %wZ a UNICODE_STRING, 'l' is 32 bits (LONG), 'll' / I64 / I / z are 64
// bits, %p prints 16 upper-case hex digits. %n is refused.
#pragma once

#include <ntdef.h>

#include <cstdarg>
#include <optional>
#include <string>

namespace platform::kernel::format {

// The formatted text, or nothing for a malformed format (or %n).
std::optional<std::string> narrow(const char* format, va_list args);
std::optional<std::u16string> wide(const WCHAR* format, va_list args);

}  // namespace platform::kernel::format
