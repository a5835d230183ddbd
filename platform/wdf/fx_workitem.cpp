// Framework work items. Each enqueue runs the callback once on a system worker thread at
// PASSIVE_LEVEL; enqueueing an item that is still waiting to run does nothing. Deleting a
// work item (or its parent) waits for a queued or running callback to finish, except when
// the callback itself deletes it.
//
// Automatic serialisation (FxWorkItem::Initialize, FxObject::_GetEffectiveLock): the item
// serialises with the nearest queue or device at or above its parent. When that object has no
// synchronisation scope (none, or inherited down to none) there is nothing to serialise with:
// the item is accepted and runs unserialised. When it has one, its callback lock must be a
// passive-level lock (the object's execution level is passive); otherwise the creation fails
// with STATUS_WDF_INCOMPATIBLE_EXECUTION_LEVEL. The callback then runs holding that lock,
// which every serialised work item of the object shares.
#include <algorithm>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "core/driver_call.h"
#include "core/faults.h"
#include "core/scheduler.h"
#include "wdf/fx_device.h"
#include "wdf/fx_driver.h"
#include "wdf/fx_object.h"
#include "wdf/fx_work_queue.h"

namespace platform::wdf {
namespace {

class fx_work_item;

// Work items waiting for a worker, and the worker threads. The queue and every work item's
// state are guarded by the scheduler lock (flushes wait on them).
struct work_queue {
    std::deque<fx_work_item*> items;
    bool paused = false;
    std::mutex threads_mutex;
    std::vector<std::shared_ptr<scheduler::joinable>> threads;
};

work_queue& queue() {
    static work_queue* q = new work_queue;
    return *q;
}

void start_worker();

// The passive-level callback lock of a queue or device with a synchronisation scope, as its
// serialised work items take it. Guarded by the scheduler lock.
struct callback_lock {
    thread_record* owner = nullptr;
    int users = 0;  // work items serialising with it
};

std::map<const fx_object*, callback_lock>& callback_locks() {
    static auto* m = new std::map<const fx_object*, callback_lock>;
    return *m;
}

// The object a work item under `parent` serialises with: the nearest queue or device.
fx_object* constraints_owner(fx_object* parent) {
    for (fx_object* o = parent; o != nullptr; o = o->parent()) {
        if (o->type() == fx_type::queue || o->type() == fx_type::device)
            return o;
    }
    return nullptr;
}

// FxObject::_GetEffectiveLock for a passive work item: the object whose lock the callback
// takes (null: nothing to serialise with), or the status that refuses the item.
NTSTATUS effective_lock(fx_object* parent, bool automatic, fx_object** lock_object) {
    *lock_object = nullptr;
    if (!automatic)
        return STATUS_SUCCESS;
    fx_object* owner = constraints_owner(parent);
    if (owner == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    WDF_SYNCHRONIZATION_SCOPE scope = owner->resolved_sync_scope();
    if (scope == WdfSynchronizationScopeNone || scope == WdfSynchronizationScopeInheritFromParent)
        return STATUS_SUCCESS;
    if (owner->resolved_execution_level() != WdfExecutionLevelPassive)
        return STATUS_WDF_INCOMPATIBLE_EXECUTION_LEVEL;
    // Device scope: the device's lock serialises everything under it; queue scope: each
    // queue has its own, and the device none.
    fx_object* holder = owner;
    if (scope == WdfSynchronizationScopeDevice) {
        while (holder != nullptr && holder->type() != fx_type::device)
            holder = holder->parent();
    } else if (owner->type() != fx_type::queue) {
        holder = nullptr;
    }
    *lock_object = holder;
    return STATUS_SUCCESS;
}

class fx_work_item : public fx_object {
  public:
    fx_work_item() : fx_object(fx_type::work_item) {}

    PFN_WDF_WORKITEM callback = nullptr;
    fx_driver* driver = nullptr;
    bool enqueued = false;  // waiting in the queue
    int running = 0;        // callbacks in progress
    bool running_down = false;
    thread_record* running_thread = nullptr;
    const fx_object* lock_object = nullptr;  // whose callback lock the callback runs under

    void use_lock(const fx_object* object);
    void enqueue();
    void run(thread_record& me);
    void flush(const char* what);

  protected:
    ~fx_work_item() override;
    void dispose() override;

  private:
    void acquire_callback_lock(thread_record& me);
    void release_callback_lock();
};

// One worker: runs queued work items until the queue is empty (or paused), then ends.
void worker_body() {
    auto& s = scheduler::get();
    auto& q = queue();
    thread_record& me = s.current();
    for (;;) {
        fx_work_item* item = nullptr;
        {
            std::lock_guard lk(s.lock());
            if (q.paused || q.items.empty())
                return;
            item = q.items.front();
            q.items.pop_front();
            item->enqueued = false;
            ++item->running;
            item->running_thread = &me;
        }
        item->run(me);
    }
}

// At exit, every worker has drained the queue: join them so none is left behind.
void join_workers_at_exit() {
    auto& q = queue();
    std::vector<std::shared_ptr<scheduler::joinable>> threads;
    {
        std::lock_guard lk(q.threads_mutex);
        threads.swap(q.threads);
    }
    for (auto& j : threads)
        j->join();
}

void start_worker() {
    static const bool registered = [] { return std::atexit(join_workers_at_exit) == 0; }();
    (void)registered;
    auto& q = queue();
    auto thread = scheduler::get().start_thread("wdf-workitem", worker_body);
    std::vector<std::shared_ptr<scheduler::joinable>> done;
    {
        std::lock_guard lk(q.threads_mutex);
        auto it = std::partition(q.threads.begin(), q.threads.end(),
                                 [](auto& j) { return !j->finished(); });
        done.assign(std::make_move_iterator(it), std::make_move_iterator(q.threads.end()));
        q.threads.erase(it, q.threads.end());
        q.threads.push_back(std::move(thread));
    }
    for (auto& j : done)
        j->join();
}

void fx_work_item::enqueue() {
    auto& s = scheduler::get();
    bool start = false;
    {
        std::lock_guard lk(s.lock());
        if (enqueued)
            return;  // already waiting to run: runs once
        if (running_down) {
            violation("WdfWorkItemEnqueue: the work item is being deleted",
                      reinterpret_cast<std::uintptr_t>(handle()));
        }
        enqueued = true;
        add_ref();  // held until the callback has returned
        queue().items.push_back(this);
        start = !queue().paused;
    }
    if (start)
        start_worker();
}

fx_work_item::~fx_work_item() {
    if (lock_object == nullptr)
        return;
    std::lock_guard lk(scheduler::get().lock());
    auto it = callback_locks().find(lock_object);
    if (it != callback_locks().end() && --it->second.users == 0)
        callback_locks().erase(it);
}

void fx_work_item::use_lock(const fx_object* object) {
    lock_object = object;
    if (object != nullptr) {
        std::lock_guard lk(scheduler::get().lock());
        ++callback_locks()[object].users;
    }
}

void fx_work_item::acquire_callback_lock(thread_record& me) {
    if (lock_object == nullptr)
        return;
    auto& s = scheduler::get();
    std::unique_lock lk(s.lock());
    callback_lock& l = callback_locks()[lock_object];
    s.block(
        lk, [&l] { return l.owner == nullptr; }, no_deadline,
        "the callback lock a serialised work item runs under");
    l.owner = &me;
}

void fx_work_item::release_callback_lock() {
    if (lock_object == nullptr)
        return;
    auto& s = scheduler::get();
    std::lock_guard lk(s.lock());
    callback_locks()[lock_object].owner = nullptr;
    s.wake();
}

void fx_work_item::run(thread_record& me) {
    auto& s = scheduler::get();
    acquire_callback_lock(me);
    {
        driver_scope scope(driver);
        verifier::driver_call guard({"EvtWorkItem", handle()});
        callback(handle_as<WDFWORKITEM>());
    }
    release_callback_lock();
    {
        // The callback's end and the worker's reference go in one step for anyone flushing:
        // a flush that returns leaves no reference of the worker behind. When the worker
        // holds the last reference nobody can be flushing (a deletion holds one of its own).
        std::lock_guard lk(s.lock());
        --running;
        if (running_thread == &me)
            running_thread = nullptr;
        bool released = release_unless_last();
        s.wake();
        if (released)
            return;
    }
    release();
}

void fx_work_item::flush(const char* what) {
    auto& s = scheduler::get();
    std::unique_lock lk(s.lock());
    if (running_thread == &s.current_locked()) {
        if (running_down)
            return;  // the callback deletes its own work item: no wait
        lk.unlock();
        violation(std::string(what) + " called from the work item's own callback (deadlock)");
    }
    s.block(
        lk, [this] { return !enqueued && running == 0; }, no_deadline, what);
}

void fx_work_item::dispose() {
    {
        std::lock_guard lk(scheduler::get().lock());
        running_down = true;
    }
    flush("deletion of a work item");
}

// A work item's parent must lead to a device (its callbacks run in the device's context).
bool leads_to_device(fx_object* parent) {
    for (fx_object* o = parent; o != nullptr; o = o->parent()) {
        if (o->type() == fx_type::device)
            return true;
    }
    return false;
}

}  // namespace

void pause_work_items(bool paused) {
    auto& s = scheduler::get();
    std::size_t to_start = 0;
    {
        std::lock_guard lk(s.lock());
        queue().paused = paused;
        if (!paused)
            to_start = queue().items.size();
        s.wake();
    }
    for (std::size_t i = 0; i < to_start; ++i)
        start_worker();
}

std::size_t queued_work_items() {
    std::lock_guard lk(scheduler::get().lock());
    return queue().items.size();
}

}  // namespace platform::wdf

using namespace platform;
using namespace platform::wdf;

extern "C" {

NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                           WDFWORKITEM* WorkItem) {
    if (auto st = faults::fault_point("WdfWorkItemCreate"))
        return *st;
    if (Attributes == nullptr || Attributes->ParentObject == nullptr) {
        return STATUS_WDF_PARENT_NOT_SPECIFIED;
    }
    fx_object* parent = fx_object::get(Attributes->ParentObject, "WdfWorkItemCreate");
    if (Config == nullptr || WorkItem == nullptr)
        violation("WdfWorkItemCreate: NULL parameter");
    *WorkItem = nullptr;
    if (Config->Size != sizeof(WDF_WORKITEM_CONFIG))
        return STATUS_INFO_LENGTH_MISMATCH;
    if (Config->EvtWorkItemFunc == nullptr)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = validate_attributes(Attributes, attr_parent_required);
    if (!NT_SUCCESS(status))
        return status;
    if (!leads_to_device(parent))
        return STATUS_INVALID_DEVICE_REQUEST;
    fx_object* lock_object = nullptr;
    status = effective_lock(parent, Config->AutomaticSerialization != FALSE, &lock_object);
    if (!NT_SUCCESS(status))
        return status;
    auto* item = new fx_work_item;
    item->callback = Config->EvtWorkItemFunc;
    item->use_lock(lock_object);
    for (fx_object* o = parent; o != nullptr; o = o->parent()) {
        if (o->type() == fx_type::device) {
            item->driver = static_cast<fx_device*>(o)->driver;
            break;
        }
    }
    status = item->commit(Attributes, nullptr, attr_parent_required);
    if (!NT_SUCCESS(status)) {
        fx_object::discard(item);
        return status;
    }
    *WorkItem = item->handle_as<WDFWORKITEM>();
    return STATUS_SUCCESS;
}

VOID WdfWorkItemEnqueue(WDFWORKITEM WorkItem) {
    fx_get<fx_work_item>(WorkItem, fx_type::work_item, "WdfWorkItemEnqueue")->enqueue();
}

WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem) {
    auto* item = fx_get<fx_work_item>(WorkItem, fx_type::work_item, "WdfWorkItemGetParentObject");
    return item->parent() == nullptr ? nullptr : item->parent()->handle();
}

VOID WdfWorkItemFlush(WDFWORKITEM WorkItem) {
    auto* item = fx_get<fx_work_item>(WorkItem, fx_type::work_item, "WdfWorkItemFlush");
    if (scheduler::get().current().irql != PASSIVE_LEVEL) {
        violation("WdfWorkItemFlush above PASSIVE_LEVEL");
    }
    item->flush("WdfWorkItemFlush");
}

}  // extern "C"
