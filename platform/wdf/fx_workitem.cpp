// Framework work items. Each enqueue runs the callback once on a system worker thread at
// PASSIVE_LEVEL (under the parent's callback lock when created with AutomaticSerialization
// under a scoped parent); enqueueing an item that is still waiting to run does nothing.
// Deleting a work item (or its parent) waits for a queued or running callback to finish,
// except when the callback itself deletes it.
#include <algorithm>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "core/driver_call.h"
#include "core/faults.h"
#include "core/pause_points.h"
#include "core/scheduler.h"
#include "wdf/fx_callback_lock.h"
#include "wdf/fx_device.h"
#include "wdf/fx_driver.h"
#include "wdf/fx_object.h"
#include "wdf/fx_work_queue.h"

namespace platform::wdf {
namespace {

class fx_work_item;

// Work items waiting for a worker, and the system worker threads that serve them (the framework
// queues each item with IoQueueWorkItem on the delayed work queue, see MxWorkItem::Enqueue). As
// the system's own worker threads do, a worker stays once started and takes the next queued item
// when it has finished one; a new worker is started only when an item is queued and no idle worker
// is left to take it, so every queued item still starts at once (several routines run at the same
// time) while the threads are created once rather than per item. The queue and every work item's
// state are guarded by the scheduler lock (flushes wait on them).
struct work_queue {
    std::deque<fx_work_item*> items;
    bool paused = false;
    bool stopping = false;  // the process is ending: idle workers leave
    std::size_t idle = 0;   // workers waiting for an item
    std::mutex threads_mutex;
    std::vector<std::shared_ptr<scheduler::joinable>> threads;
};

work_queue& queue() {
    static work_queue* q = new work_queue;
    return *q;
}

void start_worker();

// With the scheduler lock held: whether an item just queued needs a worker of its own.
bool needs_worker_locked(const work_queue& q) {
    return !q.paused && q.items.size() > q.idle;
}

class fx_work_item : public fx_object {
  public:
    fx_work_item() : fx_object(fx_type::work_item) {}

    PFN_WDF_WORKITEM callback = nullptr;
    fx_driver* driver = nullptr;
    // The parent's callback lock the callback runs under (AutomaticSerialization), or null.
    fx_callback_lock* callback_lock = nullptr;
    bool enqueued = false;  // waiting in the queue
    int running = 0;        // callbacks in progress
    bool running_down = false;
    thread_record* running_thread = nullptr;

    void enqueue();
    void run(thread_record& me);
    void flush(const char* what);

  protected:
    ~fx_work_item() override = default;
    void dispose() override;
};

// One system worker thread: runs queued work items one after another and waits, idle, for
// the next one until the process ends.
void worker_body() {
    auto& s = scheduler::get();
    auto& q = queue();
    thread_record& me = s.current();
    std::function<bool()> work = [&q] { return q.stopping || (!q.paused && !q.items.empty()); };
    for (;;) {
        fx_work_item* item = nullptr;
        {
            std::unique_lock lk(s.lock());
            ++q.idle;
            s.block(lk, work, no_deadline, "a work item to be queued (idle system worker thread)");
            --q.idle;
            if (q.stopping)
                return;
            item = q.items.front();
            q.items.pop_front();
            item->enqueued = false;
            ++item->running;
            item->running_thread = &me;
            if (item->driver != nullptr)
                ++item->driver->work_item_runs;
        }
        item->run(me);
    }
}

// At exit the workers are idle (nothing is left to run): end and join them so none is left
// behind.
void join_workers_at_exit() {
    auto& s = scheduler::get();
    auto& q = queue();
    {
        std::lock_guard lk(s.lock());
        q.stopping = true;
        s.wake();
    }
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
    std::lock_guard lk(q.threads_mutex);
    q.threads.push_back(std::move(thread));
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
        start = needs_worker_locked(queue());
        s.wake();  // an idle worker takes it
    }
    if (start)
        start_worker();
}

void fx_work_item::run(thread_record& me) {
    auto& s = scheduler::get();
    pause_points::reach("work-item", handle());
    fx_driver* owner = driver;  // the item may be gone by the end
    {
        driver_scope scope(driver);
        callback_lock_hold hold(callback_lock);
        verifier::driver_call guard({"EvtWorkItem", handle()});
        callback(handle_as<WDFWORKITEM>());
        hold.check_returned("EvtWorkItem");
        guard.returned();
    }
    bool released = false;
    {
        // The callback's end and the worker's reference go in one step for anyone flushing:
        // a flush that returns leaves no reference of the worker behind. When the worker
        // holds the last reference nobody can be flushing (a deletion holds one of its own).
        std::lock_guard lk(s.lock());
        --running;
        if (running_thread == &me)
            running_thread = nullptr;
        released = release_unless_last();
        s.wake();
    }
    if (!released)
        release();
    // Only now has the worker let go of everything of the driver's: an unload waiting for
    // it sees no reference of a work item that deleted itself.
    if (owner != nullptr) {
        std::lock_guard lk(s.lock());
        --owner->work_item_runs;
        s.wake();
    }
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
        auto& q = queue();
        q.paused = paused;
        if (!paused && q.items.size() > q.idle)
            to_start = q.items.size() - q.idle;
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
    // FxWorkItem::Initialize: the callback runs at PASSIVE_LEVEL, so it can serialise only
    // with a parent whose callbacks run there too; under a parent with no scope
    // AutomaticSerialization is accepted and serialises nothing.
    fx_callback_lock* lock = nullptr;
    status = effective_callback_lock(parent, Config->AutomaticSerialization != FALSE, true, &lock);
    if (!NT_SUCCESS(status))
        return status;
    auto* item = new fx_work_item;
    item->callback = Config->EvtWorkItemFunc;
    item->callback_lock = lock;
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
    platform::pause_points::reach("WdfWorkItemEnqueue", WorkItem);
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
