// Framework string objects.
#include "wdf/fx_string.h"

#include "core/faults.h"
#include "kernel/strings.h"

namespace platform::wdf {

NTSTATUS fx_string::assign(std::u16string_view text) {
    // The terminating zero must fit too, as MaximumLength counts it.
    if ((text.size() + 1) * sizeof(WCHAR) > 0xFFFF)
        return STATUS_INVALID_PARAMETER;
    text_.assign(text);
    return STATUS_SUCCESS;
}

void fx_string::get(PUNICODE_STRING out) const {
    out->Length = static_cast<USHORT>(text_.size() * sizeof(WCHAR));
    out->MaximumLength = static_cast<USHORT>((text_.size() + 1) * sizeof(WCHAR));
    out->Buffer = reinterpret_cast<PWCH>(const_cast<char16_t*>(text_.c_str()));
}

}  // namespace platform::wdf

using namespace platform;
using namespace platform::wdf;

extern "C" {

NTSTATUS WdfStringCreate(PCUNICODE_STRING UnicodeString, PWDF_OBJECT_ATTRIBUTES StringAttributes,
                         WDFSTRING* String) {
    if (auto st = faults::fault_point("WdfStringCreate"))
        return *st;
    if (String == nullptr)
        violation("WdfStringCreate: String is NULL");
    *String = nullptr;
    if (UnicodeString != nullptr &&
        (UnicodeString->Length % sizeof(WCHAR) != 0 ||
         UnicodeString->Length > UnicodeString->MaximumLength ||
         (UnicodeString->Length > 0 && UnicodeString->Buffer == nullptr))) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* string = new fx_string;
    NTSTATUS status = string->assign(kernel::view(UnicodeString));
    if (NT_SUCCESS(status))
        status = string->commit(StringAttributes, fx_driver_root(), attr_none);
    if (!NT_SUCCESS(status)) {
        fx_object::discard(string);
        return status;
    }
    *String = string->handle_as<WDFSTRING>();
    return STATUS_SUCCESS;
}

VOID WdfStringGetUnicodeString(WDFSTRING String, PUNICODE_STRING UnicodeString) {
    auto* string = fx_get<fx_string>(String, fx_type::string, "WdfStringGetUnicodeString");
    if (UnicodeString == nullptr)
        violation("WdfStringGetUnicodeString: UnicodeString is NULL");
    string->get(UnicodeString);
}

}  // extern "C"
