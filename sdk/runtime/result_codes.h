// Result codes shared by both clients.
#pragma once

namespace kalax {

enum Code : int {
#define X(code, name, text) k##name = code,
#include "sdk/runtime/result_codes.def"
#undef X
};

inline constexpr int kCodeCount = 90;

// The fixed message of `code`; "NULL" (entry 0) for a code with no entry.
const char *code_text(int code) noexcept;

// Result code of an HTTP status, or 0 when the status is not a failure.
constexpr int http_status_code(int status) noexcept {
    if (status >= 400 && status <= 417) return kHTTP_400 + (status - 400);
    if (status >= 500 && status <= 505) return kHTTP_500 + (status - 500);
    return 0;
}

}  // namespace kalax
