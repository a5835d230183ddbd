// Included before a header that uses DEFINE_GUID, in exactly one source, so that source
// defines the GUIDs the header declares.
#pragma once

#define INITGUID
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    EXTERN_C const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
