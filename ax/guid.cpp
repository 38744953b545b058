// GUID texts and the module's lock count.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "ax/com.h"

namespace kalax::ax {

std::string guid_text(const GUID &g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

bool guid_parse(std::string_view s, GUID &out) {
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    if (s.size() != 38 || s[0] != '{' || s[37] != '}' || s[9] != '-' || s[14] != '-' || s[19] != '-' || s[24] != '-')
        return false;
    uint8_t bytes[16];
    size_t at = 1;
    for (uint8_t &b : bytes) {
        if (s[at] == '-') ++at;
        int v = 0;
        for (int k = 0; k < 2; ++k, ++at) {
            const char c = s[at];
            const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0) return false;
            v = v * 16 + d;
        }
        b = static_cast<uint8_t>(v);
    }
    out.Data1 = static_cast<uint32_t>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
    out.Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    out.Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
    std::memcpy(out.Data4, bytes + 8, 8);
    return true;
}

namespace {
std::atomic<long> g_module_locks{0};
}
void module_lock() { ++g_module_locks; }
void module_unlock() { --g_module_locks; }
long module_locks() { return g_module_locks.load(); }

}  // namespace kalax::ax
