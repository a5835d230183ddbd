// Framework memory objects: a buffer from pool, freed with the object, or a caller's buffer.
#pragma once

#include <wdf.h>

#include "wdf/fx_object.h"

namespace platform::wdf {

class fx_memory : public fx_object {
  public:
    fx_memory() : fx_object(fx_type::memory) {}

    void* buffer = nullptr;
    size_t size = 0;
    bool owns_buffer = false;  // allocated from pool with `tag`
    ULONG tag = 0;

    // Checks that [offset, offset + length) lies inside the buffer. A range that does not
    // fit fails with `too_small` (the framework reports STATUS_BUFFER_TOO_SMALL for a source
    // and STATUS_INVALID_BUFFER_SIZE for a destination).
    NTSTATUS check_range(size_t offset, size_t length, NTSTATUS too_small) const;

  protected:
    ~fx_memory() override;
};

}  // namespace platform::wdf
