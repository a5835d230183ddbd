// Framework file objects and the exported WdfFileObject* routines.
#include "wdf/file_object.h"

#include "core/scheduler.h"
#include "wdf/io_dispatch.h"

namespace platform::wdf {

fx_file_object::fx_file_object(io_package* package, PFILE_OBJECT wdm)
    : fx_object(fx_type::file_object), package_(package), wdm_(wdm) {}

NTSTATUS fx_file_object::create(io_package* package, PFILE_OBJECT wdm, fx_file_object** out) {
    *out = nullptr;
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
    switch (package->file_class()) {
        case WdfFileObjectWdfCanUseFsContext:
            wdm->FsContext = fo;
            break;
        case WdfFileObjectWdfCanUseFsContext2:
            wdm->FsContext2 = fo;
            break;
        default:
            break;  // the driver may use both contexts itself
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

void fx_file_object::destroy_from_close() {
    {
        std::lock_guard g(scheduler::get().lock());
        auto it = package_->files.find(wdm_);
        if (it != package_->files.end() && it->second == this)
            package_->files.erase(it);
    }
    if (wdm_->FsContext == this)
        wdm_->FsContext = nullptr;
    if (wdm_->FsContext2 == this)
        wdm_->FsContext2 = nullptr;
    delete_object();
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
    return &file_from(FileObject, "WdfFileObjectGetFileName")->wdm()->FileName;
}

ULONG WdfFileObjectGetFlags(WDFFILEOBJECT FileObject) {
    return file_from(FileObject, "WdfFileObjectGetFlags")->wdm()->Flags;
}

WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject) {
    return file_from(FileObject, "WdfFileObjectGetDevice")->package()->device_handle();
}

PFILE_OBJECT WdfFileObjectWdmGetFileObject(WDFFILEOBJECT FileObject) {
    return file_from(FileObject, "WdfFileObjectWdmGetFileObject")->wdm();
}

}  // extern "C"
