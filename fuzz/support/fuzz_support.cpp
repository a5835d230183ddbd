#include "support/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/scheduler.h"

namespace fuzz {

exact_copy::exact_copy(const std::uint8_t* data, std::size_t size, std::size_t headroom)
    : storage_(new std::uint8_t[size + headroom]), headroom_(headroom), size_(size) {
    std::memset(storage_.get(), 0xEE, headroom);
    if (size != 0)
        std::memcpy(storage_.get() + headroom, data, size);
}

void fail(const char* what) {
    std::fprintf(stderr, "fuzz expectation failed: %s\n", what);
    std::abort();
}

void adopt_thread() {
    static bool adopted = false;
    if (!adopted) {
        platform::scheduler::get().adopt_current_thread("fuzz");
        adopted = true;
    }
}

}  // namespace fuzz
