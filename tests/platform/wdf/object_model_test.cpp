// The framework object model: parent/child lifetime and callback order, references,
// typed contexts, attribute validation and the verifier's handle checks.
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "core/scheduler.h"
#include "wdf/fx_object.h"
#include "wdf_fixture.h"

namespace wdf_test {
namespace {

struct NAMED_CONTEXT {
    char Name[8];
};
WDF_DECLARE_CONTEXT_TYPE(NAMED_CONTEXT)

struct EXTRA_CONTEXT {
    ULONG Counter;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(EXTRA_CONTEXT, GetExtra)

VOID RecordCleanup(WDFOBJECT object) {
    record(std::string("cleanup ") + WdfObjectGet_NAMED_CONTEXT(object)->Name);
}
VOID RecordDestroy(WDFOBJECT object) {
    // The context is still there while the destroy callback runs.
    record(std::string("destroy ") + WdfObjectGet_NAMED_CONTEXT(object)->Name);
}
VOID ExtraCleanup(WDFOBJECT) {
    record("cleanup extra");
}

WDFOBJECT make_named(const char* name, WDFOBJECT parent) {
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&a, NAMED_CONTEXT);
    a.EvtCleanupCallback = RecordCleanup;
    a.EvtDestroyCallback = RecordDestroy;
    a.ParentObject = parent;
    WDFOBJECT object = nullptr;
    EXPECT_EQ(WdfObjectCreate(&a, &object), STATUS_SUCCESS);
    std::strncpy(WdfObjectGet_NAMED_CONTEXT(object)->Name, name, 7);
    return object;
}

using ObjectModel = framework_test;

TEST_F(ObjectModel, ChildrenAreCleanedUpFirstAndDestroyedWhenTheLastReferenceGoes) {
    ASSERT_EQ(create_driver(false), STATUS_SUCCESS);
    WDFOBJECT parent = make_named("P", nullptr);
    WDFOBJECT child = make_named("C", parent);
    make_named("G", child);
    make_named("D", parent);  // a second child: children go newest first
    WdfObjectReference(child);

    WdfObjectDelete(parent);
    EXPECT_EQ(take_events(), (std::vector<std::string>{"cleanup D", "destroy D", "cleanup G",
                                                       "destroy G", "cleanup C", "cleanup P"}));

    // The referenced child (and so its parent) lives on until the reference goes.
    EXPECT_STREQ(WdfObjectGet_NAMED_CONTEXT(child)->Name, "C");
    WdfObjectDereference(child);
    EXPECT_EQ(take_events(), (std::vector<std::string>{"destroy C", "destroy P"}));
}

TEST_F(ObjectModel, DeletingTheDriverDeletesObjectsWithoutAParent) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    make_named("A", nullptr);
    drv->DriverUnload(drv);
    driver = nullptr;
    EXPECT_EQ(take_events(), (std::vector<std::string>{"DriverUnload", "cleanup A", "destroy A",
                                                       "DriverCleanup"}));
}

TEST_F(ObjectModel, ReferenceStillHeldAtUnloadIsAVerifierError) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    WDFOBJECT leaked = make_named("L", nullptr);
    WdfObjectReference(leaked);
    EXPECT_DEATH(drv->DriverUnload(drv), "0x000000C4.*outstanding at driver unload");
    WdfObjectDereference(leaked);
}

// The unload waits for the framework's last references on the driver (an object another
// thread still holds). The count drops outside the scheduler lock, so the drop itself must
// wake the unload: here the holder keeps running after the drop, the others never come to
// rest, and an unload left to be found at rest would wait for good. The holder gives up after
// 2 s of real time and ends, which lets the unload be found at rest after all.
TEST_F(ObjectModel, AnUnloadIsWokenByTheDropOfALastReferenceWhileAnotherThreadRuns) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    WDFOBJECT tail = make_named("T", nullptr);
    WdfObjectReference(tail);
    auto& s = platform::scheduler::get();
    std::atomic<bool> unloaded{false};
    std::atomic<bool> rescued{false};
    auto holder = s.start_thread("holder", [&] {
        // Until the unload waits for the reference (the holder never blocks in the scheduler).
        while (s.describe_threads().find("framework tails finishing") == std::string::npos) {
            std::this_thread::yield();
        }
        WdfObjectDereference(tail);
        for (int i = 0; i < 200 && !unloaded; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        rescued = !unloaded;
    });
    drv->DriverUnload(drv);
    driver = nullptr;
    unloaded = true;
    holder->join();
    EXPECT_FALSE(rescued) << "the unload slept through the drop of the driver's last reference";
    EXPECT_EQ(take_events(), (std::vector<std::string>{"DriverUnload", "cleanup T", "DriverCleanup",
                                                       "destroy T"}));
}

