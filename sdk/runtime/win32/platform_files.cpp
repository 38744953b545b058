// Files and loadable libraries on Windows. Paths are in the ANSI code page;
// `err` gets the C runtime's number for what failed.
#include <windows.h>

#include <cerrno>
#include <string>

#include "sdk/runtime/files.h"
#include "sdk/runtime/platform_files.h"
#include "sdk/runtime/win32/handle.h"

namespace kalax::platform {
namespace {

using win32::errno_of;

bool fail(int &err) {
    err = errno_of(GetLastError());
    return false;
}

bool is_separator(char c) { return c == '/' || c == '\\'; }

}  // namespace

bool file_read(const std::string &path, std::string &out, int &err) {
    out.clear();
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail(err);
    char buf[8192];
    for (;;) {
        DWORD r = 0;
        if (!ReadFile(h, buf, sizeof buf, &r, nullptr)) {
            fail(err);
            CloseHandle(h);
            return false;
        }
        if (r == 0) break;
        out.append(buf, r);
    }
    CloseHandle(h);
    return true;
}

bool folder_make(const std::string &path, int &err) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && !is_separator(path[at])) continue;
        const std::string part = path.substr(0, at);
        if (part.size() == 2 && part[1] == ':') continue;  // a drive
        if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return fail(err);
    }
    return true;
}

FileLock::~FileLock() {
    if (fd_ >= 0) CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd_)));  // closing drops the lock
}

// File handles are small numbers, so the handle fits the descriptor's place.
bool FileLock::lock(const std::string &path, int &err) {
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail(err);
    OVERLAPPED at{};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &at)) {
        fail(err);
        CloseHandle(h);
        return false;
    }
    fd_ = static_cast<int>(reinterpret_cast<intptr_t>(h));
    return true;
}

bool file_replace(const std::string &path, const std::string &data, int &err) {
    if (replace_file(path.c_str(), data.data(), data.size()) == FileResult::Ok) return true;
    err = errno;
    return false;
}

Library::~Library() {
    // Kept loaded: objects and class factories of the library may outlive this handle.
}

bool Library::open(const std::string &path, std::string &error) {
    handle_ = LoadLibraryA(path.c_str());
    if (!handle_) {
        error = "cannot load " + path + " (system error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    return true;
}

void *Library::symbol(const char *name) const {
    if (!handle_) return nullptr;
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

std::string loaded_file_of(const void *address) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCSTR>(address), &module))
        return {};
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetModuleFileNameA(module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        if (path.size() >= 32768) return {};
        path.resize(path.size() * 2);
    }
}

}  // namespace kalax::platform
