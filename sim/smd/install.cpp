// Installing the SMD channel driver through the PnP manager.
#include "install.h"

#include "smd_driver.h"

namespace smd {
namespace pnp = platform::pnp;

namespace {

struct installation {
    install_options options;
    pnp::driver* driver = nullptr;
    std::vector<pnp::device_node*> nodes;
};

installation& current() {
    static installation* i = new installation();
    return *i;
}

}  // namespace

NTSTATUS install(const install_options& options) {
    installation& i = current();
    if (i.driver != nullptr)
        return STATUS_IMAGE_ALREADY_LOADED;
    i.options = options;
    i.driver = pnp::register_driver({options.service, SmdDriverEntry, {}});
    NTSTATUS status = pnp::load_driver(i.driver);
    if (!NT_SUCCESS(status)) {
        i.driver = nullptr;
        return status;
    }
    return add_device();
}

NTSTATUS add_device() {
    installation& i = current();
    if (i.driver == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    pnp::device_node* node = pnp::add_device(i.driver, {i.options.hardware_id, {}});
    i.nodes.push_back(node);
    if (pnp::state(node) == pnp::device_state::failed)
        return pnp::last_status(node);
    return pnp::start_device(node);
}

NTSTATUS surprise_remove() {
    pnp::device_node* node = current_device();
    if (node == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    return pnp::surprise_remove(node, pnp::removal_after_surprise::when_handles_closed);
}

NTSTATUS uninstall() {
    installation& i = current();
    if (i.driver == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = pnp::unload_driver(i.driver);
    if (NT_SUCCESS(status)) {
        i.driver = nullptr;
        i.nodes.clear();
    }
    return status;
}

bool installed() {
    return current().driver != nullptr;
}

pnp::driver* driver() {
    return current().driver;
}

pnp::device_node* current_device() {
    const installation& i = current();
    for (auto it = i.nodes.rbegin(); it != i.nodes.rend(); ++it) {
        if (pnp::state(*it) == pnp::device_state::started)
            return *it;
    }
    return nullptr;
}

std::vector<pnp::device_node*> devices() {
    return current().nodes;
}

const GUID& interface_class() {
    return SmdInterfaceClass;
}

std::vector<std::u16string> interface_links() {
    return pnp::enabled_interfaces(SmdInterfaceClass);
}

}  // namespace smd
