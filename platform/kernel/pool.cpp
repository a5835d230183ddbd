// The pool allocator and its verifier bookkeeping.
//
// Each block is a separate host allocation: the caller's bytes, then a guard area. Freed
// blocks are filled with a pattern and held in a quarantine for a while before the memory
// goes back to the host, so a second free of the same address is recognised as such and a
// use after free reads the freed pattern rather than someone else's data.
#include "kernel/pool.h"

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "core/bugcheck.h"
#include "core/faults.h"
#include "core/scheduler.h"
#include "core/symbolizer.h"

namespace platform::kernel::pool {

namespace {

constexpr std::uint8_t fill_freed = 0xF0;
constexpr std::uint8_t fill_guard = 0xFD;
constexpr std::size_t quarantine_limit = 8u << 20;  // bytes kept freed before reuse

// BAD_POOL_CALLER subcodes.
constexpr std::uint64_t sub_double_free = 0x07;
constexpr std::uint64_t sub_wrong_tag = 0x0A;
constexpr std::uint64_t sub_bad_irql = 0x08;
constexpr std::uint64_t sub_zero_tag = 0x9B;
constexpr std::uint64_t sub_bad_address = 0x46;
constexpr std::uint64_t sub_bad_type = 0x99;
// DRIVER_VERIFIER_DETECTED_VIOLATION parameter 1: a zero-byte allocation.
constexpr std::uint64_t verifier_zero_bytes = 0x00;

// Pool types the allocator accepts, and the base type each counts under.
bool base_type(POOL_TYPE type, POOL_TYPE* base) {
    switch (type) {
        case NonPagedPool:
        case NonPagedPoolCacheAligned:
        case NonPagedPoolSession:
            *base = NonPagedPool;
            return true;
        case PagedPool:
        case PagedPoolCacheAligned:
        case PagedPoolSession:
            *base = PagedPool;
            return true;
        case NonPagedPoolNx:
        case NonPagedPoolNxCacheAligned:
        case NonPagedPoolSessionNx:
            *base = NonPagedPoolNx;
            return true;
        default:
            return false;
    }
}

struct block {
    POOL_TYPE type;
    POOL_TYPE base;
    ULONG tag;
    std::size_t size;
    const void* allocated_at;  // return address into the driver's allocation call
    std::uint64_t serial;      // allocation order
};

// A quarantined block: what it was and where the driver freed it.
struct freed_block {
    ULONG tag;
    std::size_t size;
    const void* allocated_at;
    const void* freed_at;
};

struct pool_state {
    std::mutex lock;
    std::unordered_map<const void*, block> live;
    std::unordered_map<const void*, freed_block> freed;  // quarantined blocks by address
    std::deque<std::pair<void*, std::size_t>> quarantine;
    std::size_t quarantine_bytes = 0;
    std::map<ULONG, usage> by_tag;
    std::map<int, usage> by_type;
    usage total;
    std::map<ULONG, std::size_t> made;
    std::uint64_t next_serial = 0;
};

pool_state& state() {
    static pool_state* s = new pool_state();
    return *s;
}

// Tags are compared without the protected-pool bit, as the kernel does.
constexpr ULONG tag_mask = 0x7FFFFFFF;

void add(usage& u, std::size_t bytes) {
    u.bytes += bytes;
    ++u.count;
}

void sub(usage& u, std::size_t bytes) {
    u.bytes -= bytes;
    --u.count;
}

// " (called from VraxFoo (src/foo.cpp:12))" for a driver's call, "" for the platform's own.
std::string called_from(const void* site) {
    return site != nullptr ? ", called from " + symbolizer::describe(site) : std::string();
}

std::string allocated_text(std::size_t size, const void* at) {
    return std::to_string(size) + " bytes allocated at " + symbolizer::describe(at);
}

void check_guard(const void* p, const block& b) {
    auto* guard = static_cast<const std::uint8_t*>(p) + b.size;
    for (std::size_t i = 0; i < guard_bytes; ++i) {
        if (guard[i] != fill_guard) {
            bug_check(
                bug_code::pool_corruption,
                "pool block overrun: bytes past the end of the allocation were written (tag '" +
                    tag_name(b.tag) + "', " + allocated_text(b.size, b.allocated_at) + ")",
                reinterpret_cast<std::uintptr_t>(p), b.size, b.tag, i);
        }
    }
}

}  // namespace

std::string tag_name(ULONG tag) {
    std::string out;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        out += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return out;
}

void* allocate(POOL_TYPE type, std::size_t size, ULONG tag, const char* routine, const void* site) {
    if (faults::fault_point(routine)) {
        return nullptr;
    }
    POOL_TYPE base;
    if (!base_type(type, &base)) {
        bug_check(bug_code::bad_pool_caller, std::string(routine) + ": invalid pool type",
                  sub_bad_type, static_cast<std::uint64_t>(type), size, tag);
    }
    if ((tag & tag_mask) == 0) {
        bug_check(bug_code::bad_pool_caller, std::string(routine) + ": pool tag of zero",
                  sub_zero_tag, static_cast<std::uint64_t>(type), size);
    }
    KIRQL irql = scheduler::get().current().irql;
    if ((base == PagedPool && irql > APC_LEVEL) || irql > DISPATCH_LEVEL) {
        bug_check(bug_code::bad_pool_caller,
                  std::string(routine) + ": IRQL too high for this pool type", sub_bad_irql, irql,
                  static_cast<std::uint64_t>(type), tag);
    }
    if (size == 0) {
        bug_check(bug_code::driver_verifier_detected_violation,
                  std::string(routine) + ": zero-byte pool allocation (tag '" + tag_name(tag) +
                      "')" + called_from(site),
                  verifier_zero_bytes, irql, static_cast<std::uint64_t>(type), size);
    }
    if (size > (std::size_t(1) << 40)) {
        return nullptr;
    }
    std::size_t rounded = (size + guard_bytes + 15) & ~std::size_t(15);
    void* p = std::aligned_alloc(16, rounded);
    if (p == nullptr) {
        return nullptr;
    }
    std::memset(p, fill_allocated, size);
    std::memset(static_cast<std::uint8_t*>(p) + size, fill_guard, rounded - size);
    auto& s = state();
    std::lock_guard g(s.lock);
    s.freed.erase(p);  // the host reused an address we had already handed back
    s.live.emplace(p, block{type, base, tag & tag_mask, size, site, s.next_serial++});
    add(s.by_tag[tag & tag_mask], size);
    add(s.by_type[base], size);
    add(s.total, size);
    ++s.made[tag & tag_mask];
    return p;
}

void release(void* p, ULONG tag, bool check_tag, const char* routine, const void* site) {
    if (p == nullptr) {
        bug_check(bug_code::bad_pool_caller,
                  std::string(routine) + ": NULL pointer freed" + called_from(site),
                  sub_bad_address);
    }
    std::vector<void*> to_free;
    {
        auto& s = state();
        std::lock_guard g(s.lock);
        auto it = s.live.find(p);
        if (it == s.live.end()) {
            auto f = s.freed.find(p);
            if (f != s.freed.end()) {
                const freed_block& was = f->second;
                bug_check(bug_code::bad_pool_caller,
                          std::string(routine) + ": pool freed twice (tag '" + tag_name(was.tag) +
                              "', " + allocated_text(was.size, was.allocated_at) +
                              ", first freed at " + symbolizer::describe(was.freed_at) + ")" +
                              called_from(site),
                          sub_double_free, reinterpret_cast<std::uintptr_t>(p), was.tag);
            }
            bug_check(bug_code::bad_pool_caller,
                      std::string(routine) + ": address was never allocated from the pool" +
                          called_from(site),
                      sub_bad_address, reinterpret_cast<std::uintptr_t>(p));
        }
        block b = it->second;
        if (check_tag && (tag & tag_mask) != b.tag) {
            bug_check(bug_code::bad_pool_caller,
                      std::string(routine) + ": freed with tag '" + tag_name(tag) +
                          "', allocated with '" + tag_name(b.tag) + "' (" +
                          allocated_text(b.size, b.allocated_at) + ")" + called_from(site),
                      sub_wrong_tag, reinterpret_cast<std::uintptr_t>(p), tag, b.tag);
        }
        KIRQL irql = scheduler::get().current_locked().irql;
        if ((b.base == PagedPool && irql > APC_LEVEL) || irql > DISPATCH_LEVEL) {
            bug_check(bug_code::bad_pool_caller,
                      std::string(routine) + ": IRQL too high for this pool type", sub_bad_irql,
                      irql, reinterpret_cast<std::uintptr_t>(p), b.tag);
        }
        check_guard(p, b);
        s.live.erase(it);
        sub(s.by_tag[b.tag], b.size);
        sub(s.by_type[b.base], b.size);
        sub(s.total, b.size);
        std::memset(p, fill_freed, b.size);
        s.freed.insert_or_assign(p, freed_block{b.tag, b.size, b.allocated_at, site});
        s.quarantine.emplace_back(p, b.size);
        s.quarantine_bytes += b.size;
        while (s.quarantine_bytes > quarantine_limit && !s.quarantine.empty()) {
            auto [q, qsize] = s.quarantine.front();
            s.quarantine.pop_front();
            s.quarantine_bytes -= qsize;
            s.freed.erase(q);
            to_free.push_back(q);
        }
    }
    for (void* q : to_free) {
        std::free(q);
    }
}

usage outstanding(ULONG tag) {
    auto& s = state();
    std::lock_guard g(s.lock);
    auto it = s.by_tag.find(tag & tag_mask);
    return it == s.by_tag.end() ? usage{} : it->second;
}

usage outstanding_by_type(POOL_TYPE type) {
    POOL_TYPE base;
    if (!base_type(type, &base)) {
        return {};
    }
    auto& s = state();
    std::lock_guard g(s.lock);
    auto it = s.by_type.find(base);
    return it == s.by_type.end() ? usage{} : it->second;
}

usage outstanding_total() {
    auto& s = state();
    std::lock_guard g(s.lock);
    return s.total;
}

std::size_t allocations_made(ULONG tag) {
    auto& s = state();
    std::lock_guard g(s.lock);
    auto it = s.made.find(tag & tag_mask);
    return it == s.made.end() ? 0 : it->second;
}

std::map<ULONG, usage> snapshot() {
    auto& s = state();
    std::lock_guard g(s.lock);
    std::map<ULONG, usage> out;
    for (auto& [tag, u] : s.by_tag) {
        if (u.count != 0) {
            out[tag] = u;
        }
    }
    return out;
}

std::map<ULONG, usage> grown_since(const std::map<ULONG, usage>& before) {
    std::map<ULONG, usage> out;
    for (auto& [tag, now] : snapshot()) {
        auto it = before.find(tag);
        usage then = it == before.end() ? usage{} : it->second;
        if (now.count > then.count || now.bytes > then.bytes) {
            out[tag] = usage{now.bytes > then.bytes ? now.bytes - then.bytes : 0,
                             now.count > then.count ? now.count - then.count : 0};
        }
    }
    return out;
}

bool find_block(const void* p, block_info* info) {
    auto& s = state();
    std::lock_guard g(s.lock);
    auto it = s.live.find(p);
    if (it == s.live.end()) {
        return false;
    }
    if (info != nullptr) {
        *info = block_info{it->second.type, it->second.tag, it->second.size};
    }
    return true;
}

std::vector<std::string> leak_report(const std::vector<ULONG> tags) {
    std::vector<std::string> out;
    for (auto& [tag, u] : snapshot()) {
        bool wanted = tags.empty();
        for (ULONG t : tags) {
            wanted = wanted || (t & tag_mask) == tag;
        }
        if (wanted) {
            out.push_back("pool tag '" + tag_name(tag) + "': " + std::to_string(u.count) +
                          " block(s), " + std::to_string(u.bytes) + " bytes");
        }
    }
    return out;
}

std::vector<std::string> leak_blocks(const std::vector<ULONG>& tags) {
    std::vector<std::pair<const void*, block>> found;
    {
        auto& s = state();
        std::lock_guard g(s.lock);
        for (auto& [p, b] : s.live) {
            ULONG tag = b.tag;  // clang 14 cannot capture a structured binding
            bool wanted = tags.empty() || std::any_of(tags.begin(), tags.end(), [tag](ULONG t) {
                              return (t & tag_mask) == tag;
                          });
            if (wanted) {
                found.emplace_back(p, b);
            }
        }
    }
    std::sort(found.begin(), found.end(),
              [](const auto& x, const auto& y) { return x.second.serial < y.second.serial; });
    std::vector<std::string> out;
    for (auto& [p, b] : found) {
        char address[32];
        std::snprintf(address, sizeof address, "%p", p);
        out.push_back("block " + std::string(address) + " tag '" + tag_name(b.tag) + "', " +
                      allocated_text(b.size, b.allocated_at));
    }
    return out;
}

}  // namespace platform::kernel::pool

