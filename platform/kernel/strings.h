// Conversions between the driver's counted strings and the host's std::u16string, the
// case-insensitive comparison the object manager and the registry use for names, and
// UTF-8 <-> UTF-16 conversion for messages and file names.
#pragma once

#include <ntdef.h>

#include <string>
#include <string_view>

namespace platform::kernel {

// The characters of a UNICODE_STRING (Length bytes, no terminator needed). A NULL string or
// NULL Buffer gives an empty view.
std::u16string_view view(const UNICODE_STRING* s);
std::u16string to_u16(const UNICODE_STRING* s);
// A NUL-terminated WCHAR string; NULL gives an empty view.
std::u16string_view view(const WCHAR* s);

// A UNICODE_STRING that owns its buffer: `.get()` gives a PUNICODE_STRING whose Buffer stays
// valid for the life of this object; the buffer is NUL-terminated beyond Length.
class owned_unicode_string {
  public:
    owned_unicode_string() : owned_unicode_string(std::u16string_view{}) {}
    explicit owned_unicode_string(std::u16string_view text);
    owned_unicode_string(const owned_unicode_string& other) : owned_unicode_string(other.text_) {}
    owned_unicode_string& operator=(const owned_unicode_string& other);
    UNICODE_STRING* get() { return &us_; }
    const UNICODE_STRING* get() const { return &us_; }
    operator UNICODE_STRING*() { return &us_; }
    std::u16string_view text() const { return text_; }

  private:
    void bind();
    std::u16string text_;
    UNICODE_STRING us_{};
};

// Writes `text` into a caller-owned UNICODE_STRING buffer. Returns false (and leaves Length
// unchanged) if it does not fit in MaximumLength.
bool assign(UNICODE_STRING* dest, std::u16string_view text);

// Upper-cases one UTF-16 code unit as the kernel's name comparison does: ASCII and the
// Latin-1 / Latin Extended-A / Greek / Cyrillic letters that have a simple one-unit mapping.
char16_t upcase(char16_t c);
std::u16string upcase(std::u16string_view s);
// Case-insensitive comparison of object, registry and device names: <0, 0, >0 comparing
// upcased code units.
int compare_insensitive(std::u16string_view a, std::u16string_view b);
bool equal_insensitive(std::u16string_view a, std::u16string_view b);
bool starts_with_insensitive(std::u16string_view s, std::u16string_view prefix);
// Ordering functor for std::map keyed by names.
struct less_insensitive {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const {
        return compare_insensitive(a, b) < 0;
    }
};

// UTF-8 <-> UTF-16. Ill-formed input (a lone surrogate, a bad UTF-8 sequence) becomes U+FFFD
// rather than failing, so a message can always be printed.
std::string to_utf8(std::u16string_view s);
std::string to_utf8(const UNICODE_STRING* s);
std::u16string to_utf16(std::string_view s);
// Whether `s` is well-formed UTF-8 / UTF-16 (used where a caller must reject bad input).
bool valid_utf8(std::string_view s);
bool valid_utf16(std::u16string_view s);

}  // namespace platform::kernel
