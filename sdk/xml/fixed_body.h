// Where the XML client's worker receives a document: the module's fixed
// receive buffer (buffer_size_max bytes), which a unit's reply must fit whole.
#pragma once

#include <cstddef>

#include "sdk/runtime/transport.h"

namespace kalax::xml {

// A fixed buffer, kept NUL-terminated, that fails the response with code 12
// ("File size >= buffer_size_max") once the body and its terminator would not
// fit: a 20000-byte buffer takes a body of at most 19999 bytes.
class FixedBody final : public rt::BodySink {
public:
    FixedBody(char *buffer, int capacity) : buffer_(buffer), capacity_(capacity) {}
    int body(const char *data, size_t count) override;
    // The free part of the buffer, less one byte for the terminator and one
    // before it, so the text stays terminated whatever a read writes there.
    char *room(size_t *size) override;
    int length() const { return length_; }

private:
    char *buffer_;
    int capacity_;
    int length_ = 0;
};

}  // namespace kalax::xml
