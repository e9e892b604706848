#include "sendQueue.h"

namespace vexaobj {

namespace {

// Written lines kept for reuse by push(): at most this many, each of at most this capacity.
constexpr size_t kSpareLines = 32;
constexpr size_t kSpareCapacity = 512;

}  // namespace

bool SendQueue::push(const std::string& line) {
    std::string entry;
    if (!mSpare.empty() && mSpare.back().capacity() <= 2 * line.size() + 64) {
        entry.swap(mSpare.back());
        mSpare.pop_back();
    }
    entry.assign(line);
    mLines.push_back(std::move(entry));
    if (mLines.size() <= mLimit)
        return false;
    auto oldest = mLines.begin() + (mHeadOffset > 0 ? 1 : 0);
    recycle(*oldest);
    mLines.erase(oldest);
    ++mDroppedTotal;
    ++mDroppedUnreported;
    return true;
}

size_t SendQueue::gather(iovec* iov) const {
    size_t n = 0;
    size_t bytes = 0;
    for (; n < mLines.size() && n < kGatherLines && bytes < kGatherBytes; ++n) {
        const size_t skip = n == 0 ? mHeadOffset : 0;
        iov[n].iov_base = const_cast<char*>(mLines[n].data()) + skip;
        iov[n].iov_len = mLines[n].size() - skip;
        bytes += iov[n].iov_len;
    }
    return n;
}

size_t SendQueue::written(size_t bytes) {
    size_t completed = 0;
    for (; bytes > 0; ++completed) {
        const size_t rest = mLines.front().size() - mHeadOffset;
        if (bytes < rest) {
            mHeadOffset += bytes;
            break;
        }
        bytes -= rest;
        mHeadOffset = 0;
        recycle(mLines.front());
        mLines.pop_front();
    }
    return completed;
}

size_t SendQueue::takeUnreported() {
    const size_t n = mDroppedUnreported;
    mDroppedUnreported = 0;
    return n;
}

void SendQueue::recycle(std::string& line) {
    if (mSpare.size() < kSpareLines && line.capacity() <= kSpareCapacity)
        mSpare.push_back(std::move(line));
}

}  // namespace vexaobj
