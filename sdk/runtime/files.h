// Whole-file reading, appending and replacing for the files the library loads
// and writes. File names are bytes in the file system's own encoding, taken as given.
#pragma once

#include <cstddef>
#include <vector>

namespace kalax::platform {

enum class FileResult {
    Ok,
    OpenFailed,  // missing, not permitted, or not a regular file
    TooLarge,    // longer than the caller's limit
    NoMemory,
    IoFailed,    // could not be read or written whole
    CloseFailed, // written, but could not be closed or put in place
};

enum class PathKind { Missing, Regular, Other };

// What `path` names, without opening it (a FIFO is never waited on).
PathKind path_kind(const char *path);

// Reads the regular file `path` whole into `out` (resized to its length).
// Anything but a regular file (a FIFO, a device, a folder) is refused as
// OpenFailed at once, never waited on. A file longer than `limit` bytes is
// TooLarge and nothing is kept. Room for one more byte (a terminator the
// caller may add) is reserved.
FileResult read_file(const char *path, std::size_t limit, std::vector<char> &out);

// Appends `length` bytes to the regular file `path`, made when missing, as one
// whole: the bytes are on disk when it returns Ok; when they cannot be written
// whole the file is cut back to the length it had (IoFailed).
FileResult append_file(const char *path, const char *data, std::size_t length);

// Makes `length` bytes the whole content of `path`, as opening it for writing
// would, but without ever leaving a part: a regular file (or a missing one) is
// written beside itself, flushed and renamed over, so a failure leaves the old
// content (a symbolic link is followed, the old file's permissions are kept).
// Anything else (a FIFO, a device, standard output) is written in place, and so
// is a file whose folder takes no new file. errno tells what failed.
FileResult replace_file(const char *path, const char *data, std::size_t length);

}  // namespace kalax::platform
