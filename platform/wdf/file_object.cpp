// Framework file objects and the exported WdfFileObject* routines.
#include "wdf/file_object.h"

#include "core/scheduler.h"
#include "wdf/io_dispatch.h"

namespace platform::wdf {

fx_file_object::fx_file_object(io_package* package, PFILE_OBJECT wdm)
    : fx_object(fx_type::file_object), package_(package), wdm_(wdm) {}

NTSTATUS fx_file_object::create(io_package* package, PFILE_OBJECT wdm, fx_file_object** out) {
    *out = nullptr;
    const WDF_FILEOBJECT_CLASS cls = package->file_class();
    if (cls == WdfFileObjectNotRequired)
        return STATUS_SUCCESS;
    // A create without a WDM file object (sent by a driver above, not by the I/O manager) is
    // taken only where one file object can stand for every request (FxFileObject's
    // _CreateFileObject); "can be optional" does not change that.
    if (wdm == nullptr &&
        !(cls == WdfFileObjectWdfCannotUseFsContexts && package->config().exclusive))
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    const io_device_config& cfg = package->config();
    const WDF_OBJECT_ATTRIBUTES* attrs = cfg.has_file_attributes ? &cfg.file_attributes : nullptr;
    auto* fo = new fx_file_object(package, wdm);
    NTSTATUS st =
        fo->commit(attrs, package->device(), attr_exec_level_allowed | attr_sync_scope_allowed);
    if (!NT_SUCCESS(st)) {
        fx_object::discard(fo);
        return st;
    }
    fo->set_framework_deleted(true);
    {
        std::lock_guard g(scheduler::get().lock());
        package->files[wdm] = fo;
    }
    if (wdm != nullptr) {
        switch (cls) {
            case WdfFileObjectWdfCanUseFsContext:
                wdm->FsContext = fo;
                break;
            case WdfFileObjectWdfCanUseFsContext2:
                wdm->FsContext2 = fo;
                break;
            default:
                break;  // the driver may use both contexts itself
        }
    }
    *out = fo;
    return STATUS_SUCCESS;
}

fx_file_object* fx_file_object::lookup(io_package* package, PFILE_OBJECT wdm) {
    if (wdm == nullptr)
        return nullptr;
    std::lock_guard g(scheduler::get().lock());
    auto it = package->files.find(wdm);
    return it == package->files.end() ? nullptr : it->second;
}

fx_file_object* fx_file_object::resolve(io_package* package, PFILE_OBJECT wdm, bool referenced) {
    const WDF_FILEOBJECT_CLASS cls = package->file_class();
    if (cls == WdfFileObjectNotRequired)
        return nullptr;
    fx_file_object* found = nullptr;
    {
        std::lock_guard g(scheduler::get().lock());
        if (wdm == nullptr && cls == WdfFileObjectWdfCannotUseFsContexts &&
            package->config().exclusive) {
            // The exclusive device's one file object, whatever the request carries.
            if (!package->files.empty())
                found = package->files.begin()->second;
        } else if (wdm != nullptr) {
            auto it = package->files.find(wdm);
            if (it != package->files.end())
                found = it->second;
        }
        // Registered objects are not yet disposed, so the reference is taken on a live one.
        if (found != nullptr && referenced)
            found->add_ref();
    }
    if (found == nullptr && !package->file_optional() && !package->removing) {
        violation(wdm == nullptr
                      ? "a request without a file object on a device whose file-object class "
                        "requires one (WdfFileObjectCanBeOptional not set)"
                      : "a request whose file object was never opened on this device "
                        "(WdfFileObjectCanBeOptional not set)",
                  reinterpret_cast<std::uintptr_t>(wdm));
    }
    return found;
}

void fx_file_object::unregister() {
    std::lock_guard g(scheduler::get().lock());
    auto it = package_->files.find(wdm_);
    if (it != package_->files.end() && it->second == this)
        package_->files.erase(it);
}

void fx_file_object::destroy_from_close() {
    unregister();
    // The I/O manager is closing the WDM file object: it is still there to clear.
    if (wdm_ != nullptr) {
        if (wdm_->FsContext == this)
            wdm_->FsContext = nullptr;
        if (wdm_->FsContext2 == this)
            wdm_->FsContext2 = nullptr;
    }
    delete_object();
}

void fx_file_object::dispose() {
    unregister();
}

}  // namespace platform::wdf

using namespace platform::wdf;

namespace {
fx_file_object* file_from(WDFFILEOBJECT handle, const char* routine) {
    return fx_get<fx_file_object>(handle, fx_type::file_object, routine);
}
}  // namespace

extern "C" {

PUNICODE_STRING WdfFileObjectGetFileName(WDFFILEOBJECT FileObject) {
    PFILE_OBJECT wdm = file_from(FileObject, "WdfFileObjectGetFileName")->wdm();
    return wdm != nullptr ? &wdm->FileName : nullptr;
}

ULONG WdfFileObjectGetFlags(WDFFILEOBJECT FileObject) {
    PFILE_OBJECT wdm = file_from(FileObject, "WdfFileObjectGetFlags")->wdm();
    return wdm != nullptr ? wdm->Flags : 0;
}

WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject) {
    return file_from(FileObject, "WdfFileObjectGetDevice")->package()->device_handle();
}

PFILE_OBJECT WdfFileObjectWdmGetFileObject(WDFFILEOBJECT FileObject) {
    return file_from(FileObject, "WdfFileObjectWdmGetFileObject")->wdm();
}

}  // extern "C"
