// The kernel client driver's test seam.
#include "kclient.h"

#include <mutex>
#include <string>

#include "core/bugcheck.h"

#include "kclient_driver.h"

namespace kclient {
namespace {

struct recorder {
    std::mutex lock;
    std::vector<received_message> messages;
};

recorder& record() {
    static auto* r = new recorder;  // the callback may run until the machine is gone
    return *r;
}

VOID record_receive(ULONG port, ULONG service, ULONG client_id, ULONG flags, PUCHAR message,
                    ULONG length) {
    received_message m{port, service, client_id, flags, {}, KeGetCurrentIrql()};
    if (message != nullptr)
        m.message.assign(message, message + length);
    std::lock_guard g(record().lock);
    record().messages.push_back(std::move(m));
}

PKCLIENT_DEVICE_CONTEXT context() {
    WDFDEVICE d = KclientDevice();
    return d != nullptr ? KclientGetContext(d) : nullptr;
}

// The interface the driver holds; a routine called without one is the test's mistake.
const VRAX_KERNEL_INTERFACE& held(const char* routine) {
    PKCLIENT_DEVICE_CONTEXT c = context();
    if (c == nullptr || !c->HaveInterface) {
        platform::bug_check(
            platform::bug_code::driver_verifier_detected_violation,
            std::string("kclient::") + routine + " called without the interface (connect first)");
    }
    return c->Interface;
}

}  // namespace

sim::driver_package package() {
    return {u"vraxkc", KclientDriverEntry, u"ROOT\\VRAXKC", {}, {}, {}};
}

WDFDEVICE device() {
    return KclientDevice();
}

NTSTATUS connect(PDEVICE_OBJECT vrax_device, const GUID& type, USHORT size, USHORT version) {
    WDFDEVICE d = KclientDevice();
    if (d == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    KclientSetReceiveHook(record_receive);
    return KclientConnect(d, vrax_device, &type, size, version);
}

std::optional<VRAX_KERNEL_INTERFACE> interface() {
    PKCLIENT_DEVICE_CONTEXT c = context();
    if (c == nullptr || !c->HaveInterface)
        return std::nullopt;
    return c->Interface;
}

void disconnect() {
    if (WDFDEVICE d = KclientDevice())
        KclientDisconnect(d);
}

LONG register_client() {
    const VRAX_KERNEL_INTERFACE& i = held("register_client");
    VRAX_KERNEL_CLIENT_HANDLE handle = nullptr;
    LONG result = i.KernelClientRegister(KclientReceive, nullptr, nullptr, &handle, nullptr);
    if (result == 0) {
        PKCLIENT_DEVICE_CONTEXT c = context();
        c->ClientHandle = handle;
        c->Registered = TRUE;
    }
    return result;
}

LONG deregister_client() {
    const VRAX_KERNEL_INTERFACE& i = held("deregister_client");
    PKCLIENT_DEVICE_CONTEXT c = context();
    LONG result = i.KernelClientDeregister(c->ClientHandle);
    if (result == 0) {
        c->Registered = FALSE;
        c->ClientHandle = nullptr;
    }
    return result;
}

LONG send_control(ULONG port, std::vector<UCHAR> message) {
    const VRAX_KERNEL_INTERFACE& i = held("send_control");
    PKCLIENT_DEVICE_CONTEXT c = context();
    return i.KernelClientSendControl(c->ClientHandle, port, message.data(),
                                     static_cast<ULONG>(message.size()));
}

LONG send_message(ULONG port, ULONG service, ULONG client_id, std::vector<UCHAR> message) {
    const VRAX_KERNEL_INTERFACE& i = held("send_message");
    return i.KernelClientSendMessage(nullptr, port, service, client_id, message.data(),
                                     static_cast<ULONG>(message.size()));
}

std::vector<received_message> received() {
    std::lock_guard g(record().lock);
    return record().messages;
}

void clear_received() {
    std::lock_guard g(record().lock);
    record().messages.clear();
}

}  // namespace kclient
