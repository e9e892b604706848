#include "simGather.h"

#include <algorithm>

namespace borlsim {

namespace {
const uint8_t kHeader[3] = {0x41, 0x49, 0x4F};  // "A", "I", "O"

// Position of the first header in `buf`, or of a header prefix at its very end; buf.size() if
// neither.
size_t findHeader(const std::vector<uint8_t>& buf) {
    const size_t n = buf.size();
    for (size_t i = 0; i < n; ++i) {
        size_t k = 0;
        while (k < 3 && i + k < n && buf[i + k] == kHeader[k])
            ++k;
        if (k == 3 || i + k == n)
            return i;
    }
    return n;
}
}  // namespace

void RequestGatherer::skip(size_t n) {
    const size_t absorbed = std::min(n, mAbsorb);
    mAbsorb -= absorbed;
    mGarbage += n - absorbed;
    mBuf.erase(mBuf.begin(), mBuf.begin() + static_cast<std::ptrdiff_t>(n));
}

void RequestGatherer::reportGarbage(std::vector<GatherEvent>& out) {
    if (mGarbage == 0)
        return;
    GatherEvent e;
    e.type = GatherEvent::Type::Garbage;
    e.count = mGarbage;
    out.push_back(e);
    mGarbage = 0;
}

void RequestGatherer::feed(const uint8_t* data, size_t n, std::vector<GatherEvent>& out) {
    mBuf.insert(mBuf.end(), data, data + n);
    for (;;) {
        skip(findHeader(mBuf));
        if (mBuf.size() < 3)
            return;  // at most a header prefix: wait for more
        // A full header sits at position 0; the frame it starts ends the faulty one before.
        mAbsorb = 0;
        reportGarbage(out);
        if (mBuf.size() < kFrameSize)
            return;

        GatherEvent e;
        e.type = GatherEvent::Type::Complete;
        std::copy(mBuf.begin(), mBuf.begin() + kFrameSize, e.frame.begin());
        e.request = parseRequest(e.frame.data());
        out.push_back(e);
        if (e.request.kind == RequestKind::Bad && isFramingFault(e.request.reason)) {
            // The boundary is in doubt: look for the next header inside this frame, and count
            // the bytes passed over on the way as part of the faulty frame, not as garbage.
            mBuf.erase(mBuf.begin());
            mAbsorb = kFrameSize - 1;
        } else {
            mBuf.erase(mBuf.begin(), mBuf.begin() + kFrameSize);
        }
    }
}

void RequestGatherer::flush(std::vector<GatherEvent>& out) {
    if (mBuf.size() >= 3) {
        GatherEvent e;
        e.type = GatherEvent::Type::Short;
        e.count = mBuf.size();
        reportGarbage(out);
        out.push_back(e);
        mBuf.clear();
    } else {
        skip(mBuf.size());
        reportGarbage(out);
    }
    mAbsorb = 0;
    mGarbage = 0;
}

}  // namespace borlsim
