// The messages waiting for vexad: a bounded queue of encoded lines, oldest first, that remembers
// how much of its first line a write has sent. Not synchronised: the client holds its one lock
// around every call. Knows no socket: a write is gathered from it and then reported to it.
//
// When full it drops a sample before anything else: a sample is one reading among a second's,
// and the next one says the same again, while a status, a capability or a reply is said once
// (vexad would show the device offline for good if its "online" event were the one dropped).
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace vexaobj {

class SendQueue {
public:
    // One write takes at most this many lines, and stops adding once this many bytes are
    // gathered. A burst of a poll cycle (20 lines, about 2 kB) is one write.
    static constexpr size_t kGatherLines = 64;
    static constexpr size_t kGatherBytes = 65536;

    explicit SendQueue(size_t limit) : mLimit(limit) {}

    // Queues a copy of one encoded line (with its "\n"; `sample`: a sample event), in the buffer
    // of a line written earlier where one of about its size is at hand, so that steady traffic
    // does not allocate. Beyond the limit the oldest sample is dropped, or the oldest line when
    // no sample is queued, but never a line partly written: that one goes out whole. True when a
    // line was dropped.
    bool push(const std::string& line, bool sample = false) {
        Line entry{{}, sample};
        if (!mSpare.empty() && mSpare.back().capacity() <= 2 * line.size() + 64) {
            entry.text.swap(mSpare.back());
            mSpare.pop_back();
        }
        entry.text.assign(line);
        mLines.push_back(std::move(entry));
        mSamples += sample;
        if (mLines.size() <= mLimit)
            return false;
        const bool cut = mHeadOffset > 0;  // the first line is partly written
        const size_t cutSample = cut && mLines.front().sample ? 1 : 0;
        auto dropped = mLines.begin() + (cut ? 1 : 0);
        while (mSamples > cutSample && !dropped->sample)
            ++dropped;  // a sample is queued behind: the oldest of them goes
        mSamples -= dropped->sample;
        recycle(dropped->text);
        mLines.erase(dropped);
        ++mDroppedTotal;
        ++mDroppedUnreported;
        return true;
    }
    // Points `iov` (room for kGatherLines) at the lines from the first on, the part of the first
    // already written left out; the number of entries used.
    size_t gather(iovec* iov) const {
        size_t n = 0;
        size_t bytes = 0;
        for (; n < mLines.size() && n < kGatherLines && bytes < kGatherBytes; ++n) {
            const size_t skip = n == 0 ? mHeadOffset : 0;
            iov[n].iov_base = const_cast<char*>(mLines[n].text.data()) + skip;
            iov[n].iov_len = mLines[n].text.size() - skip;
            bytes += iov[n].iov_len;
        }
        return n;
    }
    // Counts `bytes` written off the front: lines completely written leave the queue, and the
    // next one remembers how much of it went. The number of lines completed.
    size_t written(size_t bytes) {
        size_t completed = 0;
        for (; bytes > 0; ++completed) {
            const size_t rest = mLines.front().text.size() - mHeadOffset;
            if (bytes < rest) {
                mHeadOffset += bytes;
                break;
            }
            bytes -= rest;
            mHeadOffset = 0;
            mSamples -= mLines.front().sample;
            recycle(mLines.front().text);
            mLines.pop_front();
        }
        return completed;
    }
    // The connection is lost: a line partly written will be sent again whole.
    void restartLine() { mHeadOffset = 0; }

    bool empty() const { return mLines.empty(); }
    size_t size() const { return mLines.size(); }
    size_t limit() const { return mLimit; }
    size_t droppedTotal() const { return mDroppedTotal; }
    // The lines dropped and not yet named in a log line; take resets the count.
    size_t unreported() const { return mDroppedUnreported; }
    size_t takeUnreported() { return std::exchange(mDroppedUnreported, 0); }

private:
    // Written lines kept for reuse by push(): at most this many, each of at most this capacity.
    static constexpr size_t kSpareLines = 32;
    static constexpr size_t kSpareCapacity = 512;

    // Keeps a written or dropped line's buffer for reuse.
    void recycle(std::string& line) {
        if (mSpare.size() < kSpareLines && line.capacity() <= kSpareCapacity)
            mSpare.push_back(std::move(line));
    }

    struct Line {
        std::string text;  // the encoded message with its "\n"
        bool sample;       // a sample event: dropped first
    };

    const size_t mLimit;
    std::deque<Line> mLines;          // oldest first
    size_t mSamples = 0;              // lines of mLines that are samples
    std::vector<std::string> mSpare;  // emptied buffers for the next lines
    size_t mHeadOffset = 0;           // bytes of mLines.front() written
    size_t mDroppedTotal = 0;         // since the start
    size_t mDroppedUnreported = 0;    // not yet named in a log line
};

}  // namespace vexaobj
