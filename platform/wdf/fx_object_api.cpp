// The exported object routines: creation of general objects, deletion, references and
// contexts.
#include "core/faults.h"
#include "wdf/fx_object.h"

namespace platform::wdf {
namespace {

class fx_general_object : public fx_object {
  public:
    fx_general_object() : fx_object(fx_type::object) {}

  protected:
    ~fx_general_object() override = default;
};

}  // namespace
}  // namespace platform::wdf

using namespace platform;
using namespace platform::wdf;

extern "C" {

NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object) {
    if (auto st = faults::fault_point("WdfObjectCreate"))
        return *st;
    if (Object == nullptr)
        violation("WdfObjectCreate: Object is NULL");
    *Object = nullptr;
    auto* object = new fx_general_object;
    NTSTATUS status = object->commit(Attributes, fx_driver_root(), attr_none);
    if (!NT_SUCCESS(status)) {
        fx_object::discard(object);
        return status;
    }
    *Object = object->handle();
    return STATUS_SUCCESS;
}

VOID WdfObjectDelete(WDFOBJECT Object) {
    fx_object::get(Object, "WdfObjectDelete")->delete_by_driver("WdfObjectDelete");
}

VOID WdfObjectReferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCHAR File) {
    (void)Tag;
    (void)Line;
    (void)File;
    fx_object::get(Handle, "WdfObjectReference")->add_ref();
}

VOID WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCHAR File) {
    (void)Tag;
    (void)Line;
    (void)File;
    fx_object::get(Handle, "WdfObjectDereference")->release();
}

PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    fx_object* object = fx_object::get(Handle, "WdfObjectGetTypedContext");
    if (TypeInfo == nullptr)
        violation("WdfObjectGetTypedContext: TypeInfo is NULL");
    return object->context(TypeInfo);
}

NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes,
                                  PVOID* Context) {
    if (auto st = faults::fault_point("WdfObjectAllocateContext"))
        return *st;
    fx_object* object = fx_object::get(Handle, "WdfObjectAllocateContext");
    if (ContextAttributes == nullptr)
        violation("WdfObjectAllocateContext: attributes are NULL");
    return object->allocate_context(ContextAttributes, Context);
}

WDFOBJECT WdfObjectContextGetObject(PVOID ContextPointer) {
    fx_object* object = fx_object::from_context(ContextPointer);
    if (object == nullptr) {
        violation("WdfObjectContextGetObject: not the context of a live framework object",
                  reinterpret_cast<std::uintptr_t>(ContextPointer));
    }
    return object->handle();
}

}  // extern "C"
