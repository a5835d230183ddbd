// The kernel surface for drivers that are not file systems: wdm.h and the few additions
// ntddk.h carries on top of it.
#pragma once

#include <wdm.h>
