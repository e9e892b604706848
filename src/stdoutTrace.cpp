// Standard output trace lines without blocking: poll for room first, then one write per line.
// A pipe or terminal that reports room takes a short line whole without blocking; a regular file
// or /dev/null always has room.
#include "stdoutTrace.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "cQlog.h"

namespace {

std::atomic<uint64_t> gDropped{0};

}  // namespace

void stdoutLine(const char* text) {
    std::string line(text);
    line += '\n';
    pollfd p{STDOUT_FILENO, POLLOUT, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, 0);
    } while (ready < 0 && errno == EINTR);
    bool written = false;
    if (ready == 1 && (p.revents & POLLOUT)) {
        ssize_t w;
        do {
            w = ::write(STDOUT_FILENO, line.data(), line.size());
        } while (w < 0 && errno == EINTR);
        written = w == static_cast<ssize_t>(line.size());
    }
    if (!written && gDropped.fetch_add(1) == 0) {
        // Said once; the link statistics line carries the count from then on.
        cQlog::getLog("dornManager")
            .warn(
                "Standard output does not take the trace lines (a pipe nobody reads?): "
                "they are dropped from now on while it stays full");
    }
}

uint64_t stdoutLinesDropped() {
    return gDropped.load();
}
