#include "simFrame.h"

#include <cstring>

namespace borlsim {

namespace {
constexpr size_t kChecksumAt = 126;
constexpr size_t kEndAt = 127;
constexpr size_t kTrailerAt = 123;  // first terminator byte
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

}  // namespace borlsim