TEST_F(ObjectModel, UseOfADeletedHandleIsABugCheck) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    WDFOBJECT object = make_named("X", nullptr);
    WdfObjectDelete(object);
    take_events();
    EXPECT_DEATH(WdfObjectDelete(object),
                 "0x0000010D: WdfObjectDelete: WDFOBJECT 0x[0-9a-f]+ used after it was deleted");
    EXPECT_DEATH(WdfObjectGet_NAMED_CONTEXT(object), "0x0000010D.*used after it was deleted");
    EXPECT_DEATH(WdfObjectReference(object), "0x0000010D.*used after it was deleted");
    WDFWAITLOCK lock = nullptr;
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    WdfObjectDelete(lock);
    EXPECT_DEATH(
        WdfWaitLockAcquire(lock, nullptr),
        "0x0000010D: WdfWaitLockAcquire: WDFWAITLOCK 0x[0-9a-f]+ used after it was deleted");
    // A value that was never a framework handle is told apart from a deleted one.
    EXPECT_DEATH(WdfObjectDelete(reinterpret_cast<WDFOBJECT>(std::uintptr_t(0x7fff0008))),
                 "0x0000010D.*invalid framework handle 0x7fff0008 \\(never created\\)");
    EXPECT_DEATH(WdfObjectDelete(nullptr), "0x0000010D.*NULL framework handle");
}

TEST_F(ObjectModel, HandleOfTheWrongTypeIsABugCheck) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    WDFOBJECT object = make_named("X", nullptr);
    EXPECT_DEATH(WdfMemoryGetBuffer(reinterpret_cast<WDFMEMORY>(object), nullptr),
                 "0x0000010D.*expected a WDFMEMORY");
    EXPECT_DEATH(WdfObjectDelete(nullptr), "0x0000010D");
}

TEST_F(ObjectModel, DereferencingBelowZeroIsABugCheck) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    WDFOBJECT object = make_named("X", nullptr);
    EXPECT_DEATH(WdfObjectDereference(object), "0x0000010D.*before it was deleted");
}

TEST_F(ObjectModel, ContextsAreZeroFilledTypedAndFoundFromTheirPointer) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&a, NAMED_CONTEXT);
    a.ContextSizeOverride = 4096;
    WDFOBJECT object;
    ASSERT_EQ(WdfObjectCreate(&a, &object), STATUS_SUCCESS);
    auto* bytes = reinterpret_cast<const unsigned char*>(WdfObjectGet_NAMED_CONTEXT(object));
    for (size_t i = 0; i < 4096; ++i)
        ASSERT_EQ(bytes[i], 0) << i;
    EXPECT_EQ(WdfObjectContextGetObject(const_cast<unsigned char*>(bytes)), object);
    // Another context type is not there until it is allocated.
    EXPECT_EQ(GetExtra(object), nullptr);

    WDF_OBJECT_ATTRIBUTES extra;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&extra, EXTRA_CONTEXT);
    extra.EvtCleanupCallback = ExtraCleanup;
    PVOID first = nullptr;
    ASSERT_EQ(WdfObjectAllocateContext(object, &extra, &first), STATUS_SUCCESS);
    EXPECT_EQ(first, GetExtra(object));
    EXPECT_EQ(GetExtra(object)->Counter, 0u);
    EXPECT_EQ(WdfObjectContextGetObject(first), object);
    // A second allocation of the same type hands back the existing context.
    PVOID again = nullptr;
    EXPECT_EQ(WdfObjectAllocateContext(object, &extra, &again), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(again, first);

    WdfObjectDelete(object);
    EXPECT_EQ(take_events(), std::vector<std::string>{"cleanup extra"});
}

