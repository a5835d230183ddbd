// Pool allocation, accounting by tag and type, the verifier's pool checks and the final check.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <wdm.h>

#include <cstring>
#include <string>

#include "core/faults.h"
#include "kernel/kernel.h"
#include "kernel/pool.h"

namespace pool = platform::kernel::pool;

namespace {

constexpr ULONG tag_a = 0x31417854;  // 'TxA1' in memory
constexpr ULONG tag_b = 0x32427854;

TEST(Pool, AllocationsAreCountedByTagAndTypeAndFilled) {
    pool::usage before_a = pool::outstanding(tag_a);
    pool::usage before_paged = pool::outstanding_by_type(PagedPool);
    auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 40, tag_a));
    auto* q = static_cast<unsigned char*>(ExAllocatePoolWithTag(PagedPool, 24, tag_a));
    ASSERT_NE(p, nullptr);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u);
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(p[i], pool::fill_allocated) << "byte " << i;  // never zero-filled
    }
    EXPECT_EQ(pool::outstanding(tag_a), (pool::usage{before_a.bytes + 64, before_a.count + 2}));
    EXPECT_EQ(pool::outstanding_by_type(PagedPoolCacheAligned).bytes, before_paged.bytes + 24);
    pool::block_info info;
    ASSERT_TRUE(pool::find_block(p, &info));
    EXPECT_EQ(info.type, NonPagedPoolNx);
    EXPECT_EQ(info.tag, tag_a);
    EXPECT_EQ(info.size, 40u);
    ExFreePoolWithTag(p, tag_a);
    ExFreePool(q);  // no tag check
    EXPECT_EQ(pool::outstanding(tag_a), before_a);
    EXPECT_FALSE(pool::find_block(p, nullptr));
}

TEST(Pool, ExAllocatePool2ZeroFillsUnlessAskedNotTo) {
    auto* p = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 32, tag_b));
    auto* q = static_cast<unsigned char*>(
        ExAllocatePool2(POOL_FLAG_PAGED | POOL_FLAG_UNINITIALIZED, 8, tag_b));
    ASSERT_NE(p, nullptr);
    ASSERT_NE(q, nullptr);
    for (int i = 0; i < 32; ++i) {
        ASSERT_EQ(p[i], 0);
    }
    EXPECT_EQ(q[0], pool::fill_allocated);
    pool::block_info info;
    ASSERT_TRUE(pool::find_block(q, &info));
    EXPECT_EQ(info.type, PagedPool);
    ExFreePoolWithTag(p, tag_b);
    ExFreePoolWithTag(q, tag_b);
    EXPECT_DEATH(ExAllocatePool2(POOL_FLAG_NON_PAGED | POOL_FLAG_PAGED, 8, tag_b), "0x000000C2");
}

// Driver Verifier stops a zero-byte request: bug check 0xC4, parameter 1 0x00, then the IRQL,
// the pool type and the size.
TEST(Pool, AZeroByteAllocationIsAVerifierError) {
    EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPoolNx, 0, tag_a),
                 "0x000000C4: ExAllocatePoolWithTag: zero-byte pool allocation \\(tag 'TxA1'\\), "
                 "called from .*pool_test.cpp.*parameters: 0x0 0x0 0x200 0x0");
    EXPECT_DEATH(ExAllocatePool2(POOL_FLAG_PAGED, 0, tag_a), "0x000000C4.*zero-byte");
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPool, 0, tag_a), "parameters: 0x0 0x2 0x0 0x0");
    KeLowerIrql(old);
}

TEST(Pool, InjectedFailuresReturnNull) {
    platform::faults::fail_nth("ExAllocatePoolWithTag", 2, STATUS_INSUFFICIENT_RESOURCES);
    void* first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag_a);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag_a), nullptr);
    void* third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag_a);
    EXPECT_NE(third, nullptr);
    ExFreePoolWithTag(first, tag_a);
    ExFreePoolWithTag(third, tag_a);
}

