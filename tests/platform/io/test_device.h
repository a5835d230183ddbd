// A small WDM driver for I/O manager tests: one device whose dispatch routines the test
// writes. Requests the test does not handle are completed with success at once; the test can
// park a request (pending, with a cancel routine that completes it STATUS_CANCELLED) and
// complete it later.
#pragma once

#include <wdm.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/scheduler.h"
#include "io/device_objects.h"
#include "io/irp.h"

namespace io_test {

class test_device {
  public:
    using handler = std::function<NTSTATUS(PIRP)>;

    explicit test_device(std::u16string name = u"\\Device\\IoTest",
                         std::u16string sddl = u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;UD)",
                         std::u16string link = u"\\DosDevices\\IoTest") {
        self() = this;
        driver = platform::io::create_driver_object(u"iotest", nullptr);
        for (auto& slot : driver->MajorFunction) {
            slot = dispatch;
        }
        platform::io::device_params p;
        p.driver = driver;
        p.name = name;
        p.extension_size = 16;
        if (!sddl.empty()) {
            platform::io::parse_sddl(std::u16string_view(sddl), p.security);
        }
        platform::io::create_device_object(p, &device);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        link_name = link;
        if (!link.empty()) {
            platform::io::create_symbolic_link(link, name);
        }
    }

    ~test_device() {
        if (!link_name.empty()) {
            platform::io::delete_symbolic_link(link_name);
        }
        if (device != nullptr) {
            platform::io::delete_device_object(device);
        }
        platform::io::delete_driver_object(driver);
        self() = nullptr;
    }

    // Handler for one major function; it must complete the IRP or return STATUS_PENDING.
    void on(UCHAR major, handler h) {
        std::lock_guard g(lock);
        handlers[major] = std::move(h);
    }

    // Pends the IRP with a cancel routine that completes it with STATUS_CANCELLED.
    NTSTATUS park(PIRP irp) {
        {
            std::lock_guard g(lock);
            parked.push_back(irp);
        }
        platform::io::set_cancel_routine(irp, [this](PIRP i) {
            ++cancel_routine_calls;
            if (unpark(i)) {
                platform::io::complete_irp(i, STATUS_CANCELLED, 0);
            }
        });
        if (platform::io::is_cancelled(irp) && platform::io::set_cancel_routine(irp, {})) {
            unpark(irp);
            platform::io::complete_irp(irp, STATUS_CANCELLED, 0);
        }
        return STATUS_PENDING;
    }

    // Completes the oldest parked IRP, if its cancel routine has not taken it.
    bool complete_parked(NTSTATUS status, ULONG_PTR information,
                         const std::vector<std::uint8_t>& data = {}) {
        PIRP irp = nullptr;
        {
            std::lock_guard g(lock);
            if (parked.empty()) {
                return false;
            }
            irp = parked.front();
        }
        if (!platform::io::set_cancel_routine(irp, {})) {
            return false;  // being cancelled
        }
        unpark(irp);
        std::copy_n(data.begin(), std::min(data.size(), irp->system_buffer.size()),
                    irp->system_buffer.begin());
        platform::io::complete_irp(irp, status, information);
        return true;
    }

    std::size_t parked_count() {
        std::lock_guard g(lock);
        return parked.size();
    }

    std::vector<UCHAR> majors_seen() {
        std::lock_guard g(lock);
        return seen;
    }

    // Blocks (through the scheduler) until `n` IRPs are parked.
    void wait_parked(std::size_t n) {
        auto& s = platform::scheduler::get();
        for (;;) {
            if (parked_count() >= n) {
                return;
            }
            LARGE_INTEGER d;
            d.QuadPart = -10'000;  // 1 ms of virtual time
            KeDelayExecutionThread(KernelMode, FALSE, &d);
            (void)s;
        }
    }

    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    std::u16string link_name;
    std::atomic<int> cancel_routine_calls{0};
    // What the last create, read, write and control carried.
    ACCESS_MASK last_create_access = 0;
    std::u16string last_file_name;

  private:
    static test_device*& self() {
        static test_device* p = nullptr;
        return p;
    }

    bool unpark(PIRP irp) {
        std::lock_guard g(lock);
        auto it = std::find(parked.begin(), parked.end(), irp);
        if (it == parked.end()) {
            return false;
        }
        parked.erase(it);
        return true;
    }

    static NTSTATUS dispatch(PDEVICE_OBJECT, PIRP irp) {
        test_device* t = self();
        handler h;
        {
            std::lock_guard g(t->lock);
            t->seen.push_back(irp->major);
            h = t->handlers[irp->major];
            if (irp->major == IRP_MJ_CREATE) {
                t->last_create_access = irp->desired_access;
                t->last_file_name = platform::io::to_u16string(&irp->file->FileName);
            }
        }
        if (h) {
            return h(irp);
        }
        platform::io::complete_irp(irp, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    }

    std::mutex lock;
    handler handlers[IRP_MJ_MAXIMUM_FUNCTION + 1];
    std::vector<UCHAR> seen;
    std::vector<PIRP> parked;
};

}  // namespace io_test
