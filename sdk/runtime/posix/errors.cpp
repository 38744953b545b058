// The system's error texts on POSIX.
#include <cstdio>
#include <cstring>

#include "sdk/runtime/platform.h"

namespace kalax::platform {

namespace {

// strerror_r comes in two forms: the POSIX one returns 0 and fills the buffer,
// the GNU one returns the text (which may be a static string). Whichever the C
// library declares, one of these takes its result.
[[maybe_unused]] const char *text_of(int rc, const char *buffer) { return rc == 0 ? buffer : nullptr; }
[[maybe_unused]] const char *text_of(const char *text, const char *) { return text; }

}  // namespace

void error_text(int err, char *out, size_t size) {
    if (!out || size == 0) return;
    char scratch[256] = {};
    const char *text = text_of(strerror_r(err, scratch, sizeof scratch), scratch);
    std::snprintf(out, size, "%s", text ? text : "");
}

}  // namespace kalax::platform
