// The message table and its exported lookup.
#include "sdk/runtime/result_codes.h"

#include <cstring>

#include "kalax/zx.h"

namespace kalax {

namespace {

struct Entry {
    int code;
    const char *text;
};

constexpr Entry kTable[] = {
#define X(code, name, text) {code, text},
#include "sdk/runtime/result_codes.def"
#undef X
};
static_assert(sizeof kTable / sizeof kTable[0] == kCodeCount);

constexpr bool messages_fit() {
    for (const Entry &e : kTable) {
        size_t n = 0;
        while (e.text[n]) ++n;
        if (n + 1 > ZX_ERROR_TEXT_MIN) return false;
    }
    return true;
}
static_assert(messages_fit(), "zx_error_i2s promises 38-byte buffers suffice");

}  // namespace

const char *code_text(int code) noexcept {
    for (const Entry &e : kTable)
        if (e.code == code) return e.text;
    return kTable[0].text;
}

}  // namespace kalax

extern "C" int zx_error_i2s(int code, char *buffer) {
    if (buffer) std::strcpy(buffer, kalax::code_text(code));
    return 0;
}
