#include "settle.h"

#include <functional>
#include <mutex>

#include "core/scheduler.h"

namespace bench {

void settle() {
    auto& s = platform::scheduler::get();
    const platform::ticks later = s.now() + 1;
    std::unique_lock lk(s.lock());
    std::function<bool()> never = [] { return false; };
    s.block(lk, never, later, "the machine to settle");
}

}  // namespace bench
