// Deleting a parent while its children are being deleted elsewhere: a child deleted by a
// sibling's clean-up callback (or by itself on another thread, as a work item does) while the
// parent walks its children is deleted once, and the walk never touches it after it is gone.
#include "wdf_fixture.h"

namespace wdf_test {
namespace {

struct SIBLING_CONTEXT {
    WDFOBJECT Sibling;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(SIBLING_CONTEXT, GetSibling)

VOID DeleteSibling(WDFOBJECT object) {
    record("cleanup deleter");
    WDFOBJECT sibling = GetSibling(object)->Sibling;
    if (sibling != nullptr) {
        WdfObjectDelete(sibling);
    }
}
VOID RecordVictimCleanup(WDFOBJECT) {
    record("cleanup victim");
}
VOID RecordVictimDestroy(WDFOBJECT) {
    record("destroy victim");
}

using ChildDeletion = framework_test;

TEST_F(ChildDeletion, AChildDeletedByASiblingsCleanupDuringTheParentsDeletionGoesOnce) {
    ASSERT_EQ(create_driver(false), STATUS_SUCCESS);
    WDFOBJECT parent = nullptr;
    ASSERT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &parent), STATUS_SUCCESS);

    // The victim is the older child, so the parent reaches it after the deleter, whose
    // clean-up deletes it first.
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.ParentObject = parent;
    a.EvtCleanupCallback = RecordVictimCleanup;
    a.EvtDestroyCallback = RecordVictimDestroy;
    WDFOBJECT victim = nullptr;
    ASSERT_EQ(WdfObjectCreate(&a, &victim), STATUS_SUCCESS);
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&a, SIBLING_CONTEXT);
    a.ParentObject = parent;
    a.EvtCleanupCallback = DeleteSibling;
    WDFOBJECT deleter = nullptr;
    ASSERT_EQ(WdfObjectCreate(&a, &deleter), STATUS_SUCCESS);
    GetSibling(deleter)->Sibling = victim;

    WdfObjectDelete(parent);
    EXPECT_EQ(take_events(),
              (std::vector<std::string>{"cleanup deleter", "cleanup victim", "destroy victim"}));
}

}  // namespace
}  // namespace wdf_test
