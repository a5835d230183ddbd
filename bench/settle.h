// Lets every other known thread run until it blocks: the machine has settled. Costs one tick
// of virtual time.
#pragma once

namespace bench {

void settle();

}  // namespace bench
