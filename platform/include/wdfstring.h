// Framework string objects: a counted UTF-16 string owned by the object.
#pragma once

#include <wdfobject.h>

WDF_EXTERN_C_START

NTSTATUS WdfStringCreate(PCUNICODE_STRING UnicodeString, PWDF_OBJECT_ATTRIBUTES StringAttributes,
                         WDFSTRING* String);
VOID WdfStringGetUnicodeString(WDFSTRING String, PUNICODE_STRING UnicodeString);

WDF_EXTERN_C_END
