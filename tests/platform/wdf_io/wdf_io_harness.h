// A framework device with no Plug and Play behind it, IRPs built by hand, and waits through
// the scheduler: enough to drive the framework's I/O package directly.
#pragma once

#include <gtest/gtest.h>

#include <wdf.h>

#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/scheduler.h"
#include "io/irp.h"
#include "wdf/fx_object.h"
#include "wdf/io_dispatch.h"

namespace wdf_io_test {

using platform::scheduler;

// Everything callbacks record is changed through `note`, under the scheduler lock, so that
// `wait_until` predicates see it.
inline void note(const std::function<void()>& change) {
    auto& s = scheduler::get();
    std::lock_guard g(s.lock());
    change();
    s.wake();
}

// Waits (virtual time) until `ready` holds; false when `ms` passed first.
inline bool wait_until(const std::function<bool()>& ready, std::int64_t ms = 5000) {
    auto& s = scheduler::get();
    platform::ticks deadline = s.now() + ms * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    return s.block(lk, ready, deadline, "test condition");
}

struct test_device : platform::wdf::fx_object {
    test_device() : fx_object(platform::wdf::fx_type::device) {}
};

// One IRP and what its completion reported.
struct irp_box {
    std::unique_ptr<_IRP> irp = std::make_unique<_IRP>();
    bool done = false;  // guarded by the scheduler lock
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    std::vector<std::uint8_t> buffer_at_completion;

    bool completed() {
        std::lock_guard g(scheduler::get().lock());
        return done;
    }
    bool wait(std::int64_t ms = 5000) {
        return wait_until([this] { return done; }, ms);
    }
};

class io_fixture : public ::testing::Test {
  protected:
    void attach(const platform::wdf::io_device_config& cfg = {}) {
        device = new test_device();
        ASSERT_EQ(device->commit(nullptr, nullptr, platform::wdf::attr_none), STATUS_SUCCESS);
        platform::wdf::io_attach(device, cfg);
    }
    WDFDEVICE handle() const { return device->handle_as<WDFDEVICE>(); }

    // Builds an IRP; `file` may be null.
    std::shared_ptr<irp_box> make(UCHAR major, ULONG in = 0, ULONG out = 0,
                                  PFILE_OBJECT file = nullptr, ULONG code = 0) {
        auto box = std::make_shared<irp_box>();
        PIRP irp = box->irp.get();
        irp->major = major;
        irp->input_length = in;
        irp->output_length = out;
        irp->ioctl_code = code;
        irp->file = file;
        irp->system_buffer.assign(std::max(in, out), 0);
        irp_box* raw = box.get();
        irp->on_complete = [raw](PIRP p) {
            note([&] {
                raw->done = true;
                raw->status = p->status;
                raw->information = p->information;
                raw->buffer_at_completion = p->system_buffer;
            });
        };
        return box;
    }
    std::shared_ptr<irp_box> send(UCHAR major, ULONG in = 0, ULONG out = 0,
                                  PFILE_OBJECT file = nullptr, ULONG code = 0) {
        auto box = make(major, in, out, file, code);
        platform::wdf::io_dispatch(device, box->irp.get());
        return box;
    }
    std::shared_ptr<irp_box> send(const std::shared_ptr<irp_box>& box) {
        platform::wdf::io_dispatch(device, box->irp.get());
        return box;
    }
    // Sends and returns what the dispatch routine returned (STATUS_PENDING once queued).
    NTSTATUS send_status(const std::shared_ptr<irp_box>& box) {
        return platform::wdf::io_dispatch(device, box->irp.get());
    }

    void TearDown() override {
        if (device != nullptr) {
            device->delete_object();
            platform::wdf::io_detach(device);
        }
    }

    test_device* device = nullptr;
};

inline FILE_OBJECT make_file() {
    FILE_OBJECT f{};
    f.Type = IO_TYPE_FILE;
    f.Size = sizeof(FILE_OBJECT);
    return f;
}

}  // namespace wdf_io_test
