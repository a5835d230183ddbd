// The Windows C run-time's printf for programs built against the Win32 subset.
#pragma once

#include <cstdarg>
#include <cstdio>

namespace platform::win32 {

// Formats as the Windows C run-time does (platform/kernel/format.h: %ws / %S wide strings of
// 16-bit WCHAR, %I64d, %Id, 'l' 32 bits, %n refused) and writes the text to `out`. Returns
// the characters written, or -1 for a format the run-time refuses (nothing is written).
int windows_vfprintf(std::FILE* out, const char* format, va_list args);

}  // namespace platform::win32
