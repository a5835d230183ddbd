// Framework string objects: a counted UTF-16 string the object owns.
#pragma once

#include <wdf.h>

#include <string>
#include <string_view>

#include "wdf/fx_object.h"

namespace platform::wdf {

class fx_string : public fx_object {
  public:
    fx_string() : fx_object(fx_type::string) {}

    // Replaces the text. STATUS_INVALID_PARAMETER when it does not fit a UNICODE_STRING.
    NTSTATUS assign(std::u16string_view text);
    // A UNICODE_STRING over the object's own buffer, valid until the text changes or the
    // object goes.
    void get(PUNICODE_STRING out) const;
    std::u16string_view text() const { return text_; }

  protected:
    ~fx_string() override = default;

  private:
    std::u16string text_;
};

}  // namespace platform::wdf
