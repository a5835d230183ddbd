// Framework file objects: one WDFFILEOBJECT per WDM file object opened on a device whose
// file-object class asks for them, created when IRP_MJ_CREATE arrives and deleted after
// IRP_MJ_CLOSE (or when the create fails, or with the device at its removal). Children of the
// device; the driver cannot delete them.
//
// With WdfFileObjectCanBeOptional in the class, requests that carry no WDM file object, or
// one this device never saw a create for, are the driver's to handle: they get no framework
// file object (WdfRequestGetFileObject returns NULL, the file callbacks get NULL). Without it
// such a request is a verifier error, as FxFileObject::_GetFileObjectFromWdm reports it, except
// on an exclusive device of class WdfFileObjectWdfCannotUseFsContexts, whose one file object
// stands for every request.
#pragma once

#include <wdf.h>

#include "wdf/fx_object.h"

namespace platform::wdf {

class io_package;

class fx_file_object : public fx_object {
  public:
    // Creates the file object for `wdm` (which may be NULL only on an exclusive device of
    // class WdfFileObjectWdfCannotUseFsContexts; otherwise STATUS_DEVICE_CONFIGURATION_ERROR)
    // with the device's file-object attributes and registers it with the package (and in
    // FsContext / FsContext2 when the class allows). `*out` is NULL when the class keeps no
    // file objects.
    static NTSTATUS create(io_package* package, PFILE_OBJECT wdm, fx_file_object** out);
    // Looks the framework file object of `wdm` up; null when there is none.
    static fx_file_object* lookup(io_package* package, PFILE_OBJECT wdm);
    // The framework file object a request on `wdm` belongs to, by the rules above: null when
    // the class keeps none or allows it to be missing; a missing one otherwise is a violation.
    // With `referenced`, the caller gets a reference to drop with release().
    static fx_file_object* resolve(io_package* package, PFILE_OBJECT wdm, bool referenced = false);
    // Unregisters and deletes it.
    void destroy_from_close();

    PFILE_OBJECT wdm() const { return wdm_; }
    io_package* package() const { return package_; }

  protected:
    ~fx_file_object() override = default;
    // Deleted with its device (or at close): unregisters first, so no look-up finds a file
    // object on its way out.
    void dispose() override;

  private:
    fx_file_object(io_package* package, PFILE_OBJECT wdm);
    void unregister();

    io_package* package_;
    PFILE_OBJECT wdm_;
};

}  // namespace platform::wdf
