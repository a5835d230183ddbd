// The host-side frame decoder on arbitrary bytes: it reads only what it is given, and a line
// for a frame that does not make sense always carries the "<<" mark.
#include <cstdint>
#include <span>
#include <string>

#include "framedecode/frame_decoder.h"
#include "support/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::exact_copy input(data, size);
    std::string line = framedecode::decode_frame(std::span<const std::uint8_t>(input.data(), size));
    bool header_consistent =
        size >= 6 && input.data()[0] == 0x01 &&
        static_cast<std::size_t>(input.data()[1] | input.data()[2] << 8) + 1 == size;
    fuzz::expect(header_consistent || line.find("<<") != std::string::npos,
                 "a broken frame header is marked");
    return 0;
}
