// Framework collections: an ordered list of framework objects, each referenced while it is
// in the list. Deleting the collection drops every reference it holds. The list is linked, as
// the framework's is: finding an item by position or by object walks it from the head, entry
// by entry (the framework's FindEntry), so a caller that indexes a large collection pays for it
// here as it would on Windows.
#include <atomic>
#include <list>
#include <mutex>

#include "core/faults.h"
#include "wdf/fx_collection.h"
#include "wdf/fx_object.h"

namespace platform::wdf {
namespace {

std::atomic<std::uint64_t> entries_walked{0};

class fx_collection : public fx_object {
  public:
    fx_collection() : fx_object(fx_type::collection) {}

    std::mutex mutex;
    std::list<fx_object*> items;  // each holds one reference; its size needs no walk

    // The entry at Index, walked to from the head; end() when Index is past the last item.
    // The caller holds the mutex.
    std::list<fx_object*>::iterator find_entry(std::size_t index) {
        if (index >= items.size())
            return items.end();
        auto it = items.begin();
        std::uint64_t visited = 1;
        for (std::size_t i = 0; i < index; ++i, ++visited)
            ++it;
        entries_walked.fetch_add(visited, std::memory_order_relaxed);
        return it;
    }

  protected:
    ~fx_collection() override = default;
    void dispose() override {
        std::list<fx_object*> dropped;
        {
            std::lock_guard lk(mutex);
            dropped.swap(items);
        }
        for (fx_object* item : dropped)
            item->release();
    }
};

fx_collection* get(WDFCOLLECTION handle, const char* routine) {
    return fx_get<fx_collection>(handle, fx_type::collection, routine);
}

}  // namespace

std::uint64_t collection_entries_walked() {
    return entries_walked.load(std::memory_order_relaxed);
}

}  // namespace platform::wdf

using namespace platform;
using namespace platform::wdf;

extern "C" {

NTSTATUS WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES CollectionAttributes,
                             WDFCOLLECTION* Collection) {
    if (auto st = faults::fault_point("WdfCollectionCreate"))
        return *st;
    if (Collection == nullptr)
        violation("WdfCollectionCreate: Collection is NULL");
    *Collection = nullptr;
    auto* collection = new fx_collection;
    NTSTATUS status = collection->commit(CollectionAttributes, fx_driver_root(), attr_none);
    if (!NT_SUCCESS(status)) {
        fx_object::discard(collection);
        return status;
    }
    *Collection = collection->handle_as<WDFCOLLECTION>();
    return STATUS_SUCCESS;
}

ULONG WdfCollectionGetCount(WDFCOLLECTION Collection) {
    auto* collection = get(Collection, "WdfCollectionGetCount");
    std::lock_guard lk(collection->mutex);
    return static_cast<ULONG>(collection->items.size());
}

NTSTATUS WdfCollectionAdd(WDFCOLLECTION Collection, WDFOBJECT Object) {
    if (auto st = faults::fault_point("WdfCollectionAdd"))
        return *st;
    auto* collection = get(Collection, "WdfCollectionAdd");
    fx_object* item = fx_object::get(Object, "WdfCollectionAdd");
    if (collection->deleting())
        return STATUS_DELETE_PENDING;
    item->add_ref();
    std::lock_guard lk(collection->mutex);
    collection->items.push_back(item);
    return STATUS_SUCCESS;
}

VOID WdfCollectionRemove(WDFCOLLECTION Collection, WDFOBJECT Item) {
    auto* collection = get(Collection, "WdfCollectionRemove");
    fx_object* item = fx_object::get(Item, "WdfCollectionRemove");
    {
        std::lock_guard lk(collection->mutex);
        auto& items = collection->items;
        auto it = items.begin();
        std::uint64_t visited = 0;
        while (it != items.end() && *it != item) {
            ++it;
            ++visited;
        }
        entries_walked.fetch_add(it == items.end() ? visited : visited + 1,
                                 std::memory_order_relaxed);
        if (it == items.end()) {
            violation("WdfCollectionRemove: the object is not in the collection",
                      reinterpret_cast<std::uintptr_t>(Item));
        }
        items.erase(it);
    }
    item->release();
}

VOID WdfCollectionRemoveItem(WDFCOLLECTION Collection, ULONG Index) {
    auto* collection = get(Collection, "WdfCollectionRemoveItem");
    fx_object* item = nullptr;
    {
        std::lock_guard lk(collection->mutex);
        auto it = collection->find_entry(Index);
        if (it == collection->items.end()) {
            violation("WdfCollectionRemoveItem: index out of range", Index,
                      collection->items.size());
        }
        item = *it;
        collection->items.erase(it);
    }
    item->release();
}

WDFOBJECT WdfCollectionGetItem(WDFCOLLECTION Collection, ULONG Index) {
    auto* collection = get(Collection, "WdfCollectionGetItem");
    std::lock_guard lk(collection->mutex);
    auto it = collection->find_entry(Index);
    return it == collection->items.end() ? nullptr : (*it)->handle();
}

WDFOBJECT WdfCollectionGetFirstItem(WDFCOLLECTION Collection) {
    auto* collection = get(Collection, "WdfCollectionGetFirstItem");
    std::lock_guard lk(collection->mutex);
    return collection->items.empty() ? nullptr : collection->items.front()->handle();
}

WDFOBJECT WdfCollectionGetLastItem(WDFCOLLECTION Collection) {
    auto* collection = get(Collection, "WdfCollectionGetLastItem");
    std::lock_guard lk(collection->mutex);
    return collection->items.empty() ? nullptr : collection->items.back()->handle();
}

}  // extern "C"
