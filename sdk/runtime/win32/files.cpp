// Whole-file reading and appending on Windows. File names are bytes in the
// system's ANSI code page, as the C runtime's own functions take them.
#include "sdk/runtime/files.h"

#include <windows.h>

#include <atomic>
#include <cerrno>
#include <new>
#include <string>

#include "sdk/runtime/win32/handle.h"

namespace kalax::platform {

namespace {

using win32::Handle;
using win32::keep_error;
using win32::write_all;

// A folder cannot be opened this way; a device, a pipe or a console opens
// without waiting and the type check then refuses it.
HANDLE open_regular(const char *path, DWORD access, DWORD disposition) {
    if (!path) {
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE h = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        keep_error();
        return h;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        errno = EACCES;
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

FileResult write_in_place(const char *path, const char *data, std::size_t length) {
    Handle h(CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE) {
        keep_error();
        return FileResult::OpenFailed;
    }
    if (!write_all(h.get(), data, length)) return FileResult::IoFailed;
    if (!h.close()) {
        keep_error();
        return FileResult::CloseFailed;
    }
    return FileResult::Ok;
}

}  // namespace

FileResult replace_file(const char *path, const char *data, std::size_t length) {
    if (!path || !*path) {
        errno = ENOENT;
        return FileResult::OpenFailed;
    }
    // Devices, folders and linked files are written as they are; only a plain
    // file (or none) is replaced.
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)))
        return write_in_place(path, data, length);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        Handle probe(CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (probe.get() == INVALID_HANDLE_VALUE || GetFileType(probe.get()) != FILE_TYPE_DISK)
            return write_in_place(path, data, length);
    }
    static std::atomic<unsigned> serial{0};
    const std::string temp = std::string(path) + ".part-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(serial.fetch_add(1));
    Handle h(CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE) {
        // A folder that takes no new file may still hold a writable file.
        if (GetLastError() == ERROR_ACCESS_DENIED) return write_in_place(path, data, length);
        keep_error();
        return FileResult::OpenFailed;
    }
    FileResult result = FileResult::Ok;
    if (!write_all(h.get(), data, length)) {
        result = FileResult::IoFailed;
    } else if (!FlushFileBuffers(h.get()) || !h.close() ||
               !MoveFileExA(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        keep_error();
        result = FileResult::CloseFailed;
    }
    if (result != FileResult::Ok) {
        const int saved = errno;
        if (h.get() != INVALID_HANDLE_VALUE) h.close();
        DeleteFileA(temp.c_str());
        errno = saved;
    }
    return result;
}

PathKind path_kind(const char *path) {
    if (!path) return PathKind::Missing;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return PathKind::Other;
    return PathKind::Regular;
}

FileResult read_file(const char *path, std::size_t limit, std::vector<char> &out) {
    Handle h(open_regular(path, GENERIC_READ, OPEN_EXISTING));
    if (h.get() == INVALID_HANDLE_VALUE) return FileResult::OpenFailed;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h.get(), &size)) {
        keep_error();
        return FileResult::IoFailed;
    }
    if (static_cast<unsigned long long>(size.QuadPart) > limit) return FileResult::TooLarge;
    try {
        out.reserve(static_cast<std::size_t>(size.QuadPart) + 1);
        out.resize(static_cast<std::size_t>(size.QuadPart));
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return FileResult::NoMemory;
    }
    std::size_t got = 0;
    while (got < out.size()) {
        const std::size_t want = out.size() - got;
        DWORD n = 0;
        if (!ReadFile(h.get(), out.data() + got, want > 0x40000000u ? 0x40000000u : static_cast<DWORD>(want), &n,
                      nullptr)) {
            keep_error();
            return FileResult::IoFailed;
        }
        if (n == 0) {  // shorter than it said: not read whole
            errno = EIO;
            return FileResult::IoFailed;
        }
        got += n;
    }
    return FileResult::Ok;
}

FileResult append_file(const char *path, const char *data, std::size_t length) {
    Handle h(open_regular(path, GENERIC_WRITE, OPEN_ALWAYS));
    if (h.get() == INVALID_HANDLE_VALUE) return FileResult::OpenFailed;
    LARGE_INTEGER start{};
    const LARGE_INTEGER zero{};
    if (!SetFilePointerEx(h.get(), zero, &start, FILE_END)) {
        keep_error();
        return FileResult::IoFailed;
    }
    bool ok = write_all(h.get(), data, length);
    if (ok && !FlushFileBuffers(h.get())) {
        keep_error();
        ok = false;
    }
    if (!ok) {
        // Nothing of a failed append stays: no cut line at the file's end.
        const int saved = errno;
        if (SetFilePointerEx(h.get(), start, nullptr, FILE_BEGIN) && SetEndOfFile(h.get())) FlushFileBuffers(h.get());
        errno = saved;
        return FileResult::IoFailed;
    }
    if (!h.close()) {
        keep_error();
        return FileResult::IoFailed;
    }
    return FileResult::Ok;
}

}  // namespace kalax::platform
