// The operating system's files and loadable libraries, for the component
// runtime: whole-file reads, locked and atomic whole-file replacement, and
// loading a library to look up its entry points.
#pragma once

#include <string>

namespace kalax::platform {

// Reads the whole file. false with `err` = errno (ENOENT for a missing file).
bool file_read(const std::string &path, std::string &out, int &err);

// Creates the folder and its parents as needed (mode 0755).
bool folder_make(const std::string &path, int &err);

// An exclusive lock held on `path` (created when missing) until destruction.
// Locks between processes; waits while another holder has it.
class FileLock {
public:
    FileLock() = default;
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    ~FileLock();
    bool lock(const std::string &path, int &err);

private:
    int fd_ = -1;
};

// Replaces `path` with `data` whole: written to a fresh file beside it, flushed
// to disk, renamed over the old one. A crash leaves the old file or the new
// one, never a part. The new file gets `mode` (0644 usual).
bool file_replace(const std::string &path, const std::string &data, int &err);

// A loaded library. Symbols stay valid while it is held; a library is never
// unloaded under code that may still run, so release() only drops the handle.
class Library {
public:
    Library() = default;
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;
    ~Library();
    // false with the loader's message in `error`.
    bool open(const std::string &path, std::string &error);
    void *symbol(const char *name) const;

private:
    void *handle_ = nullptr;
};

// The full path of the loaded file (library or program) that holds `address`;
// empty when the loader does not know it.
std::string loaded_file_of(const void *address);

}  // namespace kalax::platform
