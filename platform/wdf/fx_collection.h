// Framework collections keep their items in a linked list, as the framework does: an item is
// found by position or by object by walking the list from its head, so a look-up costs what it
// would cost on Windows. The count of list entries visited by such walks is kept for tests.
#pragma once

#include <cstdint>

namespace platform::wdf {

// List entries visited so far by every collection's walks (look-up and removal by position,
// removal by object), in all threads. First and last item and the count need no walk.
std::uint64_t collection_entries_walked();

}  // namespace platform::wdf
