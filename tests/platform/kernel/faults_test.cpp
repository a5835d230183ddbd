// Every kernel routine that can fail can be made to fail, in its documented way.
#include <gtest/gtest.h>
#include <ntstrsafe.h>

#include "core/faults.h"
#include "kernel/strings.h"

namespace faults = platform::faults;

namespace {

TEST(KernelFaultInjection, StatusRoutinesReturnTheInjectedStatus) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, TRUE);
    LARGE_INTEGER zero{};
    RTL_OSVERSIONINFOW v{};
    v.dwOSVersionInfoSize = sizeof v;
    GUID guid{};
    REGHANDLE reg = 0;
    HANDLE thread = nullptr;
    PVOID obj = nullptr;
    ULONG info = 0;
    TRACEHANDLE logger = 0x10001;
    struct {
        const char* routine;
        std::function<NTSTATUS()> call;
    } const cases[] = {
        {"KeWaitForSingleObject",
         [&] { return KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, &zero); }},
        {"KeWaitForMultipleObjects",
         [&] {
             PVOID objects[] = {&ev};
             return KeWaitForMultipleObjects(1, objects, WaitAny, Executive, KernelMode, FALSE,
                                             &zero, nullptr);
         }},
        {"KeDelayExecutionThread",
         [&] { return KeDelayExecutionThread(KernelMode, FALSE, &zero); }},
        {"RtlGetVersion", [&] { return RtlGetVersion(&v); }},
        {"EtwRegisterClassicProvider",
         [&] { return EtwRegisterClassicProvider(&guid, 0, nullptr, nullptr, &reg); }},
        {"EtwUnregister", [&] { return EtwUnregister(reg); }},
        {"PsCreateSystemThread",
         [&] {
             return PsCreateSystemThread(
                 &thread, 0, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr);
         }},
        {"ObReferenceObjectByHandle",
         [&] {
             return ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(-2), 0, nullptr, KernelMode,
                                              &obj, nullptr);
         }},
        {"ZwClose", [&] { return ZwClose(reinterpret_cast<HANDLE>(4)); }},
        {"WmiTraceMessage", [&] { return WmiTraceMessage(logger, 0, &guid, 1, nullptr); }},
        {"WmiQueryTraceInformation",
         [&] {
             return WmiQueryTraceInformation(TraceEnableLevelClass, &info, sizeof info, nullptr,
                                             &logger);
         }},
    };
    for (const auto& c : cases) {
        faults::fail_nth(c.routine, 1, STATUS_DEVICE_DATA_ERROR);
        EXPECT_EQ(c.call(), STATUS_DEVICE_DATA_ERROR) << c.routine;
        EXPECT_GE(faults::calls(c.routine), 1u) << c.routine;
    }
    // Nothing was done by the failed calls: no thread started, no provider registered.
    EXPECT_EQ(thread, nullptr);
    EXPECT_EQ(obj, nullptr);
}

TEST(KernelFaultInjection, PointerRoutinesReturnNull) {
    platform::kernel::owned_unicode_string name(u"\\BaseNamedObjects\\VraxFaultEvent");
    platform::kernel::owned_unicode_string routine(u"RtlGetVersion");
    HANDLE h = nullptr;
    faults::fail_always("ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES);
    faults::fail_always("ExAllocatePool2", STATUS_INSUFFICIENT_RESOURCES);
    faults::fail_always("IoCreateNotificationEvent", STATUS_INSUFFICIENT_RESOURCES);
    faults::fail_always("MmGetSystemRoutineAddress", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 16, 0x74736554), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 16, 0x74736554), nullptr);
    EXPECT_EQ(ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, 0x74736554), nullptr);
    EXPECT_EQ(IoCreateNotificationEvent(name.get(), &h), nullptr);
    EXPECT_EQ(MmGetSystemRoutineAddress(routine.get()), nullptr);
    faults::clear();
    EXPECT_NE(MmGetSystemRoutineAddress(routine.get()), nullptr);
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, 0x74736554);
    EXPECT_NE(p, nullptr);
    ExFreePoolWithTag(p, 0x74736554);
}

}  // namespace