using namespace platform::kernel;

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return pool::allocate(PoolType, NumberOfBytes, Tag, "ExAllocatePoolWithTag",
                          __builtin_return_address(0));
}

extern "C" PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return pool::allocate(PoolType, NumberOfBytes, 0x656E6F4E /* "None" */, "ExAllocatePool",
                          __builtin_return_address(0));
}

extern "C" PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag) {
    // Exactly one of the pool-kind flags must be given.
    POOL_FLAGS kinds =
        Flags & (POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE | POOL_FLAG_PAGED);
    if (kinds == 0 || (kinds & (kinds - 1)) != 0) {
        platform::bug_check(platform::bug_code::bad_pool_caller,
                            "ExAllocatePool2: exactly one pool kind flag is required", 0x99, Flags);
    }
    POOL_TYPE type = kinds == POOL_FLAG_PAGED       ? PagedPool
                     : kinds == POOL_FLAG_NON_PAGED ? NonPagedPoolNx
                                                    : NonPagedPool;
    if (Flags & POOL_FLAG_CACHE_ALIGNED) {
        type = static_cast<POOL_TYPE>(type + 4);
    }
    void* p =
        pool::allocate(type, NumberOfBytes, Tag, "ExAllocatePool2", __builtin_return_address(0));
    if (p != nullptr && (Flags & POOL_FLAG_UNINITIALIZED) == 0) {
        std::memset(p, 0, NumberOfBytes);
    }
    return p;
}

extern "C" VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    pool::release(P, Tag, true, "ExFreePoolWithTag", __builtin_return_address(0));
}

extern "C" VOID ExFreePool(PVOID P) {
    pool::release(P, 0, false, "ExFreePool", __builtin_return_address(0));
}
