// The kernel pool, as its verifier sees it. Every allocation records its pool type, tag,
// size and caller-visible address; the bytes are filled with a pattern (0xAF... as
// allocated, 0xF0 once freed until reused) and followed by a guard area that is checked
// when the block is freed.
//
// Bug checks: freeing an address the pool never handed out, freeing twice, or a NULL
// pointer (BAD_POOL_CALLER 0xC2, parameters: subcode, address, tag); freeing with a tag other
// than the allocation's (0xC2); a guard area overwritten (POOL_CORRUPTION 0x19); a zero-byte
// request (DRIVER_VERIFIER_DETECTED_VIOLATION 0xC4, parameter 1 0x00, then the IRQL, the pool
// type and the size, as Driver Verifier reports it). A fault-injected call returns NULL.
//
// Each block remembers the driver's call site of its allocation (and, once freed, of its
// free), so a report names where the driver allocated, freed or leaked it.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace platform::kernel::pool {

inline constexpr std::uint8_t fill_allocated = 0xAF;  // fresh bytes: never all-zero
inline constexpr std::size_t guard_bytes = 16;

struct usage {
    std::size_t bytes = 0;
    std::size_t count = 0;
    friend bool operator==(const usage&, const usage&) = default;
};

// Bytes and blocks outstanding for one tag, for one pool type (the base type: cache-aligned
// and must-succeed variants count under NonPagedPool / PagedPool; NX under NonPagedPoolNx),
// and overall.
usage outstanding(ULONG tag);
usage outstanding_by_type(POOL_TYPE type);
usage outstanding_total();
// Totals since start-up (allocations made, frees made), by tag.
std::size_t allocations_made(ULONG tag);

// Outstanding usage for every tag.
std::map<ULONG, usage> snapshot();
// Tags whose outstanding usage grew between `before` and now, with the growth.
std::map<ULONG, usage> grown_since(const std::map<ULONG, usage>& before);

// Information about one live block (for tests: was it filled, what type did it get).
struct block_info {
    POOL_TYPE type = NonPagedPool;
    ULONG tag = 0;
    std::size_t size = 0;
};
bool find_block(const void* p, block_info* info);

// "tag 'Vrx1': 2 blocks, 96 bytes" per tag with something outstanding (restricted to `tags`
// when not empty).
std::vector<std::string> leak_report(const std::vector<ULONG> tags = {});
// Every live block, oldest first (restricted to `tags` when not empty):
// "block 0x... tag 'Vrx1', 64 bytes, allocated at VraxFoo (src/foo.cpp:12)".
std::vector<std::string> leak_blocks(const std::vector<ULONG>& tags = {});
// Four-character display form of a tag ('Vrx1' is stored little-endian: "1xrV" in memory,
// shown as "Vrx1").
std::string tag_name(ULONG tag);

// The allocator behind ExAllocatePoolWithTag / ExAllocatePool2 / ExFreePoolWithTag, for
// other platform areas that allocate on a driver's behalf. `routine` names the caller for
// fault injection and reports; `site` is the return address into the driver's call (null
// when the platform allocates on its own behalf).
void* allocate(POOL_TYPE type, std::size_t size, ULONG tag, const char* routine,
               const void* site = nullptr);
void release(void* p, ULONG tag, bool check_tag, const char* routine, const void* site = nullptr);

}  // namespace platform::kernel::pool
