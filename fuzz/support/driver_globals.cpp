// Test double: the two driver-wide objects the protocol layer reads. The harnesses create no
// control device, so its handle stays NULL (locks are created without a parent).
#include <ntddk.h>
#include <wdf.h>

WDFDEVICE ControlDevice = nullptr;
POOL_TYPE VraxPoolType = NonPagedPoolNx;