TEST_F(ObjectModel, AttributesAreValidated) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    WDF_OBJECT_ATTRIBUTES a;
    WDFOBJECT object = nullptr;

    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.Size = sizeof(a) - 4;
    EXPECT_EQ(WdfObjectCreate(&a, &object), STATUS_INFO_LENGTH_MISMATCH);

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&a, EXTRA_CONTEXT);
    a.ContextSizeOverride = 1;  // smaller than the type
    EXPECT_EQ(WdfObjectCreate(&a, &object), STATUS_WDF_OBJECT_ATTRIBUTES_INVALID);

    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.ContextSizeOverride = 16;  // no type to override
    EXPECT_EQ(WdfObjectCreate(&a, &object), STATUS_WDF_OBJECT_ATTRIBUTES_INVALID);

    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.ExecutionLevel = WdfExecutionLevelPassive;  // general objects take no execution level
    EXPECT_EQ(WdfObjectCreate(&a, &object), STATUS_WDF_EXECUTION_LEVEL_INVALID);

    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.SynchronizationScope = WdfSynchronizationScopeDevice;
    EXPECT_EQ(WdfObjectCreate(&a, &object), STATUS_WDF_SYNCHRONIZATION_SCOPE_INVALID);

    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.ExecutionLevel = static_cast<WDF_EXECUTION_LEVEL>(7);
    EXPECT_EQ(WdfObjectCreate(&a, &object), STATUS_WDF_OBJECT_ATTRIBUTES_INVALID);
    EXPECT_EQ(object, nullptr);

    PVOID context = nullptr;
    WDFOBJECT good;
    ASSERT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &good), STATUS_SUCCESS);
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    EXPECT_EQ(WdfObjectAllocateContext(good, &a, &context), STATUS_OBJECT_NAME_INVALID);
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&a, EXTRA_CONTEXT);
    a.ParentObject = good;
    EXPECT_EQ(WdfObjectAllocateContext(good, &a, &context),
              STATUS_WDF_PARENT_ASSIGNMENT_NOT_ALLOWED);
}

TEST_F(ObjectModel, CreationFailsWhenInjectedAndWhenTheParentIsBeingDeleted) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    platform::faults::fail_nth("WdfObjectCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    WDFOBJECT object = reinterpret_cast<WDFOBJECT>(1);
    EXPECT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &object), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &object), STATUS_SUCCESS);
    platform::faults::clear();
}

// Execution level and synchronisation scope resolve through the parents.
class leveled : public platform::wdf::fx_object {
  public:
    leveled() : fx_object(platform::wdf::fx_type::queue) {}
};

TEST_F(ObjectModel, ExecutionLevelAndScopeAreInheritedFromParents) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    using namespace platform::wdf;
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.ExecutionLevel = WdfExecutionLevelPassive;
    a.SynchronizationScope = WdfSynchronizationScopeQueue;
    auto* parent = new leveled;
    ASSERT_EQ(parent->commit(&a, nullptr, attr_exec_level_allowed | attr_sync_scope_allowed),
              STATUS_SUCCESS);
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    auto* child = new leveled;
    ASSERT_EQ(child->commit(&a, parent, attr_exec_level_allowed | attr_sync_scope_allowed),
              STATUS_SUCCESS);
    EXPECT_EQ(child->execution_level(), WdfExecutionLevelInheritFromParent);
    EXPECT_EQ(child->resolved_execution_level(), WdfExecutionLevelPassive);
    EXPECT_EQ(child->resolved_sync_scope(), WdfSynchronizationScopeQueue);
    EXPECT_EQ(child->parent(), parent);
    WDFOBJECT child_handle = child->handle();
    EXPECT_EQ(fx_object::find(child_handle), child);
    parent->delete_object();
    EXPECT_EQ(fx_object::find(child_handle), nullptr);
}

}  // namespace
}  // namespace wdf_test
