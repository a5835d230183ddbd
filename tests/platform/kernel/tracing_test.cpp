// Tracing registration: classic providers and WMI trace providers, enable and disable
// through the registered callback, and trace messages reaching the session's sink.
#include <gtest/gtest.h>
#include <wdm.h>

#include "kernel/tracing.h"

namespace tr = platform::kernel::tracing;

namespace {

const GUID control_guid = {
    0x40d8bf0f, 0x70d8, 0x4af2, {0x8a, 0x20, 0xb8, 0x66, 0xab, 0x10, 0xf3, 0x81}};
const GUID message_guid = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

struct callback_log {
    int calls = 0;
    UCHAR last_code = 0xFF;
    TRACEHANDLE logger = 0;
    ULONG level = 0;
    ULONG flags = 0;
};

VOID classic_callback(LPCGUID guid, UCHAR code, PVOID enable_context, PVOID callback_context) {
    auto* log = static_cast<callback_log*>(callback_context);
    EXPECT_TRUE(IsEqualGUID(*guid, control_guid));
    ++log->calls;
    log->last_code = code;
    log->logger = *static_cast<TRACEHANDLE*>(enable_context);
    if (code == EVENT_CONTROL_CODE_ENABLE_PROVIDER) {
        // What a classic provider does: ask the kernel for the session's level and flags.
        ASSERT_EQ(WmiQueryTraceInformation(TraceEnableLevelClass, &log->level, sizeof(ULONG),
                                           nullptr, &log->logger),
                  STATUS_SUCCESS);
        ASSERT_EQ(WmiQueryTraceInformation(TraceEnableFlagsClass, &log->flags, sizeof(ULONG),
                                           nullptr, &log->logger),
                  STATUS_SUCCESS);
    }
}

TEST(Tracing, AClassicProviderIsEnabledAndDisabledThroughItsCallback) {
    tr::reset();
    callback_log log;
    REGHANDLE reg = 0;
    ASSERT_EQ(EtwRegisterClassicProvider(&control_guid, 0, classic_callback, &log, &reg),
              STATUS_SUCCESS);
    ASSERT_EQ(tr::registered_providers().size(), 1u);
    EXPECT_EQ(tr::registered_providers()[0].reg_handle, reg);
    EXPECT_EQ(log.calls, 0);

    ASSERT_EQ(tr::enable(control_guid, 5, 0x1, 7), STATUS_SUCCESS);
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.last_code, EVENT_CONTROL_CODE_ENABLE_PROVIDER);
    EXPECT_EQ(log.level, static_cast<ULONG>(5));
    EXPECT_EQ(log.flags, 0x1u);
    EXPECT_EQ(tr::decode_handle(log.logger).logger_id, 7);
    auto info = tr::find_provider(control_guid);
    ASSERT_TRUE(info.has_value());
    EXPECT_TRUE(info->enabled);

    ASSERT_EQ(tr::disable(control_guid), STATUS_SUCCESS);
    EXPECT_EQ(log.calls, 2);
    EXPECT_EQ(log.last_code, EVENT_CONTROL_CODE_DISABLE_PROVIDER);
    EXPECT_FALSE(tr::find_provider(control_guid)->enabled);

    EXPECT_EQ(EtwUnregister(reg), STATUS_SUCCESS);
    EXPECT_EQ(EtwUnregister(reg), STATUS_INVALID_HANDLE);
    EXPECT_EQ(tr::enable(control_guid, 4, 1, 7), STATUS_WMI_GUID_NOT_FOUND);
}

TEST(Tracing, MessagesReachTheSinkWithTheirArguments) {
    tr::reset();
    std::vector<tr::message> seen;
    std::vector<std::vector<unsigned char>> bytes;
    tr::set_message_sink([&](const tr::message& m) {
        seen.push_back(m);
        for (auto& item : m.items) {
            auto* p = static_cast<const unsigned char*>(item.data);
            bytes.emplace_back(p, p + item.length);
        }
    });
    TRACEHANDLE logger = tr::encode_handle(3, 4, 1);
    ULONG value = 0xC0000001;
    USHORT line = 42;
    ASSERT_EQ(WmiTraceMessage(logger, 0x2B, &message_guid, 10, &value, sizeof value, &line,
                              sizeof line, nullptr, 0),
              STATUS_SUCCESS);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].logger, logger);
    EXPECT_EQ(seen[0].number, 10);
    EXPECT_EQ(seen[0].flags, 0x2Bu);
    EXPECT_TRUE(IsEqualGUID(seen[0].message_guid, message_guid));
    ASSERT_EQ(bytes.size(), 2u);
    EXPECT_EQ(bytes[0], (std::vector<unsigned char>{0x01, 0x00, 0x00, 0xC0}));
    EXPECT_EQ(bytes[1], (std::vector<unsigned char>{42, 0}));
    EXPECT_EQ(WmiTraceMessage(0, 0, &message_guid, 1, nullptr), STATUS_INVALID_HANDLE);
    EXPECT_EQ(tr::messages_traced(), 1u);

    ULONG out = 0;
    EXPECT_EQ(WmiQueryTraceInformation(TraceEnableLevelClass, &out, 2, nullptr, &logger),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(WmiQueryTraceInformation(TraceEnableLevelClass, &out, sizeof out, nullptr, nullptr),
              STATUS_INVALID_PARAMETER_MIX);
    EXPECT_EQ(
        WmiQueryTraceInformation(MaxTraceInformationClass, &out, sizeof out, nullptr, &logger),
        STATUS_INVALID_INFO_CLASS);
    tr::reset();
}

TEST(Tracing, AWmiTraceProviderIsEnabledThroughTheRuntimesHook) {
    tr::reset();
    int device = 0;  // stands in for the DEVICE_OBJECT
    auto* dev = reinterpret_cast<struct _DEVICE_OBJECT*>(&device);
    ASSERT_EQ(IoWMIRegistrationControl(dev, WMIREG_ACTION_REGISTER | WMIREG_FLAG_TRACE_PROVIDER),
              STATUS_SUCCESS);
    ASSERT_EQ(tr::set_wmi_provider_guid(dev, control_guid), STATUS_SUCCESS);
    struct {
        int calls = 0;
        bool enabled = false;
        TRACEHANDLE logger = 0;
    } hook_log;
    tr::set_wmi_enable_hook([&](PVOID d, bool enable, UCHAR, ULONG, TRACEHANDLE logger) {
        EXPECT_EQ(d, dev);
        ++hook_log.calls;
        hook_log.enabled = enable;
        hook_log.logger = logger;
    });
    ASSERT_EQ(tr::enable(control_guid, 5, 1, 9), STATUS_SUCCESS);
    EXPECT_TRUE(hook_log.enabled);
    EXPECT_EQ(tr::decode_handle(hook_log.logger).logger_id, 9);
    ASSERT_EQ(tr::disable(control_guid), STATUS_SUCCESS);
    EXPECT_FALSE(hook_log.enabled);
    EXPECT_EQ(IoWMIRegistrationControl(dev, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
    EXPECT_EQ(IoWMIRegistrationControl(dev, WMIREG_ACTION_DEREGISTER), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(tr::registered_providers().empty());
    tr::reset();
}

}  // namespace
