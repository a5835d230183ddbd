// Framework file objects: one per open handle of a device (created on IRP_MJ_CREATE and
// deleted after IRP_MJ_CLOSE), the natural parent of a session's framework objects.
#pragma once

#include <wdfobject.h>

WDF_EXTERN_C_START

PUNICODE_STRING WdfFileObjectGetFileName(WDFFILEOBJECT FileObject);
ULONG WdfFileObjectGetFlags(WDFFILEOBJECT FileObject);
WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject);
PFILE_OBJECT WdfFileObjectWdmGetFileObject(WDFFILEOBJECT FileObject);

WDF_EXTERN_C_END
