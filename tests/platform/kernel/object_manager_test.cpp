// The object namespace, symbolic links, reference counts and handle tables.
#include <gtest/gtest.h>
#include <wdm.h>

#include "core/scheduler.h"
#include "kernel/object_manager.h"

namespace ob = platform::ob;

namespace {

// An object that reports its destruction.
struct probe_object : ob::object {
    explicit probe_object(bool* destroyed, ob::kind k = ob::kind::device)
        : ob::object(k, &payload), destroyed_(destroyed) {}
    int payload = 0;

  protected:
    ~probe_object() override { *destroyed_ = true; }

  private:
    bool* destroyed_;
};

TEST(ObjectNamespace, TheBootNamespaceHasItsDirectoriesAndTheDosDevicesAliases) {
    for (auto path :
         {u"\\Device", u"\\Driver", u"\\GLOBAL??", u"\\BaseNamedObjects", u"\\Registry"}) {
        auto r = ob::lookup(path);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.obj->type(), ob::kind::directory);
    }
    bool destroyed = false;
    auto dev = ob::make<probe_object>(&destroyed);
    ASSERT_EQ(ob::insert(u"\\DosDevices\\Alias1", dev), STATUS_SUCCESS);
    EXPECT_EQ(dev->name(), u"\\GLOBAL??\\Alias1");
    for (auto path : {u"\\??\\Alias1", u"\\GLOBAL??\\alias1", u"\\dosdevices\\ALIAS1"}) {
        auto r = ob::lookup(path);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.obj.get(), dev.get());
        EXPECT_EQ(r.path, u"\\GLOBAL??\\Alias1");
    }
    EXPECT_EQ(ob::insert(u"\\??\\ALIAS1", ob::make<probe_object>(&destroyed)),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(ob::remove(u"\\??\\alias1"), STATUS_SUCCESS);
    EXPECT_EQ(ob::lookup(u"\\GLOBAL??\\Alias1").status, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(ObjectNamespace, InsertReportsInvalidNamesMissingPathsAndCollisions) {
    bool destroyed = false;
    auto dev = ob::make<probe_object>(&destroyed);
    EXPECT_EQ(ob::insert(u"Device\\X", dev), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(ob::insert(u"\\Device\\", dev), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(ob::insert(u"\\Device\\\\X", dev), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(ob::insert(u"", dev), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(ob::insert(u"\\NoSuchDir\\X", dev), STATUS_OBJECT_PATH_NOT_FOUND);
    ASSERT_EQ(ob::insert(u"\\Device\\Probe", dev), STATUS_SUCCESS);
    // Something that is not a directory cannot hold names.
    EXPECT_EQ(ob::insert(u"\\Device\\Probe\\Sub", ob::make<probe_object>(&destroyed)),
              STATUS_OBJECT_PATH_NOT_FOUND);
    // One object, one name.
    EXPECT_EQ(ob::insert(u"\\Device\\Probe2", dev), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(ob::lookup(u"\\Device\\Missing").status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ob::lookup(u"\\Missing\\X").status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(ob::lookup(u"relative").status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(ob::remove(u"\\Device\\Missing"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ob::remove(u"\\Device\\Probe"), STATUS_SUCCESS);
}

TEST(ObjectNamespace, SymbolicLinksAreReparsedFromTheirTarget) {
    bool destroyed = false;
    auto dev = ob::make<probe_object>(&destroyed);
    ASSERT_EQ(ob::insert(u"\\Device\\LinkTarget", dev), STATUS_SUCCESS);
    ASSERT_EQ(ob::create_symbolic_link(u"\\DosDevices\\LinkName", u"\\Device\\LinkTarget"),
              STATUS_SUCCESS);
    EXPECT_EQ(ob::create_symbolic_link(u"\\??\\LINKNAME", u"\\Device\\Other"),
              STATUS_OBJECT_NAME_COLLISION);

    auto r = ob::lookup(u"\\??\\linkname");
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.obj.get(), dev.get());
    EXPECT_EQ(r.path, u"\\Device\\LinkTarget");
    auto link = ob::lookup(u"\\??\\linkname", false);
    ASSERT_EQ(link.status, STATUS_SUCCESS);
    EXPECT_EQ(link.obj->type(), ob::kind::symbolic_link);
    EXPECT_EQ(ob::query_symbolic_link(u"\\GLOBAL??\\LinkName").second, u"\\Device\\LinkTarget");

    // The rest of a name past a device is left for the device to parse.
    auto p = ob::resolve(u"\\??\\LinkName\\stream\\x");
    ASSERT_EQ(p.status, STATUS_SUCCESS);
    EXPECT_EQ(p.obj.get(), dev.get());
    EXPECT_EQ(p.remaining, u"\\stream\\x");
    EXPECT_EQ(ob::lookup(u"\\??\\LinkName\\stream").status, STATUS_OBJECT_PATH_NOT_FOUND);

    // A link to a link, a dangling link and a loop.
    ASSERT_EQ(ob::create_symbolic_link(u"\\??\\Second", u"\\??\\LinkName"), STATUS_SUCCESS);
    EXPECT_EQ(ob::lookup(u"\\??\\Second").obj.get(), dev.get());
    ASSERT_EQ(ob::create_symbolic_link(u"\\??\\Dangling", u"\\Device\\Gone"), STATUS_SUCCESS);
    EXPECT_EQ(ob::lookup(u"\\??\\Dangling").status, STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(ob::create_symbolic_link(u"\\??\\LoopA", u"\\??\\LoopB"), STATUS_SUCCESS);
    ASSERT_EQ(ob::create_symbolic_link(u"\\??\\LoopB", u"\\??\\LoopA"), STATUS_SUCCESS);
    EXPECT_FALSE(NT_SUCCESS(ob::lookup(u"\\??\\LoopA").status));

    // Deleting a name that is not a link leaves it alone.
    EXPECT_EQ(ob::delete_symbolic_link(u"\\Device\\LinkTarget"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ob::delete_symbolic_link(u"\\??\\LinkName"), STATUS_SUCCESS);
    EXPECT_EQ(ob::lookup(u"\\??\\Second").status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ob::lookup(u"\\Device\\LinkTarget").obj.get(), dev.get());
    for (auto l : {u"\\??\\Second", u"\\??\\Dangling", u"\\??\\LoopA", u"\\??\\LoopB"}) {
        EXPECT_EQ(ob::delete_symbolic_link(l), STATUS_SUCCESS);
    }
    ob::remove(u"\\Device\\LinkTarget");
}

TEST(ObjectReferences, TheLastReferenceDestroysTheObject) {
    bool destroyed = false;
    auto dev = ob::make<probe_object>(&destroyed);
    ASSERT_EQ(ob::insert(u"\\Device\\RefProbe", dev), STATUS_SUCCESS);
    PVOID body = dev->body();
    EXPECT_EQ(ob::from_body(body), dev.get());
    EXPECT_EQ(ObfReferenceObject(body), 3);  // ours, the namespace's, this one
    EXPECT_EQ(ObfDereferenceObject(body), 2);
    dev.reset();
    EXPECT_FALSE(destroyed);  // the namespace still holds it
    ASSERT_EQ(ob::remove(u"\\Device\\RefProbe"), STATUS_SUCCESS);
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(ob::from_body(body), nullptr);
}

TEST(ObjectReferences, OverReleaseAndForeignPointersAreBugChecks) {
    int not_an_object = 0;
    EXPECT_DEATH(ObfReferenceObject(&not_an_object), "0x00000018.*not an object");
    EXPECT_DEATH(ObfDereferenceObject(&not_an_object), "0x00000018.*not an object");
    EXPECT_DEATH(
        {
            bool destroyed = false;
            auto* raw = new probe_object(&destroyed);
            PVOID body = raw->body();
            ObfDereferenceObject(body);  // the creation reference: freed now
            ObfDereferenceObject(body);
        },
        "0x00000018");
}

TEST(HandleTables, HandlesHoldReferencesAndCloseExactlyOnce) {
    bool destroyed = false;
    ob::handle_table table(false, "test process");
    auto obj = ob::make<probe_object>(&destroyed, ob::kind::event);
    HANDLE h = table.insert(obj, EVENT_ALL_ACCESS);
    EXPECT_FALSE(ob::is_kernel_handle(h));
    EXPECT_EQ(obj->handle_count(), 1);
    obj.reset();
    EXPECT_FALSE(destroyed);
    ob::handle_entry e = table.lookup(h);
    ASSERT_TRUE(e.obj);
    EXPECT_EQ(e.granted, static_cast<ACCESS_MASK>(EVENT_ALL_ACCESS));
    e.obj.reset();
    EXPECT_EQ(table.size(), 1u);
    EXPECT_EQ(table.close(h), STATUS_SUCCESS);
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(table.close(h), STATUS_INVALID_HANDLE);
    EXPECT_FALSE(table.lookup(h).obj);
    // A kernel table's handles are kernel handles and are not found in a process table.
    HANDLE k = ob::kernel_handles().insert(ob::make<probe_object>(&destroyed, ob::kind::event), 0);
    EXPECT_TRUE(ob::is_kernel_handle(k));
    EXPECT_FALSE(table.lookup(k).obj);
    EXPECT_EQ(ZwClose(k), STATUS_SUCCESS);
    EXPECT_DEATH(ZwClose(k), "0x00000093");
}

TEST(HandleTables, ATemporaryNameGoesWithTheLastHandleAPermanentOneStays) {
    bool t_destroyed = false, p_destroyed = false;
    ob::handle_table table;
    auto temp = ob::make<probe_object>(&t_destroyed, ob::kind::event);
    auto perm = ob::make<probe_object>(&p_destroyed, ob::kind::event);
    ASSERT_EQ(ob::insert(u"\\BaseNamedObjects\\Temp", temp, {.permanent = false}), STATUS_SUCCESS);
    ASSERT_EQ(ob::insert(u"\\BaseNamedObjects\\Perm", perm), STATUS_SUCCESS);
    HANDLE h1 = table.insert(temp, 0);
    HANDLE h2 = table.insert(temp, 0);
    HANDLE h3 = table.insert(perm, 0);
    temp.reset();
    perm.reset();
    EXPECT_EQ(table.close(h1), STATUS_SUCCESS);
    EXPECT_EQ(ob::lookup(u"\\BaseNamedObjects\\Temp").status, STATUS_SUCCESS);
    EXPECT_EQ(table.close(h2), STATUS_SUCCESS);
    EXPECT_EQ(ob::lookup(u"\\BaseNamedObjects\\Temp").status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(t_destroyed);
    EXPECT_EQ(table.close(h3), STATUS_SUCCESS);
    EXPECT_EQ(ob::lookup(u"\\BaseNamedObjects\\Perm").status, STATUS_SUCCESS);
    EXPECT_FALSE(p_destroyed);
    ob::remove(u"\\BaseNamedObjects\\Perm");
    EXPECT_TRUE(p_destroyed);
}

TEST(HandleTables, AProcessThreadsHandlesResolveInItsOwnTable) {
    bool destroyed = false;
    ob::handle_table process_table(false, "program");
    int process_marker = 0;
    ob::set_process_table_resolver(
        [&](void* p) { return p == &process_marker ? &process_table : nullptr; });
    HANDLE h = process_table.insert(ob::make<probe_object>(&destroyed, ob::kind::event),
                                    EVENT_QUERY_STATE);

    auto& self = platform::scheduler::get().current();
    self.user_process = &process_marker;
    PVOID body = nullptr;
    // User mode gets what the handle grants and no more; kernel mode is not checked.
    EXPECT_EQ(ObReferenceObjectByHandle(h, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &body,
                                        nullptr),
              STATUS_ACCESS_DENIED);
    OBJECT_HANDLE_INFORMATION info{};
    EXPECT_EQ(
        ObReferenceObjectByHandle(h, EVENT_QUERY_STATE, *ExEventObjectType, UserMode, &body, &info),
        STATUS_SUCCESS);
    EXPECT_EQ(info.GrantedAccess, static_cast<ACCESS_MASK>(EVENT_QUERY_STATE));
    ObDereferenceObject(body);
    EXPECT_EQ(ObReferenceObjectByHandle(h, EVENT_ALL_ACCESS, nullptr, KernelMode, &body, nullptr),
              STATUS_SUCCESS);
    ObDereferenceObject(body);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_TRUE(destroyed);
    self.user_process = nullptr;
    ob::set_process_table_resolver(nullptr);
    // Outside the process the same value names nothing.
    EXPECT_EQ(ObReferenceObjectByHandle(h, 0, nullptr, KernelMode, &body, nullptr),
              STATUS_INVALID_HANDLE);
}

}  // namespace
