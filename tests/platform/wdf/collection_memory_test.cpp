// Collections (each item referenced while it is in the list), memory objects (bounds-checked
// copies) and string objects.
#include <cstring>

#include "kernel/pool.h"
#include "wdf/fx_collection.h"
#include "wdf_fixture.h"

namespace wdf_test {
namespace {

VOID NoteDestroy(WDFOBJECT) {
    record("item destroyed");
}

WDFOBJECT make_item() {
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.EvtDestroyCallback = NoteDestroy;
    WDFOBJECT item = nullptr;
    EXPECT_EQ(WdfObjectCreate(&a, &item), STATUS_SUCCESS);
    return item;
}

using Collections = framework_test;

TEST_F(Collections, ItemsStayReferencedUntilRemovedOrTheCollectionGoes) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    WDFCOLLECTION c;
    ASSERT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &c), STATUS_SUCCESS);
    WDFOBJECT a = make_item(), b = make_item(), d = make_item();
    ASSERT_EQ(WdfCollectionAdd(c, a), STATUS_SUCCESS);
    ASSERT_EQ(WdfCollectionAdd(c, b), STATUS_SUCCESS);
    ASSERT_EQ(WdfCollectionAdd(c, d), STATUS_SUCCESS);
    EXPECT_EQ(WdfCollectionGetCount(c), 3u);
    EXPECT_EQ(WdfCollectionGetFirstItem(c), a);
    EXPECT_EQ(WdfCollectionGetLastItem(c), d);
    EXPECT_EQ(WdfCollectionGetItem(c, 1), b);
    EXPECT_EQ(WdfCollectionGetItem(c, 3), nullptr);

    // Deleted while in the collection: the handle stays usable until it leaves.
    WdfObjectDelete(a);
    EXPECT_TRUE(take_events().empty());
    EXPECT_EQ(WdfCollectionGetFirstItem(c), a);
    WdfCollectionRemove(c, a);
    EXPECT_EQ(take_events(), std::vector<std::string>{"item destroyed"});

    WdfObjectDelete(b);
    WdfCollectionRemoveItem(c, 0);
    EXPECT_EQ(take_events(), std::vector<std::string>{"item destroyed"});
    EXPECT_EQ(WdfCollectionGetCount(c), 1u);

    // Deleting the collection drops its reference on what is left.
    WdfObjectDelete(d);
    WdfObjectDelete(c);
    EXPECT_EQ(take_events(), std::vector<std::string>{"item destroyed"});
}

// The framework finds an item by position by walking its list from the head: item i costs
// i + 1 entries, a position past the end none, first and last item and the count none.
// Removing by object walks to the object. What each call returns is unchanged by the walk.
TEST_F(Collections, LookUpByPositionWalksTheListFromItsHead) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    WDFCOLLECTION c;
    ASSERT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &c), STATUS_SUCCESS);
    std::vector<WDFOBJECT> items;
    for (int i = 0; i < 5; ++i) {
        items.push_back(make_item());
        ASSERT_EQ(WdfCollectionAdd(c, items.back()), STATUS_SUCCESS);
    }
    auto walked = [] {
        static std::uint64_t last = platform::wdf::collection_entries_walked();
        std::uint64_t now = platform::wdf::collection_entries_walked();
        std::uint64_t d = now - last;
        last = now;
        return d;
    };
    walked();
    EXPECT_EQ(WdfCollectionGetItem(c, 0), items[0]);
    EXPECT_EQ(walked(), 1u);
    EXPECT_EQ(WdfCollectionGetItem(c, 4), items[4]);
    EXPECT_EQ(walked(), 5u);
    EXPECT_EQ(WdfCollectionGetItem(c, 5), nullptr);
    EXPECT_EQ(WdfCollectionGetFirstItem(c), items[0]);
    EXPECT_EQ(WdfCollectionGetLastItem(c), items[4]);
    EXPECT_EQ(WdfCollectionGetCount(c), 5u);
    EXPECT_EQ(walked(), 0u);

    // Removal by object walks to it; the items behind it move up one position.
    WdfCollectionRemove(c, items[2]);
    EXPECT_EQ(walked(), 3u);
    EXPECT_EQ(WdfCollectionGetCount(c), 4u);
    EXPECT_EQ(WdfCollectionGetItem(c, 2), items[3]);
    EXPECT_EQ(walked(), 3u);
    WdfCollectionRemoveItem(c, 3);
    EXPECT_EQ(walked(), 4u);
    EXPECT_EQ(WdfCollectionGetLastItem(c), items[3]);
    EXPECT_EQ(WdfCollectionGetItem(c, 3), nullptr);

    WdfObjectDelete(c);
    for (WDFOBJECT item : items)
        WdfObjectDelete(item);
    take_events();
}

