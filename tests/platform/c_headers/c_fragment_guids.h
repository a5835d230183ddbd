/* A GUID header as driver packages write one: a declaration everywhere, a definition in each
 * source that defines INITGUID (or includes initguid.h) first. */
#pragma once

#include <ntdef.h>

DEFINE_GUID(GUID_DEVINTERFACE_C_FRAGMENT, 0x6e5b7c3a, 0x1d2f, 0x4a8b, 0x9c, 0x0e, 0x31, 0x7a, 0x55,
            0x20, 0xc4, 0x19);
