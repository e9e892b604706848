#include "simFrame.h"

#include <algorithm>
#include <cstring>

namespace borlsim {

namespace {
constexpr size_t kChecksumAt = 126;
constexpr size_t kEndAt = 127;
constexpr size_t kTrailerAt = 123;  // first terminator byte

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

uint8_t frameChecksum(const uint8_t* data, size_t len) {
    uint8_t sum = 0;
    for (size_t i = 0; i < len; ++i)
        sum = static_cast<uint8_t>(sum + data[i]);
    return static_cast<uint8_t>(0xFF - sum);
}

bool selectionFor(int param, uint8_t sel[3]) {
    sel[0] = sel[1] = sel[2] = 0;
    if (param < 1 || param > kMaxParam)
        return false;
    const uint32_t bits = (1u << (param + 3)) | (param == kMaxParam ? 1u : 0u);
    sel[0] = static_cast<uint8_t>(bits);
    sel[1] = static_cast<uint8_t>(bits >> 8);
    sel[2] = static_cast<uint8_t>(bits >> 16);
    return true;
}

Request parseRequest(const uint8_t* f) {
    Request r;
    const auto bad = [&r](const char* reason) {
        r.reason = reason;
        return r;
    };
    if (std::memcmp(f, kRequestHeader, 3) != 0)
        return bad("header");
    if (std::memcmp(f + kTrailerAt, "OIA", 3) != 0)
        return bad("terminator");
    if (f[kChecksumAt] != frameChecksum(f, kChecksumAt))
        return bad("checksum");
    if (f[kEndAt] != kEndByte)
        return bad("end");
    if (f[8] != kControllerId)
        return bad("id");

    // Which parameter do the selection bytes name? None is a poll.
    int param = 0;
    if (f[3] != 0 || f[4] != 0 || f[5] != 0) {
        for (int p = 1; p <= kMaxParam && param == 0; ++p) {
            uint8_t sel[3];
            selectionFor(p, sel);
            if (std::memcmp(sel, f + 3, 3) == 0)
                param = p;
        }
        if (param == 0)
            return bad("selection");
    }

    // Bytes 6, 7 and the body carry nothing but the one value byte.
    const size_t valueAt = param ? 8 + static_cast<size_t>(param) : 0;
    for (size_t i = 6; i < kTrailerAt; ++i) {
        if (i != 8 && i != valueAt && f[i] != 0)
            return bad("body");
    }
    r.param = param;
    r.kind = param ? RequestKind::Set : RequestKind::Poll;
    r.value = param ? f[valueAt] : 0;
    return r;
}

bool isFramingFault(const char* reason) {
    return std::strcmp(reason, "header") == 0 || std::strcmp(reason, "terminator") == 0 ||
           std::strcmp(reason, "checksum") == 0 || std::strcmp(reason, "end") == 0;
}

Frame buildReply(const Block& block, uint8_t status) {
    Frame f{};
    std::memcpy(f.data(), "AOI", 3);
    f[3] = status;
    std::memcpy(f.data() + kBlockOffset, block.data(), block.size());
    std::memcpy(f.data() + kTrailerAt, "OAI", 3);
    f[kChecksumAt] = frameChecksum(f.data(), kChecksumAt);
    f[kEndAt] = kEndByte;
    return f;
}

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
