// Framework file objects: one WDFFILEOBJECT per WDM file object opened on a device whose
// file-object class asks for them, created when IRP_MJ_CREATE arrives and deleted after
// IRP_MJ_CLOSE (or when the create fails). Children of the device; the driver cannot delete
// them.
#pragma once

#include <wdf.h>

#include "wdf/fx_object.h"

namespace platform::wdf {

class io_package;

class fx_file_object : public fx_object {
  public:
    // Creates the file object for `wdm` with the device's file-object attributes and
    // registers it with the package (and in FsContext / FsContext2 when the class allows).
    static NTSTATUS create(io_package* package, PFILE_OBJECT wdm, fx_file_object** out);
    // Looks the framework file object of `wdm` up; null when there is none.
    static fx_file_object* lookup(io_package* package, PFILE_OBJECT wdm);
    // Unregisters and deletes it.
    void destroy_from_close();

    PFILE_OBJECT wdm() const { return wdm_; }
    io_package* package() const { return package_; }

  protected:
    ~fx_file_object() override = default;

  private:
    fx_file_object(io_package* package, PFILE_OBJECT wdm);

    io_package* package_;
    PFILE_OBJECT wdm_;
};

}  // namespace platform::wdf
