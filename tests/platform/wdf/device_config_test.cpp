// Device set-up and creation: name, security descriptor, symbolic link, the device context,
// query interfaces, failures of device-add and of WdfDeviceCreate.
#include <cstring>

#include "io/device_objects.h"
#include "io/security.h"
#include "wdf/fx_device.h"
#include "wdf_fixture.h"

namespace wdf_test {
namespace {

using strings = std::vector<std::string>;
using DeviceConfig = framework_test;

TEST_F(DeviceConfig, DeviceIsNamedBufferedAndOpensOnceDeviceAddHasFinished) {
    create_device();
    PDEVICE_OBJECT dev = WdfDeviceWdmGetDeviceObject(device());
    EXPECT_EQ(dev, fdo());
    EXPECT_EQ(platform::io::device_name(dev), u"\\Device\\WdfCoreTest");
    EXPECT_NE(dev->Flags & DO_BUFFERED_IO, 0u);
    EXPECT_EQ(dev->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(WdfDeviceWdmGetPhysicalDevice(device()), pdo);
    EXPECT_EQ(WdfDeviceWdmGetAttachedDevice(device()), pdo);
    EXPECT_EQ(WdfWdmDeviceGetWdfDeviceHandle(dev), device());
    EXPECT_EQ(WdfDeviceGetDriver(device()), driver);
    EXPECT_EQ(WdfGetDriver(), driver);
    EXPECT_EQ(WdfDriverWdmGetDriverObject(driver), drv);
    EXPECT_EQ(platform::kernel::view(WdfDriverGetRegistryPath(driver)),
              u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\wdfcoretest");

    // The context is typed and zero-filled.
    DEVICE_CONTEXT* ctx = GetDeviceContext(device());
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->Value, 0u);
    for (UCHAR b : ctx->Bytes)
        EXPECT_EQ(b, 0);
}

TEST_F(DeviceConfig, SddlIsAppliedAndAnInvalidOneIsRefused) {
    setup().sddl = u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;UD)";
    create_device();
    EXPECT_EQ(setup().sddl_status, STATUS_SUCCESS);
    auto sd = platform::io::device_security(fdo());
    ASSERT_NE(sd, nullptr);
    EXPECT_TRUE(sd->dacl_protected);
    ASSERT_EQ(sd->dacl.size(), 3u);
    EXPECT_EQ(sd->dacl[0].who, platform::io::sids::local_system());
    EXPECT_EQ(sd->dacl[2].who, platform::io::sids::user_mode_drivers());
}

TEST_F(DeviceConfig, InvalidSddlFailsTheAssignment) {
    setup().sddl = u"D:P(A;;GA;;;SY)(bogus";
    create_device();
    EXPECT_EQ(setup().sddl_status, STATUS_INVALID_PARAMETER);
}

TEST_F(DeviceConfig, SymbolicLinkGoesWithTheDevice) {
    create_device();
    platform::kernel::owned_unicode_string link(u"\\DosDevices\\WdfCoreTest");
    ASSERT_EQ(WdfDeviceCreateSymbolicLink(device(), link.get()), STATUS_SUCCESS);
    EXPECT_EQ(platform::io::create_symbolic_link(u"\\DosDevices\\WdfCoreTest", u"\\Device\\X"),
              STATUS_OBJECT_NAME_COLLISION);
    remove();
    EXPECT_EQ(platform::io::delete_symbolic_link(u"\\DosDevices\\WdfCoreTest"),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(DeviceConfig, DeviceCreateCanBeMadeToFailAndTheInitIsNotLeaked) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    platform::faults::fail_nth("WdfDeviceCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(add_device(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(fdo(), nullptr);
    platform::faults::fail_nth("WdfDeviceInitAssignName", 1, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(add_device(), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(fdo(), nullptr);
    platform::faults::clear();
    EXPECT_EQ(add_device(), STATUS_SUCCESS);
    EXPECT_NE(fdo(), nullptr);
}

TEST_F(DeviceConfig, DeviceAddFailingAfterCreationDeletesThePartlyBuiltDevice) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    setup().fail_after_create = true;
    take_events();
    EXPECT_EQ(add_device(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(take_events(), (strings{"DeviceAdd", "DeviceCleanup"}));
    EXPECT_EQ(fdo(), nullptr);
}

TEST_F(DeviceConfig, NameCollisionFailsTheCreate) {
    PDEVICE_OBJECT squatter = nullptr;
    platform::io::device_params p;
    p.driver = bus;
    p.name = u"\\Device\\WdfCoreTest";
    ASSERT_EQ(platform::io::create_device_object(p, &squatter), STATUS_SUCCESS);
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    EXPECT_EQ(add_device(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(fdo(), nullptr);
    platform::io::delete_device_object(squatter);
}

TEST_F(DeviceConfig, TheDriverMayNotDeleteTheDevice) {
    create_device();
    EXPECT_DEATH(WdfObjectDelete(device()), "0x0000010D.*framework deletes this WDFDEVICE");
}

TEST_F(DeviceConfig, DriverConfigIsValidatedAndOneDriverPerDriverObject) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, EvtDeviceAdd);
    platform::kernel::owned_unicode_string path(u"\\Registry\\Machine\\X");
    config.Size = sizeof(config) + 4;
    EXPECT_EQ(WdfDriverCreate(drv, path.get(), WDF_NO_OBJECT_ATTRIBUTES, &config, &driver),
              STATUS_INFO_LENGTH_MISMATCH);
    WDF_DRIVER_CONFIG_INIT(&config, EvtDeviceAdd);
    config.DriverInitFlags = WdfDriverInitNonPnpDriver;  // with a device-add callback
    EXPECT_EQ(WdfDriverCreate(drv, path.get(), WDF_NO_OBJECT_ATTRIBUTES, &config, &driver),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(drv->DriverUnload, nullptr);
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    EXPECT_NE(drv->DriverUnload, nullptr);
    EXPECT_NE(drv->DriverExtension->AddDevice, nullptr);
    WDFDRIVER second = nullptr;
    WDF_DRIVER_CONFIG_INIT(&config, EvtDeviceAdd);
    EXPECT_EQ(WdfDriverCreate(drv, path.get(), WDF_NO_OBJECT_ATTRIBUTES, &config, &second),
              STATUS_DRIVER_INTERNAL_ERROR);
    platform::faults::fail_nth("WdfDriverCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(WdfDriverCreate(drv, path.get(), WDF_NO_OBJECT_ATTRIBUTES, &config, &second),
              STATUS_INSUFFICIENT_RESOURCES);
    platform::faults::clear();
}

TEST_F(DeviceConfig, InvalidFileObjectClassIsAVerifierError) {
    ASSERT_EQ(create_driver(), STATUS_SUCCESS);
    WDFDEVICE_INIT init{};
    WDF_FILEOBJECT_CONFIG config;
    WDF_FILEOBJECT_CONFIG_INIT(&config, nullptr, nullptr, nullptr);
    config.FileObjectClass = static_cast<WDF_FILEOBJECT_CLASS>(0x80000004);
    WdfDeviceInitSetFileObjectConfig(&init, &config, WDF_NO_OBJECT_ATTRIBUTES);
    EXPECT_TRUE(init.file_config_set);
    config.FileObjectClass = WdfFileObjectInvalid;
    EXPECT_DEATH(WdfDeviceInitSetFileObjectConfig(&init, &config, WDF_NO_OBJECT_ATTRIBUTES),
                 "0x0000010D.*FileObjectClass");
    config.FileObjectClass = static_cast<WDF_FILEOBJECT_CLASS>(0x80000001);
    EXPECT_DEATH(WdfDeviceInitSetFileObjectConfig(&init, &config, WDF_NO_OBJECT_ATTRIBUTES),
                 "0x0000010D.*CanBeOptional");
}

// ---- Query interfaces -------------------------------------------------------------------------

constexpr GUID kTestInterface = {0x6c1e0a52, 0x93f4, 0x4d1b, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kOtherInterface = {0x6c1e0a53, 0x93f4, 0x4d1b, {1, 2, 3, 4, 5, 6, 7, 8}};

struct TEST_INTERFACE {
    INTERFACE Header;
    PVOID Register;
    PVOID Send;
};

int fn_a, fn_b;

class QueryInterface : public framework_test {
  protected:
    void SetUp() override {
        framework_test::SetUp();
        create_device();
        std::memset(&offered, 0, sizeof offered);
        offered.Header.Size = sizeof offered;
        offered.Header.Version = 1;
        offered.Register = &fn_a;
        offered.Send = &fn_b;
    }
    NTSTATUS add(const GUID& type, PINTERFACE iface) {
        WDF_QUERY_INTERFACE_CONFIG config;
        WDF_QUERY_INTERFACE_CONFIG_INIT(&config, iface, &type, nullptr);
        return WdfDeviceAddQueryInterface(device(), &config);
    }
    NTSTATUS query(const GUID& type, USHORT size, USHORT version, TEST_INTERFACE* out) {
        _IRP irp;
        irp.major = IRP_MJ_PNP;
        irp.minor = IRP_MN_QUERY_INTERFACE;
        irp.status = STATUS_NOT_SUPPORTED;
        irp.interface_type = &type;
        irp.interface_size = size;
        irp.interface_version = version;
        irp.interface = &out->Header;
        platform::io::call_driver(IoGetAttachedDevice(pdo), &irp);
        EXPECT_TRUE(irp.completed);
        return irp.status;
    }
    TEST_INTERFACE offered{};
};

TEST_F(QueryInterface, RequesterGetsACopyOfTheStoredInterface) {
    ASSERT_EQ(add(kTestInterface, &offered.Header), STATUS_SUCCESS);
    offered.Send = nullptr;  // the framework copied it when it was added

    TEST_INTERFACE got;
    std::memset(&got, 0xCC, sizeof got);
    EXPECT_EQ(query(kTestInterface, sizeof got, 1, &got), STATUS_SUCCESS);
    EXPECT_EQ(got.Header.Size, sizeof got);
    EXPECT_EQ(got.Register, &fn_a);
    EXPECT_EQ(got.Send, &fn_b);
    // Reference routines left NULL are replaced by ones the requester can call.
    ASSERT_NE(got.Header.InterfaceReference, nullptr);
    ASSERT_NE(got.Header.InterfaceDereference, nullptr);
    got.Header.InterfaceDereference(got.Header.Context);
}

TEST_F(QueryInterface, SizeVersionAndTypeMustMatch) {
    ASSERT_EQ(add(kTestInterface, &offered.Header), STATUS_SUCCESS);
    TEST_INTERFACE got{};
    EXPECT_EQ(query(kTestInterface, sizeof got - 1, 1, &got), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(query(kTestInterface, sizeof got, 0, &got), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(got.Register, nullptr);  // nothing was copied
    // Nobody in the stack knows this one: the status comes back unchanged.
    EXPECT_EQ(query(kOtherInterface, sizeof got, 1, &got), STATUS_NOT_SUPPORTED);
    // A newer requester gets the older interface.
    EXPECT_EQ(query(kTestInterface, sizeof got + 8, 2, &got), STATUS_SUCCESS);
}

TEST_F(QueryInterface, ConfigurationIsValidated) {
    WDF_QUERY_INTERFACE_CONFIG config;
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, &offered.Header, &kTestInterface, nullptr);
    config.Size = 4;
    EXPECT_EQ(WdfDeviceAddQueryInterface(device(), &config), STATUS_INFO_LENGTH_MISMATCH);
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, nullptr, &kTestInterface, nullptr);
    EXPECT_EQ(WdfDeviceAddQueryInterface(device(), &config), STATUS_INVALID_PARAMETER);
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, &offered.Header, &kTestInterface, nullptr);
    config.SendQueryToParentStack = TRUE;  // only a PDO may
    EXPECT_EQ(WdfDeviceAddQueryInterface(device(), &config), STATUS_INVALID_PARAMETER);
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, &offered.Header, &kTestInterface, nullptr);
    config.ImportInterface = TRUE;  // without a callback to fill it in
    EXPECT_EQ(WdfDeviceAddQueryInterface(device(), &config), STATUS_INVALID_PARAMETER);
    offered.Header.Size = sizeof(INTERFACE) - 1;
    EXPECT_EQ(add(kTestInterface, &offered.Header), STATUS_INVALID_PARAMETER);
    platform::faults::fail_nth("WdfDeviceAddQueryInterface", 1, STATUS_INSUFFICIENT_RESOURCES);
    offered.Header.Size = sizeof offered;
    EXPECT_EQ(add(kTestInterface, &offered.Header), STATUS_INSUFFICIENT_RESOURCES);
    platform::faults::clear();
    TEST_INTERFACE got{};
    EXPECT_EQ(query(kTestInterface, sizeof got, 1, &got), STATUS_NOT_SUPPORTED);
}

}  // namespace
}  // namespace wdf_test
