#include "sdk/xml/fixed_body.h"

#include <cstring>

#include "sdk/runtime/result_codes.h"

namespace kalax::xml {

int FixedBody::body(const char *data, size_t count) {
    if (count == 0) return 0;
    if (static_cast<size_t>(length_) + count >= static_cast<size_t>(capacity_)) return kBUFFER_LIMIT;
    std::memcpy(buffer_ + length_, data, count);
    length_ += static_cast<int>(count);
    buffer_[length_] = '\0';
    return 0;
}

}  // namespace kalax::xml
