// String helpers exported for callers of both clients. None of them allocates,
// locks or records an error.
#include <cstdint>
#include <cstring>

#include "kalax/zx.h"

namespace {

bool is_delimiter(char c, const char *delim) {
    if (delim == nullptr) return false;
    for (const char *d = delim; *d != '\0'; ++d) {
        if (*d == c) return true;
    }
    return false;
}

}  // namespace

extern "C" {

char *zx_strsep(char **stringp, const char *delim) {
    if (stringp == nullptr || *stringp == nullptr) return nullptr;
    char *start = *stringp;
    char *p = start;
    while (*p != '\0' && !is_delimiter(*p, delim)) ++p;
    if (*p == '\0') {
        *stringp = nullptr;
    } else {
        *p = '\0';
        *stringp = p + 1;
    }
    return start;
}

char *zx_strtok_r(char *str, const char *delim, char **saveptr) {
    if (saveptr == nullptr) return nullptr;
    char *p = str != nullptr ? str : *saveptr;
    if (p == nullptr) return nullptr;
    while (*p != '\0' && is_delimiter(*p, delim)) ++p;
    if (*p == '\0') {
        *saveptr = nullptr;
        return nullptr;
    }
    char *token = p;
    while (*p != '\0' && !is_delimiter(*p, delim)) ++p;
    if (*p == '\0') {
        *saveptr = nullptr;
    } else {
        *p = '\0';
        *saveptr = p + 1;
    }
    return token;
}

char *zx_basename(char *path) {
    if (path == nullptr) return nullptr;
    const size_t length = std::strlen(path);
    if (length <= 1) return path;
    char &last = path[length - 1];
    if (last == '\\' || last == '/') last = '\0';
    // A backslash anywhere wins over any slash, even one standing after it.
    if (char *backslash = std::strrchr(path, '\\'); backslash != nullptr) return backslash + 1;
    if (char *slash = std::strrchr(path, '/'); slash != nullptr) return slash + 1;
    return path;
}

int32_t zx_htoi(const char *text) {
    if (text == nullptr) return 0;
    // Unsigned arithmetic wraps without undefined behaviour; the conversion
    // back to int32_t is modular.
    uint32_t value = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        const char c = *p;
        uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            continue;
        }
        value = value * 16u + digit;
    }
    return static_cast<int32_t>(value);
}

}  // extern "C"
