#include "frame.h"

#include <algorithm>
#include <cstring>

namespace proto {

namespace {

constexpr int kChecksumByte = kFrameSize - 2;  // checksum of bytes 0..125
constexpr int kEndByte = kFrameSize - 1;
constexpr int kTerminator = kFrameSize - 5;   // bytes 123..125
constexpr int kMaxDataSize = kFrameSize - 6;  // the terminator, checksum and end byte follow

// Selection bytes 3, 4 and 5 of a set frame for parameters 1..19. Read as one 24-bit field
// with byte 3 lowest, parameter p sets bit p + 3; the controller also wants bit 0 for 19.
struct Selection {
    uint8_t b3, b4, b5;
};
constexpr Selection kSelection[kLastParam + 1] = {
    {0x00, 0x00, 0x00},  // 0: no parameter
    {0x10, 0x00, 0x00}, {0x20, 0x00, 0x00}, {0x40, 0x00, 0x00}, {0x80, 0x00, 0x00},  // 1..4
    {0x00, 0x01, 0x00}, {0x00, 0x02, 0x00}, {0x00, 0x04, 0x00}, {0x00, 0x08, 0x00},  // 5..8
    {0x00, 0x10, 0x00}, {0x00, 0x20, 0x00}, {0x00, 0x40, 0x00}, {0x00, 0x80, 0x00},  // 9..12
    {0x00, 0x00, 0x01}, {0x00, 0x00, 0x02}, {0x00, 0x00, 0x04}, {0x00, 0x00, 0x08},  // 13..16
    {0x00, 0x00, 0x10}, {0x00, 0x00, 0x20}, {0x01, 0x00, 0x40},                      // 17..19
};

// The reply's header and terminator. The controller answers with its letters in another order
// than the daemon sends them: "AOI" ... "OAI", which by the letters' names (head0 'A', head1 'I',
// head2 'O') is head0, head2, head1 and head2, head0, head1. An echo of the daemon's own frame
// ("AIO" ... "OIA") therefore fails both.
bool replyHeader(const uint8_t* frame) {
    return frame[0] == kHead0 && frame[1] == kHead2 && frame[2] == kHead1;
}
bool replyTerminator(const uint8_t* frame) {
    return frame[kTerminator] == kHead2 && frame[kTerminator + 1] == kHead0 &&
           frame[kTerminator + 2] == kHead1;
}

// Writes header, identifier, terminator, checksum and end byte around the body that ends at
// `bodyEnd`; returns the frame length.
int frameAround(uint8_t* buffer, int bodyEnd) {
    buffer[0] = kHead0;
    buffer[1] = kHead1;
    buffer[2] = kHead2;
    buffer[kIdByte] = kDornId;
    int pos = bodyEnd + 1;
    buffer[pos++] = kHead2;  // the terminator is the header reversed: "OIA"
    buffer[pos++] = kHead1;
    buffer[pos++] = kHead0;
    buffer[pos] = checksum(buffer, static_cast<size_t>(pos));
    ++pos;
    buffer[pos++] = kCloseByte;
    return pos;
}

}  // namespace

uint8_t checksum(const uint8_t* data, size_t len) {
    uint8_t sum = 0xFF;
    for (size_t i = 0; i < len; ++i)
        sum = static_cast<uint8_t>(sum - data[i]);
    return sum;
}

int buildPollFrame(uint8_t* buffer, int dataSize) {
    // Inside the 128-byte buffer, and the terminator behind the identifier, whatever the caller
    // asks for.
    const int bodyEnd = dataSize > kMaxDataSize ? kMaxDataSize
                        : dataSize < kIdByte    ? kIdByte
                                                : dataSize;
    for (int i = 3; i <= bodyEnd; ++i)
        buffer[i] = 0;
    return frameAround(buffer, bodyEnd);
}

int buildSetFrame(uint8_t* buffer, uint8_t value, int param) {
    // The other bytes are the zeros the caller put there.
    if (param >= kFirstParam && param <= kLastParam) {
        const Selection& sel = kSelection[param];
        buffer[3] = sel.b3;
        buffer[4] = sel.b4;
        buffer[5] = sel.b5;
        buffer[kIdByte + param] = value;
    }
    frameAround(buffer, kMaxDataSize);
    return kFrameSize;
}

const char* faultText(ReplyFault fault) {
    switch (fault) {
        case ReplyFault::Header:
            return "Frame Error: Header mismatch";
        case ReplyFault::Terminator:
            return "Frame Error: Terminator mismatch";
        case ReplyFault::Checksum:
            return "Checksum fail";
        case ReplyFault::ClosingByte:
            return "Closing byte mismatch";
        case ReplyFault::None:
            break;
    }
    return nullptr;
}

ReplyFault checkReply(const uint8_t* frame) {
    if (!replyHeader(frame))
        return ReplyFault::Header;
    if (!replyTerminator(frame))
        return ReplyFault::Terminator;
    if (frame[kChecksumByte] != checksum(frame, kChecksumByte))
        return ReplyFault::Checksum;
    if (frame[kEndByte] != kCloseByte)
        return ReplyFault::ClosingByte;
    return ReplyFault::None;
}

void copyDataBlock(const uint8_t* frame, uint8_t* block) {
    std::memcpy(block, frame + kDataBlockStart, kDataBlockSize);
}

size_t ReplyGatherer::pushMiddle(const uint8_t* bytes, size_t n) {
    // From the sixth position on the header has passed, and it does not change.
    if (idx < 5 || idx >= kFrameSize - 1)
        return 0;
    const size_t take = std::min(n, static_cast<size_t>(kFrameSize - 1 - idx));
    std::memcpy(respbuff + idx, bytes, take);
    idx += static_cast<int>(take);
    return take;
}

void ReplyGatherer::restart() {
    std::memset(respbuff, 0, sizeof respbuff);
    idx = 0;
}

ReplyGatherer::Result ReplyGatherer::push(uint8_t byte) {
    respbuff[idx] = byte;
    // A frame start without the controller's header is dropped at its fifth byte.
    if (idx >= 4 && !replyHeader(respbuff)) {
        respbuff[0] = respbuff[1] = respbuff[2] = 0;
        idx = 0;
        return Rejected;
    }
    if (idx < kFrameSize - 1) {
        idx++;
        return More;
    }
    return Complete;
}

}  // namespace proto
