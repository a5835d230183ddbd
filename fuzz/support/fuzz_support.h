// Shared by the harnesses: an exact-size heap copy of the input (so the address sanitizer
// sees any read past it), and a stop that turns a violated expectation into a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace fuzz {

// The input in a buffer of exactly its size, with `headroom` writable bytes in front.
class exact_copy {
  public:
    exact_copy(const std::uint8_t* data, std::size_t size, std::size_t headroom = 0);
    std::uint8_t* data() { return storage_.get() + headroom_; }
    std::size_t size() const { return size_; }
    std::uint8_t* begin_of_storage() { return storage_.get(); }

  private:
    std::unique_ptr<std::uint8_t[]> storage_;
    std::size_t headroom_;
    std::size_t size_;
};

// Reports what went wrong and aborts, which libFuzzer records as a crash.
[[noreturn]] void fail(const char* what);

inline void expect(bool condition, const char* what) {
    if (!condition)
        fail(what);
}

// True when [p, p + n) lies inside [base, base + size).
inline bool inside(const void* p, std::size_t n, const void* base, std::size_t size) {
    auto a = reinterpret_cast<std::uintptr_t>(p);
    auto b = reinterpret_cast<std::uintptr_t>(base);
    return a >= b && n <= size && a - b <= size - n;
}

// Registers the harness thread with the platform's scheduler once (wait locks need it).
void adopt_thread();

}  // namespace fuzz
