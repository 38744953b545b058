// Files and loadable libraries on Windows. Paths are in the ANSI code page;
// `err` gets the C runtime's number for what failed.
#include <windows.h>

#include <cerrno>
#include <string>

#include "sdk/runtime/platform_files.h"

namespace kalax::platform {
namespace {

int errno_of(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_MOD_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: return EEXIST;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    default: return EIO;
    }
}

bool fail(int &err) {
    err = errno_of(GetLastError());
    return false;
}

bool write_all(HANDLE h, const char *p, size_t n) {
    while (n) {
        DWORD w = 0;
        if (!WriteFile(h, p, n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n), &w, nullptr) || w == 0)
            return false;
        p += w;
        n -= w;
    }
    return true;
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
    const std::string temp = path + ".new" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetCurrentThreadId());
    const HANDLE h = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail(err);
    if (!write_all(h, data.data(), data.size()) || !FlushFileBuffers(h)) {
        fail(err);
        CloseHandle(h);
        DeleteFileA(temp.c_str());
        return false;
    }
    if (!CloseHandle(h) ||
        !MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        fail(err);
        DeleteFileA(temp.c_str());
        return false;
    }
    return true;
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
