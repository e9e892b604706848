// Reading the small files of start-up safely: only regular files, never more than a fixed size,
// and never an open that can block (a FIFO put where a file is expected).
#pragma once

#include <cstddef>
#include <string>

namespace qutils {

// Largest file read at start-up: the configuration file and every XML file.
constexpr size_t kMaxStartupFileSize = 1048576;

struct FileRead {
    enum Status {
        Ok,
        NotRegular,  // a FIFO, device, directory or socket: never opened for reading
        TooBig,      // larger than the limit
        Failed       // missing, not permitted, or a read error
    };
    Status status = Failed;
    std::string reason;  // why it was not read, e.g. "a FIFO, not a regular file"
};

// Reads the whole of `path` into `content` when it is a regular file (a symbolic link to one
// counts) of at most `limit` bytes. The type is checked before the open, the open does not block,
// and the type and size are checked again on the open descriptor.
FileRead readBoundedFile(const char* path, std::string& content,
                         size_t limit = kMaxStartupFileSize);

}  // namespace qutils
