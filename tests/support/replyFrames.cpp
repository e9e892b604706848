#include "replyFrames.h"

namespace testsupport {

Block block(std::initializer_list<std::pair<int, uint8_t>> bytes) {
    Block b{};
    for (const auto& [index, value] : bytes)
        b.at(static_cast<size_t>(index)) = value;
    return b;
}

Bytes reply(const Block& data, uint8_t status) {
    const borlsim::Frame f = borlsim::buildReply(data, status);
    return Bytes(f.begin(), f.end());
}

uint8_t frameChecksum(const uint8_t* frame) {
    return borlsim::frameChecksum(frame, borlsim::kFrameSize - 2);
}

void resum(uint8_t* frame) {
    frame[borlsim::kFrameSize - 2] = frameChecksum(frame);
}

}  // namespace testsupport
