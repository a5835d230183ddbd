// The WPP runtime behind the macro layer: which registration start-up chooses from the
// system version and the routines it finds, how sessions enable a provider before and after
// it registers, level and flag filtering, decoding, and clean-up.
#include <gtest/gtest.h>

#include "kernel/system_config.h"
#include "kernel/tracing.h"
#include "test_provider.h"
#include "wpp/trace_session.h"

namespace {

namespace kernel = platform::kernel;
namespace tracing = platform::kernel::tracing;
using platform::wpp::trace_session;

class WppRuntime : public ::testing::Test {
  protected:
    void SetUp() override {
        kernel::restore_routines();
        kernel::set_os_version(10, 0, 19045);
    }
    void TearDown() override {
        if (test_provider_control().Registered)
            test_provider_cleanup();
        kernel::restore_routines();
    }
};

TEST_F(WppRuntime, ModeFollowsVersionAndRoutinesFound) {
    struct scenario {
        std::uint32_t major, minor;
        const char16_t* hidden;
        tracing::provider_kind expected;
    };
    const scenario scenarios[] = {
        {10, 0, nullptr, tracing::provider_kind::classic_etw},
        {6, 0, nullptr, tracing::provider_kind::classic_etw},
        {5, 1, nullptr, tracing::provider_kind::wmi},
        {10, 0, u"EtwRegisterClassicProvider", tracing::provider_kind::wmi},
        {10, 0, u"EtwUnregister", tracing::provider_kind::wmi},
        {10, 0, u"PsGetVersion", tracing::provider_kind::wmi},
    };
    for (const auto& s : scenarios) {
        SCOPED_TRACE(testing::Message() << s.major << "." << s.minor << " hiding "
                                        << (s.hidden ? "one routine" : "nothing"));
        kernel::restore_routines();
        kernel::set_os_version(s.major, s.minor, 1);
        if (s.hidden)
            kernel::hide_routine(s.hidden);

        test_provider_init();
        auto provider = tracing::find_provider(test_provider_guid);
        ASSERT_TRUE(provider.has_value());
        EXPECT_EQ(provider->kind, s.expected);
        EXPECT_TRUE(test_provider_control().Registered);
        if (s.expected == tracing::provider_kind::classic_etw) {
            EXPECT_NE(test_provider_control().RegHandle, 0u);
            EXPECT_EQ(provider->reg_handle, test_provider_control().RegHandle);
        }

        test_provider_cleanup();
        EXPECT_FALSE(tracing::find_provider(test_provider_guid).has_value());
        EXPECT_FALSE(test_provider_control().Registered);
    }
}

TEST_F(WppRuntime, SessionEnablesProviderRegisteredBeforeOrAfterIt) {
    // Session first: the provider is enabled when it registers.
    {
        trace_session session(test_provider_guid, TRACE_LEVEL_VERBOSE, test_flag_one);
        EXPECT_FALSE(session.provider_enabled());
        test_provider_init();
        EXPECT_TRUE(session.provider_enabled());
        test_provider_emit_levels();
        EXPECT_EQ(session.size(), 4u);
    }
    // Provider first: the session enables it at once. In WMI mode too.
    for (std::uint32_t major : {10u, 5u}) {
        SCOPED_TRACE(major);
        test_provider_cleanup();
        kernel::set_os_version(major, 0, 1);
        test_provider_init();
        trace_session session(test_provider_guid, TRACE_LEVEL_VERBOSE, test_flag_one);
        EXPECT_TRUE(session.provider_enabled());
        test_provider_emit_levels();
        EXPECT_EQ(session.size(), 4u);
    }
}

TEST_F(WppRuntime, LevelAndFlagsFilterStatements) {
    test_provider_init();
    {
        trace_session session(test_provider_guid, TRACE_LEVEL_WARNING, test_flag_one);
        test_provider_emit_levels();
        const auto records = session.records();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].text, "level 2");
        EXPECT_EQ(records[1].text, "level 3");
    }
    {
        trace_session session(test_provider_guid, TRACE_LEVEL_ERROR, test_flag_two);
        test_provider_emit_levels();
        const auto records = session.records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].text, "flag two");
        EXPECT_EQ(records[0].flag, test_flag_two);
    }
    {
        trace_session session(test_provider_guid, TRACE_LEVEL_VERBOSE, 0);
        test_provider_emit_levels();
        EXPECT_EQ(session.size(), 0u);
    }
}

TEST_F(WppRuntime, RecordsCarrySiteSequenceAndDecodedNumbers) {
    test_provider_init();
    trace_session session(test_provider_guid, TRACE_LEVEL_VERBOSE, test_flag_one);
    test_provider_emit_numbers(static_cast<NTSTATUS>(0xC0000001), 0x2A, 4096,
                               reinterpret_cast<PVOID>(0x1234), TRUE, -7, 1ull << 40);
    test_provider_emit_levels();

    const auto records = session.records();
    ASSERT_EQ(records.size(), 5u);
    const auto& r = records[0];
    EXPECT_EQ(r.text,
              "test_provider_emit_numbers status 0xC0000001 value 42/0x0000002a/42 size 4096 "
              "ptr 0000000000001234 flag TRUE neg -7 wide 1099511627776 100%");
    EXPECT_EQ(r.level, TRACE_LEVEL_ERROR);
    EXPECT_EQ(r.flag, test_flag_one);
    EXPECT_EQ(r.function, "test_provider_emit_numbers");
    EXPECT_NE(r.file.find("test_provider.cpp"), std::string::npos);
    EXPECT_GT(r.line, 0u);
    for (std::size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(records[i].sequence, i + 1);
    EXPECT_EQ(session.count_at(TRACE_LEVEL_ERROR), 2u);
}

TEST_F(WppRuntime, StopAndCleanupSilenceTheProvider) {
    test_provider_init();
    trace_session session(test_provider_guid, TRACE_LEVEL_VERBOSE, test_flag_one);
    test_provider_emit_levels();
    session.stop();
    EXPECT_EQ(test_provider_control().Logger, 0u);
    const auto traced = tracing::messages_traced();
    test_provider_emit_levels();
    EXPECT_EQ(tracing::messages_traced(), traced);
    EXPECT_EQ(session.size(), 4u);

    // A session running across the provider's clean-up gets nothing after it, and enables
    // the provider again when it registers again.
    trace_session second(test_provider_guid, TRACE_LEVEL_VERBOSE, test_flag_one);
    test_provider_cleanup();
    EXPECT_FALSE(tracing::find_provider(test_provider_guid).has_value());
    test_provider_emit_levels();
    EXPECT_EQ(second.size(), 0u);
    test_provider_init();
    test_provider_emit_levels();
    EXPECT_EQ(second.size(), 4u);
}

TEST_F(WppRuntime, WithoutTraceMessageRoutineStatementsAreDropped) {
    kernel::hide_routine(u"WmiTraceMessage");
    test_provider_init();
    trace_session session(test_provider_guid, TRACE_LEVEL_VERBOSE, test_flag_one);
    const auto traced = tracing::messages_traced();
    test_provider_emit_levels();
    EXPECT_EQ(session.size(), 0u);
    EXPECT_EQ(tracing::messages_traced(), traced);
}

using WppRuntimeDeathTest = WppRuntime;

TEST_F(WppRuntimeDeathTest, StringArgumentIsAVerifierViolation) {
    test_provider_init();
    trace_session session(test_provider_guid, TRACE_LEVEL_VERBOSE, test_flag_one);
    EXPECT_DEATH(test_provider_emit_string("name"), "0x(0*)C4|not a number");
}

}  // namespace
