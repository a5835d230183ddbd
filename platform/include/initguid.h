// Included before a header that uses DEFINE_GUID, so the including source defines the
// GUIDs the header declares. Each definition is a select-any constant (see ntdef.h), so
// any number of sources may do this.
#pragma once

#include <ntdef.h>

#define INITGUID
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    DEFINE_GUID_SELECTANY_STORAGE_ name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
