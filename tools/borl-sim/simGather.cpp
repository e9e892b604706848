#include "simGather.h"

#include <algorithm>

namespace borlsim {

namespace {
// Position of the first header in `buf`, or of a header prefix at its very end; buf.size() if
// neither.
size_t findHeader(const std::vector<uint8_t>& buf) {
    const size_t n = buf.size();
    for (size_t i = 0; i < n; ++i) {
        size_t k = 0;
        while (k < 3 && i + k < n && buf[i + k] == kRequestHeader[k])
            ++k;
        if (k == 3 || i + k == n)
            return i;
    }
    return n;
}

GatherEvent counted(GatherEvent::Type type, size_t count) {
    GatherEvent e;
    e.type = type;
    e.count = count;
    return e;
}
}  // namespace

void RequestGatherer::skip(size_t n) {
    const size_t absorbed = std::min(n, mAbsorb);
    mAbsorb -= absorbed;
    mGarbage += n - absorbed;
    mBuf.erase(mBuf.begin(), mBuf.begin() + static_cast<std::ptrdiff_t>(n));
}

void RequestGatherer::reportGarbage(std::vector<GatherEvent>& out) {
    if (mGarbage != 0)
        out.push_back(counted(GatherEvent::Type::Garbage, mGarbage));
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
    // Three bytes or more held back start with a whole header (feed reported the garbage
    // before it): a frame cut short. Fewer may be loose bytes or a header's start.
    if (mBuf.size() >= 3) {
        out.push_back(counted(GatherEvent::Type::Short, mBuf.size()));
        mBuf.clear();
    }
    skip(mBuf.size());
    reportGarbage(out);
    mAbsorb = 0;
}

}  // namespace borlsim
