// WdfIoTargetQueryForInterface and WdfFdoQueryForInterface: the driver's own query-interface
// request reaches the top of the stack and comes back with what answered it.
#include <gtest/gtest.h>

#include <cstring>

#include "wdf_fixture.h"

namespace {

using wdf_test::framework_test;

constexpr GUID kOffered = {0x51d0c2a7, 0x0e44, 0x4b19, {8, 7, 6, 5, 4, 3, 2, 1}};
constexpr GUID kUnknown = {0x51d0c2a8, 0x0e44, 0x4b19, {8, 7, 6, 5, 4, 3, 2, 1}};

struct OFFERED_INTERFACE {
    INTERFACE Header;
    PVOID Routine;
};

int routine_marker;
int reference_count;

VOID CountReference(PVOID) {
    ++reference_count;
}
VOID CountDereference(PVOID) {
    --reference_count;
}

class QueryForInterface : public framework_test {
  protected:
    void SetUp() override {
        framework_test::SetUp();
        create_device();
        reference_count = 0;
        OFFERED_INTERFACE offered{};
        offered.Header.Size = sizeof offered;
        offered.Header.Version = 2;
        offered.Header.Context = &routine_marker;
        offered.Header.InterfaceReference = CountReference;
        offered.Header.InterfaceDereference = CountDereference;
        offered.Routine = &routine_marker;
        WDF_QUERY_INTERFACE_CONFIG config;
        WDF_QUERY_INTERFACE_CONFIG_INIT(&config, &offered.Header, &kOffered, nullptr);
        ASSERT_EQ(WdfDeviceAddQueryInterface(device(), &config), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (target != nullptr)
            WdfObjectDelete(target);
        framework_test::TearDown();
    }
    // A target on the top of this device's own stack, opened as an existing device.
    void open_target() {
        ASSERT_EQ(WdfIoTargetCreate(device(), WDF_NO_OBJECT_ATTRIBUTES, &target), STATUS_SUCCESS);
        WDF_IO_TARGET_OPEN_PARAMS params;
        WDF_IO_TARGET_OPEN_PARAMS_INIT_EXISTING_DEVICE(&params, fdo());
        ASSERT_EQ(WdfIoTargetOpen(target, &params), STATUS_SUCCESS);
    }
    NTSTATUS through_target(const GUID& type, USHORT size, USHORT version, OFFERED_INTERFACE* out) {
        return WdfIoTargetQueryForInterface(target, &type, &out->Header, size, version, nullptr);
    }
    WDFIOTARGET target = nullptr;
};

TEST_F(QueryForInterface, ThroughATargetTheAnswerIsCopiedAndReferencedOnce) {
    open_target();
    OFFERED_INTERFACE got;
    std::memset(&got, 0, sizeof got);
    EXPECT_EQ(through_target(kOffered, sizeof got, 2, &got), STATUS_SUCCESS);
    EXPECT_EQ(got.Header.Size, sizeof got);
    EXPECT_EQ(got.Header.Version, 2);
    EXPECT_EQ(got.Routine, &routine_marker);
    EXPECT_EQ(reference_count, 1);
    got.Header.InterfaceDereference(got.Header.Context);
    EXPECT_EQ(reference_count, 0);
}

TEST_F(QueryForInterface, ThroughATargetRefusalsComeBackAsTheStackGaveThem) {
    open_target();
    OFFERED_INTERFACE got{};
    // Nobody answers: the status the request started with.
    EXPECT_EQ(through_target(kUnknown, sizeof got, 2, &got), STATUS_NOT_SUPPORTED);
    // The answering device's interface is larger, or newer, than asked for.
    EXPECT_EQ(through_target(kOffered, sizeof got - 1, 2, &got), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(through_target(kOffered, sizeof got, 1, &got), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(got.Routine, nullptr);
    EXPECT_EQ(reference_count, 0);
    platform::faults::fail_nth("WdfIoTargetQueryForInterface", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(through_target(kOffered, sizeof got, 2, &got), STATUS_INSUFFICIENT_RESOURCES);
    platform::faults::clear();
}

TEST_F(QueryForInterface, TheFdoAsksItsOwnStackFromTheTop) {
    OFFERED_INTERFACE got{};
    EXPECT_EQ(WdfFdoQueryForInterface(device(), &kOffered, &got.Header, sizeof got, 2, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(got.Routine, &routine_marker);
    EXPECT_EQ(reference_count, 1);
    OFFERED_INTERFACE none{};
    EXPECT_EQ(WdfFdoQueryForInterface(device(), &kUnknown, &none.Header, sizeof none, 2, nullptr),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(none.Routine, nullptr);
}

using QueryForInterfaceDeathTest = QueryForInterface;

TEST_F(QueryForInterfaceDeathTest, ATargetThatIsNotOpenHasNoStackToAsk) {
    ASSERT_EQ(WdfIoTargetCreate(device(), WDF_NO_OBJECT_ATTRIBUTES, &target), STATUS_SUCCESS);
    OFFERED_INTERFACE got{};
    EXPECT_DEATH(through_target(kOffered, sizeof got, 2, &got), "not open");
}

TEST_F(QueryForInterfaceDeathTest, NullPointersAndRaisedIrqlAreBugChecks) {
    open_target();
    OFFERED_INTERFACE got{};
    EXPECT_DEATH(WdfIoTargetQueryForInterface(target, &kOffered, nullptr, sizeof got, 2, nullptr),
                 "Interface is NULL");
    EXPECT_DEATH(WdfFdoQueryForInterface(device(), nullptr, &got.Header, sizeof got, 2, nullptr),
                 "InterfaceType is NULL");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            through_target(kOffered, sizeof got, 2, &got);
        },
        "needs PASSIVE_LEVEL");
}

}  // namespace
