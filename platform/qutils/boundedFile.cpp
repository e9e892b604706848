#include "boundedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qutils {

namespace {

std::string tooBig(size_t limit) {
    return "larger than " + std::to_string(limit) + " bytes";
}

// "a FIFO", "a directory", "a character device", ... for the file type bits of `mode`.
const char* fileKind(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFREG:
            return "a regular file";
        case S_IFDIR:
            return "a directory";
        case S_IFIFO:
            return "a FIFO";
        case S_IFCHR:
            return "a character device";
        case S_IFBLK:
            return "a block device";
        case S_IFSOCK:
            return "a socket";
        case S_IFLNK:
            return "a symbolic link";
        default:
            return "a special file";
    }
}

std::string notRegular(mode_t mode) {
    return std::string(fileKind(mode)) + ", not a regular file";
}

// What stat() tells of a file before it is opened; Ok when it may be read.
FileRead::Status judge(const struct stat& st, size_t limit, std::string& reason) {
    if (!S_ISREG(st.st_mode)) {
        reason = notRegular(st.st_mode);
        return FileRead::NotRegular;
    }
    if (static_cast<unsigned long long>(st.st_size) > limit) {
        reason = tooBig(limit);
        return FileRead::TooBig;
    }
    return FileRead::Ok;
}

// Reads the open file `fd` whole into `content`, at most `limit` bytes.
FileRead readOpenFile(int fd, std::string& content, size_t limit) {
    FileRead result;
    char buf[16384];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result.reason = strerror(errno);
            content.clear();
            return result;
        }
        if (n == 0)
            break;
        if (content.size() + static_cast<size_t>(n) > limit) {  // it grew while being read
            result.status = FileRead::TooBig;
            result.reason = tooBig(limit);
            content.clear();
            return result;
        }
        content.append(buf, static_cast<size_t>(n));
    }
    result.status = FileRead::Ok;
    return result;
}

}  // namespace

FileRead readBoundedFile(const char* path, std::string& content, size_t limit) {
    FileRead result;
    content.clear();
    if (path == nullptr) {
        result.reason = "no path";
        return result;
    }
    // The type first, without opening: opening a tty would move its modem lines, a FIFO would
    // wait for a writer.
    struct stat st;
    if (stat(path, &st) != 0) {
        result.reason = strerror(errno);
        return result;
    }
    result.status = judge(st, limit, result.reason);
    if (result.status != FileRead::Ok)
        return result;
    // The entry may have been replaced meanwhile: open without blocking and look again.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        result.status = FileRead::Failed;
        result.reason = strerror(errno);
        return result;
    }
    if (fstat(fd, &st) != 0) {
        result.status = FileRead::Failed;
        result.reason = strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        result.status = FileRead::NotRegular;
        result.reason = notRegular(st.st_mode);
    } else {
        result = readOpenFile(fd, content, limit);
    }
    close(fd);
    return result;
}

}  // namespace qutils
