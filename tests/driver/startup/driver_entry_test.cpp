// Driver entry and unload: the pool type chosen from the system version, a failing framework
// driver creation, and what tracing shows (or does not) around start-up and unload.
#include <gtest/gtest.h>

#include <cctype>

#include "core/faults.h"
#include "driver/driver.h"
#include "kernel/pool.h"
#include "kernel/system_config.h"
#include "kernel/tracing.h"
#include "vrax_harness.h"
#include "vrax_pool.h"
#include "wpp/trace_session.h"

namespace {

namespace kernel = platform::kernel;
namespace tracing = platform::kernel::tracing;
namespace faults = platform::faults;
using platform::wpp::trace_session;
using platform::wpp::vrax_control_guid;

struct version_case {
    std::uint32_t major, minor;
    POOL_TYPE expected;
};

class PoolType : public ::testing::TestWithParam<version_case> {};

// Every allocation goes through VraxAllocatePool with the type driver entry chose; the pool
// records the type of each block.
TEST_P(PoolType, FollowsSystemVersion) {
    const auto& c = GetParam();
    kernel::set_os_version(c.major, c.minor, 1);
    vrax_test::harness h;
    ASSERT_EQ(h.load(), STATUS_SUCCESS);

    const auto before = kernel::pool::outstanding_by_type(c.expected);
    PVOID block = VraxAllocatePool(32, VRAX_TAG_FRAME);
    ASSERT_NE(block, nullptr);
    kernel::pool::block_info info;
    ASSERT_TRUE(kernel::pool::find_block(block, &info));
    EXPECT_EQ(info.type, c.expected);
    EXPECT_EQ(kernel::pool::outstanding_by_type(c.expected).count, before.count + 1);
    EXPECT_EQ(VraxMdlProtection, c.expected == NonPagedPoolNx ? 0x40000000u : 0u);
    VraxFreePool(block, VRAX_TAG_FRAME);
}

INSTANTIATE_TEST_SUITE_P(Versions, PoolType,
                         ::testing::Values(version_case{5, 1, NonPagedPool},
                                           version_case{6, 1, NonPagedPool},
                                           version_case{6, 2, NonPagedPoolNx},
                                           version_case{6, 3, NonPagedPoolNx},
                                           version_case{10, 0, NonPagedPoolNx}));

TEST(DriverEntry, UnreadableVersionKeepsExecutablePool) {
    faults::fail_always("RtlGetVersion", STATUS_UNSUCCESSFUL);
    vrax_test::harness h;
    ASSERT_EQ(h.load(), STATUS_SUCCESS);
    EXPECT_EQ(VraxPoolType, NonPagedPool);
    faults::clear();
}

TEST(DriverEntry, DriverCreateFailureIsReturnedAndLeavesNoRegistration) {
    trace_session session(vrax_control_guid(), TRACE_LEVEL_VERBOSE, 0x1);
    faults::fail_nth("WdfDriverCreate", 1, vrax_test::injected_status(1));
    vrax_test::harness h;
    EXPECT_EQ(h.load(), vrax_test::injected_status(1));
    EXPECT_FALSE(platform::pnp::loaded(h.driver()));
    EXPECT_FALSE(tracing::find_provider(vrax_control_guid()).has_value());
    EXPECT_TRUE(session.contains("WdfDriverCreate failed 0xE0000101"));
}

TEST(DriverEntry, WithoutConsumerNothingIsEmitted) {
    {
        vrax_test::harness h;
        ASSERT_EQ(h.load(), STATUS_SUCCESS);
        auto provider = tracing::find_provider(vrax_control_guid());
        ASSERT_TRUE(provider.has_value());
        EXPECT_FALSE(provider->enabled);
        ASSERT_EQ(h.add_and_start(), STATUS_SUCCESS);
        h.remove();
        EXPECT_EQ(h.unload(), STATUS_SUCCESS);
    }
    EXPECT_EQ(tracing::messages_traced(), 0u);
    EXPECT_FALSE(tracing::find_provider(vrax_control_guid()).has_value());
}

TEST(DriverEntry, ConsumerSeesBuildStampAndUnload) {
    trace_session session(vrax_control_guid(), TRACE_LEVEL_VERBOSE, 0x1);
    vrax_test::harness h;
    ASSERT_EQ(h.load(), STATUS_SUCCESS);
    EXPECT_TRUE(session.provider_enabled());

    auto records = session.records();
    ASSERT_FALSE(records.empty());
    const auto& stamp = records.front();
    EXPECT_EQ(stamp.level, TRACE_LEVEL_INFORMATION);
    // "driver built yyyymmdd hhmmss"
    ASSERT_EQ(stamp.text.rfind("driver built ", 0), 0u) << stamp.text;
    const std::string digits = stamp.text.substr(13);
    ASSERT_EQ(digits.size(), 15u) << stamp.text;
    EXPECT_EQ(digits.substr(0, 2), "20");
    EXPECT_EQ(digits[8], ' ');

    EXPECT_EQ(h.unload(), STATUS_SUCCESS);
    records = session.records();
    const auto unload = std::find_if(records.begin(), records.end(),
                                     [](const auto& r) { return r.text == "driver unloading"; });
    ASSERT_NE(unload, records.end());
    EXPECT_EQ(unload->level, TRACE_LEVEL_ERROR);
    EXPECT_FALSE(tracing::find_provider(vrax_control_guid()).has_value());
}

TEST(DriverEntry, ErrorLevelConsumerSeesOnlyTheUnload) {
    trace_session session(vrax_control_guid(), TRACE_LEVEL_ERROR, 0x1);
    vrax_test::harness h;
    ASSERT_EQ(h.load(), STATUS_SUCCESS);
    EXPECT_EQ(session.size(), 0u);
    EXPECT_EQ(h.unload(), STATUS_SUCCESS);
    const auto records = session.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, "driver unloading");
}

}  // namespace
