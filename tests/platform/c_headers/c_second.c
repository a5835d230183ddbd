/* A second C source that defines the same GUIDs (through initguid.h) and the same context
 * type: with select-any definitions both link, and both name one object. */
#include <ntddk.h>
#include <wdf.h>
#include <initguid.h>
#include <wdmguid.h>

#include "c_fragment.h"
#include "c_fragment_context.h"
#include "c_fragment_guids.h"

const GUID* CFragmentGuidFromSecondSource(VOID) {
    if (!IsEqualGUID(&GUID_DEVINTERFACE_C_FRAGMENT, CFragmentGuidFromDriver())) {
        return NULL;
    }
    return &GUID_DEVINTERFACE_C_FRAGMENT;
}

PCWDF_OBJECT_CONTEXT_TYPE_INFO CFragmentContextTypeFromSecondSource(VOID) {
    return WDF_GET_CONTEXT_TYPE_INFO(C_QUEUE_CONTEXT);
}
