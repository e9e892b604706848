// The messages waiting for vexad: a bounded queue of encoded lines, oldest first, that remembers
// how much of its first line a write has sent. Not synchronised: the client holds its one lock
// around every call. Knows no socket: a write is gathered from it and then reported to it.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

namespace vexaobj {

class SendQueue {
public:
    // One write takes at most this many lines, and stops adding once this many bytes are
    // gathered. A burst of a poll cycle (20 lines, about 2 kB) is one write.
    static constexpr size_t kGatherLines = 64;
    static constexpr size_t kGatherBytes = 65536;

    explicit SendQueue(size_t limit) : mLimit(limit) {}

    // Queues a copy of one encoded line (with its "\n"), in the buffer of a line written earlier
    // where one of about its size is at hand, so that steady traffic does not allocate. Beyond
    // the limit the oldest line is dropped, but never one partly written: that one goes out
    // whole and the next oldest is dropped instead. True when a line was dropped.
    bool push(const std::string& line);
    // Points `iov` (room for kGatherLines) at the lines from the first on, the part of the first
    // already written left out; the number of entries used.
    size_t gather(iovec* iov) const;
    // Counts `bytes` written off the front: lines completely written leave the queue, and the
    // next one remembers how much of it went. The number of lines completed.
    size_t written(size_t bytes);
    // The connection is lost: a line partly written will be sent again whole.
    void restartLine() { mHeadOffset = 0; }

    bool empty() const { return mLines.empty(); }
    size_t size() const { return mLines.size(); }
    size_t limit() const { return mLimit; }
    size_t droppedTotal() const { return mDroppedTotal; }
    // The lines dropped and not yet named in a log line; take resets the count.
    size_t unreported() const { return mDroppedUnreported; }
    size_t takeUnreported();

private:
    // Keeps a written or dropped line's buffer for reuse.
    void recycle(std::string& line);

    const size_t mLimit;
    std::deque<std::string> mLines;   // encoded lines with their "\n", oldest first
    std::vector<std::string> mSpare;  // emptied buffers for the next lines
    size_t mHeadOffset = 0;           // bytes of mLines.front() written
    size_t mDroppedTotal = 0;         // since the start
    size_t mDroppedUnreported = 0;    // not yet named in a log line
};

}  // namespace vexaobj
