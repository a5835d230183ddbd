// Framework collections: an ordered list of framework objects; each object added is
// referenced until it is removed or the collection is deleted.
#pragma once

#include <wdfobject.h>

WDF_EXTERN_C_START

NTSTATUS WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES CollectionAttributes,
                             WDFCOLLECTION* Collection);
ULONG WdfCollectionGetCount(WDFCOLLECTION Collection);
NTSTATUS WdfCollectionAdd(WDFCOLLECTION Collection, WDFOBJECT Object);
VOID WdfCollectionRemove(WDFCOLLECTION Collection, WDFOBJECT Item);
VOID WdfCollectionRemoveItem(WDFCOLLECTION Collection, ULONG Index);
WDFOBJECT WdfCollectionGetItem(WDFCOLLECTION Collection, ULONG Index);
WDFOBJECT WdfCollectionGetFirstItem(WDFCOLLECTION Collection);
WDFOBJECT WdfCollectionGetLastItem(WDFCOLLECTION Collection);

WDF_EXTERN_C_END
