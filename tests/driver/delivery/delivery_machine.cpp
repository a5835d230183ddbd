#include "delivery_machine.h"

#include "core/faults.h"
#include "core/scheduler.h"
#include "pnp/pnp_manager.h"
#include "smd/far_end.h"
#include "smd/install.h"

#include "vrax_device.h"
#include "vrax_wire.h"

namespace delivery_test {

namespace far_end = smd::far_end;
namespace io = platform::io;
using platform::scheduler;

void settle_ms(std::int64_t ms) {
    auto& s = scheduler::get();
    const platform::ticks later = s.now() + ms * platform::ticks_per_ms;
    std::unique_lock lk(s.lock());
    s.block(
        lk, [] { return false; }, later, "test: settling");
}

bool wait_until(const std::function<bool()>& done, std::int64_t ms) {
    for (std::int64_t t = 0; t < ms && !done(); t += 10) {
        settle_ms(10);
    }
    return done();
}

bytes frame(UCHAR service, UCHAR client, const bytes& message, UCHAR flags) {
    bytes f{0x01, 0, 0, flags, service, client};
    f.insert(f.end(), message.begin(), message.end());
    std::size_t field = f.size() - 1;
    f[1] = static_cast<std::uint8_t>(field & 0xFF);
    f[2] = static_cast<std::uint8_t>(field >> 8);
    return f;
}

handle::handle() {
    io::open_params params;
    params.desired_access = FILE_READ_DATA | FILE_WRITE_DATA;
    params.synchronous = false;
    auto result = io::open_file(u"\\Device\\VRAX", params);
    status_ = result.status;
    file_ = std::move(result.file);
    open_ = NT_SUCCESS(status_);
}

handle::~handle() {
    close();
}

void handle::close() {
    if (open_) {
        open_ = false;
        io::close_file(std::move(file_));
    }
}

PFILE_OBJECT handle::file() const {
    return io::file_body(*file_);
}

std::shared_ptr<io::request> handle::start(UCHAR major, ULONG code, void* buffer, ULONG length) {
    io::user_request request;
    request.major = major;
    request.ioctl_code = code;
    request.input = buffer;
    request.input_length = major == IRP_MJ_READ ? 0 : length;
    request.output = buffer;
    request.output_length = major == IRP_MJ_WRITE ? 0 : length;
    request.requestor_mode = KernelMode;
    auto started = io::start_request(file(), request);
    EXPECT_TRUE(started.sent);
    return started.req;
}

void DeliveryMachine::bring_up() {
    far_end::reset();
    machine_ = std::make_unique<sim::machine>();
    ASSERT_EQ(far_end::open_channel(0), STATUS_SUCCESS);
    ASSERT_EQ(smd::install(), STATUS_SUCCESS);
    ASSERT_EQ(machine_->boot(), STATUS_SUCCESS);
    auto notice = far_end::next_frame(0, far_end::deadline_in_ms(5000));
    ASSERT_TRUE(notice.has_value()) << "the port-open notice";
    ASSERT_TRUE(wait_until(
        [] { return VraxInterfaceEnabled(GetVraxDeviceContext(::ControlDevice)) != FALSE; }));
    // The port-open routine asks for the service table and waits 5 s for the port to be
    // ready. Nobody answers here: take its request off the wire and let that wait run out, so
    // the tests own the port-ready event and see only the frames they cause.
    auto table_request = far_end::next_frame(0, far_end::deadline_in_ms(5000));
    ASSERT_TRUE(table_request.has_value()) << "the service-table request";
    ASSERT_GE(table_request->size(), 12u);
    ASSERT_EQ((*table_request)[4], 0u) << "on the control service";
    ASSERT_EQ((*table_request)[8], VRAX_CONTROL_SERVICE_TABLE_ID);
    settle_ms(5100);
}

VRAX_KERNEL_INTERFACE DeliveryMachine::kernel_interface() {
    VRAX_KERNEL_INTERFACE iface{};
    NTSTATUS status = platform::pnp::query_interface(machine_->device(), GUID_VRAX_KERNEL_INTERFACE,
                                                     sizeof(iface), VRAX_KERNEL_INTERFACE_VERSION,
                                                     &iface.InterfaceHeader);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return iface;
}

std::optional<bytes> DeliveryMachine::next_frame(std::int64_t ms) {
    return far_end::next_frame(0, far_end::deadline_in_ms(ms));
}

void DeliveryMachine::queue_read(const bytes& f) {
    ASSERT_EQ(far_end::queue_read(0, f), STATUS_SUCCESS);
}

void DeliveryMachine::TearDown() {
    platform::faults::clear();
    if (!machine_) {
        return;
    }
    if (!NT_SUCCESS(machine_->remove_device())) {
        EXPECT_EQ(machine_->surprise_remove(), STATUS_SUCCESS);
    }
    far_end::reset();
    if (smd::installed()) {
        EXPECT_EQ(smd::uninstall(), STATUS_SUCCESS);
    }
    EXPECT_TRUE(machine_->shutdown().empty());
    machine_.reset();
}

}  // namespace delivery_test
