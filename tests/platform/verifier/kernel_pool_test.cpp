// Pool misuse, as a driver commits it: each fragment does one wrong thing and the bug check
// names it, with the driver's own call sites.
#include <gtest/gtest.h>
#include <wdm.h>

#include <string>

#include "kernel/kernel.h"

namespace {

constexpr ULONG tag_session = 0x31736556;  // 'Ves1'
constexpr ULONG tag_frame = 0x32736556;    // 'Ves2'

int allocation_line = 0;

PVOID AllocateSessionBuffer(SIZE_T bytes) {
    allocation_line = __LINE__ + 1;
    return ExAllocatePoolWithTag(NonPagedPoolNx, bytes, tag_session);
}

// Frees the session buffer under the frame tag.
VOID FreeWithTheWrongTag(PVOID buffer) {
    ExFreePoolWithTag(buffer, tag_frame);
}

TEST(KernelPoolVerifier, FreeingWithTheWrongTagNamesBothTagsAndTheAllocation) {
    PVOID buffer = AllocateSessionBuffer(64);
    ASSERT_NE(buffer, nullptr);
    EXPECT_DEATH(FreeWithTheWrongTag(buffer),
                 "0x000000C2: ExFreePoolWithTag: freed with tag 'Ves2', allocated with 'Ves1' "
                 "\\(64 bytes allocated at .*AllocateSessionBuffer \\(tests/platform/verifier/"
                 "kernel_pool_test.cpp:" +
                     std::to_string(allocation_line) + "\\)\\), called from .*FreeWithTheWrongTag");
    ExFreePoolWithTag(buffer, tag_session);
}

// Frees on the error path and again in the common clean-up.
VOID FreeTwice(PVOID buffer) {
    ExFreePoolWithTag(buffer, tag_session);
    ExFreePoolWithTag(buffer, tag_session);
}
constexpr int first_free_line = __LINE__ - 3;

TEST(KernelPoolVerifier, FreeingTwiceNamesTheFirstFree) {
    PVOID buffer = AllocateSessionBuffer(32);
    ASSERT_NE(buffer, nullptr);
    EXPECT_DEATH(FreeTwice(buffer),
                 "0x000000C2: ExFreePoolWithTag: pool freed twice \\(tag 'Ves1', 32 bytes "
                 "allocated at .*AllocateSessionBuffer .*, first freed at .*FreeTwice "
                 "\\(tests/platform/verifier/kernel_pool_test.cpp:" +
                     std::to_string(first_free_line) + "\\)\\), called from .*FreeTwice");
    ExFreePoolWithTag(buffer, tag_session);
}

// Keeps a buffer nobody ever frees.
VOID LeakABuffer() {
    (void)AllocateSessionBuffer(48);
}

TEST(KernelPoolVerifier, ABlockNeverFreedIsListedAtTheFinalCheckWithItsAllocation) {
    LeakABuffer();
    platform::kernel::final_check_options options;
    options.tags = {tag_session};
    options.check_handles = false;
    options.check_objects = false;
    EXPECT_DEATH(platform::kernel::final_check(options),
                 "0x000000C4: resources still outstanding at the final check:.*pool tag 'Ves1': 1 "
                 "block\\(s\\), 48 bytes.*block 0x[0-9a-f]+ tag 'Ves1', 48 bytes allocated at "
                 ".*AllocateSessionBuffer \\(tests/platform/verifier/kernel_pool_test.cpp:" +
                     std::to_string(allocation_line) + "\\)");
}

// Allocates for a message whose length came out as zero.
PVOID AllocateForAnEmptyMessage() {
    SIZE_T length = 0;
    return ExAllocatePoolWithTag(NonPagedPoolNx, length, tag_frame);
}

TEST(KernelPoolVerifier, AZeroByteAllocationIsCaughtWhereTheDriverAskedForIt) {
    EXPECT_DEATH(AllocateForAnEmptyMessage(),
                 "0x000000C4: ExAllocatePoolWithTag: zero-byte pool allocation \\(tag 'Ves2'\\), "
                 "called from .*AllocateForAnEmptyMessage \\(tests/platform/verifier/"
                 "kernel_pool_test.cpp:[0-9]+\\).*parameters: 0x0 0x0 0x200 0x0");
}

}  // namespace
