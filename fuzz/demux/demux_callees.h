// What the demux harness's stand-ins for delivery, the monitor hook, the reply catcher and
// the control-service handler check on every call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz::demux {

// The frame being routed; every payload handed on must lie inside it.
struct current_frame {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};
current_frame& frame();

// The session key for which the reply catcher is armed.
inline constexpr unsigned long awaiting_key = 2;

}  // namespace fuzz::demux
