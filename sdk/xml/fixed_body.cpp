#include "sdk/xml/fixed_body.h"

#include <cstring>

#include "sdk/runtime/result_codes.h"

namespace kalax::xml {

int FixedBody::body(const char *data, size_t count) {
    if (count == 0) return 0;
    if (static_cast<size_t>(length_) + count >= static_cast<size_t>(capacity_)) return kBUFFER_LIMIT;
    std::memmove(buffer_ + length_, data, count);  // the bytes may have been read into room()
    length_ += static_cast<int>(count);
    buffer_[length_] = '\0';
    return 0;
}

char *FixedBody::room(size_t *size) {
    const long free = static_cast<long>(capacity_) - length_ - 2;
    *size = free > 0 ? static_cast<size_t>(free) : 0;
    return free > 0 ? buffer_ + length_ + 1 : nullptr;
}

}  // namespace kalax::xml
