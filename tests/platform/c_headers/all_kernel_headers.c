/* Every kernel-side WDK-named header, for the check that each routine they declare is
 * defined by the platform (check_declared_routines.cmake) and for the C11 syntax check. */
#include <ntddk.h>
#include <wdf.h>
#include <ntstrsafe.h>
#include <initguid.h>
#include <wdmguid.h>
#include <devioctl.h>