TEST(Pool, MisusedFreesAreBugChecks) {
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, tag_a);
    EXPECT_DEATH(ExFreePoolWithTag(p, tag_b),
                 "0x000000C2.*freed with tag 'TxB2', allocated with 'TxA1' \\(16 bytes allocated "
                 "at .*pool_test.cpp:[0-9]+\\)\\), called from .*pool_test.cpp");
    int on_stack = 0;
    EXPECT_DEATH(ExFreePoolWithTag(&on_stack, tag_a), "0x000000C2.*never allocated");
    EXPECT_DEATH(ExFreePool(nullptr), "0x000000C2");
    EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0), "0x000000C2.*tag of zero");
    EXPECT_DEATH(ExAllocatePoolWithTag(static_cast<POOL_TYPE>(77), 8, tag_a),
                 "0x000000C2.*invalid pool type");
    int freed_line = __LINE__ + 1;
    ExFreePoolWithTag(p, tag_a);
    EXPECT_DEATH(
        ExFreePoolWithTag(p, tag_a),
        "0x000000C2.*freed twice.*first freed at .*pool_test.cpp:" + std::to_string(freed_line));
}

TEST(Pool, WritingPastTheEndIsCaughtAtFree) {
    auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 10, tag_a));
    std::memset(p, 'x', 10);  // exactly the size: fine
    p[10] = 'y';
    EXPECT_DEATH(ExFreePoolWithTag(p, tag_a), "0x00000019.*overrun");
    p[10] = static_cast<char>(0xFD);  // put the guard back for an orderly free
    ExFreePoolWithTag(p, tag_a);
}

TEST(Pool, PagedPoolAboveApcLevelIsABugCheck) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_DEATH(ExAllocatePoolWithTag(PagedPool, 8, tag_a), "0x000000C2.*IRQL");
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag_a);
    EXPECT_NE(p, nullptr);
    ExFreePoolWithTag(p, tag_a);
    KeLowerIrql(old);
}

TEST(Pool, LeaksAreReportedByTagAndBlockWithWhereTheyWereAllocated) {
    auto before = pool::snapshot();
    int line = __LINE__ + 1;
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 100, tag_b);
    void* q = ExAllocatePoolWithTag(NonPagedPoolNx, 20, tag_b);
    auto grown = pool::grown_since(before);
    ASSERT_EQ(grown.size(), 1u);
    EXPECT_EQ(grown[tag_b], (pool::usage{120, 2}));
    auto report = pool::leak_report({tag_b});
    ASSERT_EQ(report.size(), 1u);
    EXPECT_EQ(report[0], "pool tag 'TxB2': 2 block(s), 120 bytes");
    EXPECT_TRUE(pool::leak_report({tag_a}).empty());
    platform::kernel::final_check_options opts;
    opts.tags = {tag_b};
    opts.check_objects = false;
    opts.check_handles = false;
    auto blocks = pool::leak_blocks({tag_b});
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_THAT(blocks[0],
                testing::MatchesRegex("block 0x[0-9a-f]+ tag 'TxB2', 100 bytes allocated "
                                      "at .*LeaksAreReported.* \\(tests/platform/"
                                      "kernel/pool_test.cpp:" +
                                      std::to_string(line) + "\\)"));
    EXPECT_THAT(blocks[1], testing::HasSubstr("20 bytes allocated at"));
    EXPECT_DEATH(platform::kernel::final_check(opts),
                 "0x000000C4.*TxB2.*2 block.*\n    block 0x[0-9a-f]+ tag 'TxB2', 100 bytes "
                 "allocated at .*pool_test.cpp:" +
                     std::to_string(line));
    ExFreePoolWithTag(p, tag_b);
    ExFreePoolWithTag(q, tag_b);
    EXPECT_TRUE(pool::grown_since(before).empty());
    platform::kernel::final_check(opts);  // clean: returns
}

}  // namespace
