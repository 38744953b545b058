// kalax register / unregister: make the library's automation objects known to
// hosts, or forget them, through the server entry points of the library this
// tool runs with (what registering a server does on Linux).
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "kalax/ax.h"
#include "tools/cli/commands.h"

namespace kalax::cli {

namespace {

// The file the library's registry uses: as it chooses it.
std::string registry_file() {
    if (const char *f = std::getenv("KALAX_REGISTRY"); f && *f) return f;
    if (const char *d = std::getenv("XDG_DATA_HOME"); d && *d) return std::string(d) + "/kalax/registry.reg";
    const char *home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.local/share/kalax/registry.reg";
}

std::string utf8_of(BSTR b) {
    std::string out;
    const UINT n = zxax_SysStringLen(b);
    for (UINT i = 0; i < n; ++i) {
        char32_t c = b[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && b[i + 1] >= 0xDC00 && b[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (b[++i] - 0xDC00);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The failure's own words from the thread's error info, or its code.
[[noreturn]] void fail_with(HRESULT hr, const std::string &what) {
    std::string text;
    IErrorInfo *info = nullptr;
    if (zxax_GetErrorInfo(0, &info) == S_OK && info) {
        BSTR d = nullptr;
        if (SUCCEEDED(info->GetDescription(&d))) text = utf8_of(d);
        zxax_SysFreeString(d);
        info->Release();
    }
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    throw std::runtime_error(what + ": " + (text.empty() ? std::string("failed") : text) + " [" + code + "]");
}

void use_registry(const Options &o) {
    if (!o.registry.empty() && setenv("KALAX_REGISTRY", o.registry.c_str(), 1) != 0)
        throw std::runtime_error("cannot select the registry file " + o.registry);
}

}  // namespace

int cmd_register(const Options &o) {
    use_registry(o);
    const HRESULT hr = DllRegisterServer();
    if (FAILED(hr)) fail_with(hr, "registering in " + registry_file());
    if (!o.quiet)
        std::printf("registered KalAx.IoXml, KalAx.KalLog and the type library KalAx 1.0 in %s\n",
                    registry_file().c_str());
    return 0;
}

int cmd_unregister(const Options &o) {
    use_registry(o);
    const HRESULT hr = DllUnregisterServer();
    if (FAILED(hr)) fail_with(hr, "unregistering in " + registry_file());
    if (!o.quiet)
        std::printf("removed KalAx.IoXml and KalAx.KalLog from %s (the type library stays registered)\n",
                    registry_file().c_str());
    return 0;
}

}  // namespace kalax::cli