TEST_F(Collections, RemovingWhatIsNotThereIsAVerifierError) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    WDFCOLLECTION c;
    ASSERT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &c), STATUS_SUCCESS);
    WDFOBJECT item = make_item();
    EXPECT_DEATH(WdfCollectionRemove(c, item), "0x0000010D.*not in the collection");
    EXPECT_DEATH(WdfCollectionRemoveItem(c, 0), "0x0000010D.*out of range");
    EXPECT_EQ(WdfCollectionGetFirstItem(c), nullptr);
    EXPECT_EQ(WdfCollectionGetLastItem(c), nullptr);
}

using Memory = framework_test;

TEST_F(Memory, CopiesAreBoundsChecked) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    WDFMEMORY m;
    PVOID buffer = nullptr;
    ASSERT_EQ(
        WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 0x31787276, 16, &m, &buffer),
        STATUS_SUCCESS);
    size_t size = 0;
    EXPECT_EQ(WdfMemoryGetBuffer(m, &size), buffer);
    EXPECT_EQ(size, 16u);

    unsigned char in[16];
    for (int i = 0; i < 16; ++i)
        in[i] = static_cast<unsigned char>(i + 1);
    EXPECT_EQ(WdfMemoryCopyFromBuffer(m, 4, in, 12), STATUS_SUCCESS);
    EXPECT_EQ(WdfMemoryCopyFromBuffer(m, 4, in, 13), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(WdfMemoryCopyFromBuffer(m, 16, in, 1), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(WdfMemoryCopyFromBuffer(m, SIZE_MAX, in, 2), STATUS_INVALID_BUFFER_SIZE);

    unsigned char out[16] = {};
    EXPECT_EQ(WdfMemoryCopyToBuffer(m, 4, out, 12), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(out, in, 12), 0);
    EXPECT_EQ(WdfMemoryCopyToBuffer(m, 8, out, 9), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(WdfMemoryCopyToBuffer(m, 16, out, 1), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(WdfMemoryCopyToBuffer(m, 0, out, 0), STATUS_INVALID_PARAMETER);
}

TEST_F(Memory, BufferComesFromPoolWithTheTagAndGoesWithTheObject) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    const ULONG tag = 0x39787276;  // "vrx9"
    auto before = platform::kernel::pool::outstanding(tag);
    WDFMEMORY m;
    PVOID buffer = nullptr;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, tag, 100, &m, &buffer),
              STATUS_SUCCESS);
    platform::kernel::pool::block_info info;
    ASSERT_TRUE(platform::kernel::pool::find_block(buffer, &info));
    EXPECT_EQ(info.tag, tag);
    EXPECT_EQ(info.size, 100u);
    WdfObjectDelete(m);
    EXPECT_EQ(platform::kernel::pool::outstanding(tag), before);

    EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, tag, 0, &m, nullptr),
              STATUS_INVALID_PARAMETER);
    platform::faults::fail_nth("WdfMemoryCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, tag, 8, &m, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(m, nullptr);
    platform::faults::clear();
}

TEST_F(Memory, PreallocatedMemoryUsesTheCallersBuffer) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    unsigned char storage[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    WDFMEMORY m;
    ASSERT_EQ(WdfMemoryCreatePreallocated(WDF_NO_OBJECT_ATTRIBUTES, storage, sizeof storage, &m),
              STATUS_SUCCESS);
    unsigned char value = 0xEE;
    EXPECT_EQ(WdfMemoryCopyFromBuffer(m, 7, &value, 1), STATUS_SUCCESS);
    EXPECT_EQ(storage[7], 0xEE);
    unsigned char other[4] = {};
    EXPECT_EQ(WdfMemoryAssignBuffer(m, other, sizeof other), STATUS_SUCCESS);
    EXPECT_EQ(WdfMemoryCopyFromBuffer(m, 4, &value, 1), STATUS_INVALID_BUFFER_SIZE);
    WdfObjectDelete(m);
    EXPECT_EQ(storage[0], 1);  // the caller's buffer is left alone
}

using Strings = framework_test;

TEST_F(Strings, StringObjectOwnsACopy) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    platform::kernel::owned_unicode_string text(u"SupportNewHWID");
    WDFSTRING s;
    ASSERT_EQ(WdfStringCreate(text.get(), WDF_NO_OBJECT_ATTRIBUTES, &s), STATUS_SUCCESS);
    text.get()->Buffer[0] = u'X';
    UNICODE_STRING got{};
    WdfStringGetUnicodeString(s, &got);
    EXPECT_EQ(platform::kernel::view(&got), u"SupportNewHWID");
    EXPECT_EQ(got.MaximumLength, got.Length + sizeof(WCHAR));

    WDFSTRING empty;
    ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &empty), STATUS_SUCCESS);
    WdfStringGetUnicodeString(empty, &got);
    EXPECT_EQ(got.Length, 0);

    UNICODE_STRING odd{3, 4, text.get()->Buffer};
    EXPECT_EQ(WdfStringCreate(&odd, WDF_NO_OBJECT_ATTRIBUTES, &s), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace wdf_test
