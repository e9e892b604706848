// The two frames the daemon sends to the controller, the poll frame and the set frame, and
// their checksum. The builders are pure: they write into the caller's zeroed 128-byte buffer,
// allocate nothing and touch no descriptor.
#include <log4cpp/Category.hh>

#include "cQlog.h"
#include "dornManager.h"

const uint8_t head0 = 0x41;      // 'A'
const uint8_t head1 = 0x49;      // 'I'
const uint8_t head2 = 0x4F;      // 'O'
const uint8_t dornid = 0x17;     // the controller answers only frames carrying its identifier
const uint8_t closeByte = 0xA5;  // end byte of every frame
int data_size = 122;             // last body byte: 122 + terminator, checksum, end = 128 bytes

namespace {

constexpr int kIdByte = 8;                    // controller identifier in outgoing frames
constexpr int kMaxDataSize = kFrameSize - 6;  // the terminator, checksum and end byte follow

// Selection bytes 3, 4 and 5 of a set frame for parameters 1..19. Read as one 24-bit field
// with byte 3 lowest, parameter p sets bit p + 3; the controller also wants bit 0 for 19.
struct Selection {
    uint8_t b3, b4, b5;
};
constexpr int kFirstParam = 1;
constexpr int kLastParam = 19;
constexpr Selection kSelection[kLastParam + 1] = {
    {0x00, 0x00, 0x00},  // 0: no parameter
    {0x10, 0x00, 0x00}, {0x20, 0x00, 0x00}, {0x40, 0x00, 0x00}, {0x80, 0x00, 0x00},  // 1..4
    {0x00, 0x01, 0x00}, {0x00, 0x02, 0x00}, {0x00, 0x04, 0x00}, {0x00, 0x08, 0x00},  // 5..8
    {0x00, 0x10, 0x00}, {0x00, 0x20, 0x00}, {0x00, 0x40, 0x00}, {0x00, 0x80, 0x00},  // 9..12
    {0x00, 0x00, 0x01}, {0x00, 0x00, 0x02}, {0x00, 0x00, 0x04}, {0x00, 0x00, 0x08},  // 13..16
    {0x00, 0x00, 0x10}, {0x00, 0x00, 0x20}, {0x01, 0x00, 0x40},                      // 17..19
};

// Writes header, identifier, terminator, checksum and end byte around the body that ends at
// `bodyEnd`; returns the frame length.
int frameAround(uint8_t* buffer, int bodyEnd) {
    buffer[0] = head0;
    buffer[1] = head1;
    buffer[2] = head2;
    buffer[kIdByte] = dornid;
    int pos = bodyEnd + 1;
    buffer[pos++] = head2;  // the terminator is the header reversed: "OIA"
    buffer[pos++] = head1;
    buffer[pos++] = head0;
    buffer[pos] = checksum(buffer, static_cast<uint32_t>(pos));
    ++pos;
    buffer[pos++] = closeByte;
    return pos;
}

}  // namespace

uint8_t checksum(uint8_t* data, uint32_t len) {
    uint8_t sum = 0xFF;
    for (uint32_t i = 0; i < len; ++i)
        sum = static_cast<uint8_t>(sum - data[i]);
    return sum;
}

uint8_t getBuffer(uint8_t* buffer) {
    // data_size is a writable global; keep the frame inside the 128-byte buffer and the
    // terminator behind the identifier whatever it holds.
    int bodyEnd = data_size;
    if (bodyEnd > kMaxDataSize)
        bodyEnd = kMaxDataSize;
    if (bodyEnd < kIdByte)
        bodyEnd = kIdByte;
    for (int i = 3; i <= bodyEnd; ++i)
        buffer[i] = 0;
    int len = frameAround(buffer, bodyEnd);
    printBuffer(buffer, static_cast<uint8_t>(len));
    return static_cast<uint8_t>(len);
}

uint8_t getBuffer(uint8_t* buffer, uint8_t value, int port) {
    // The other bytes are the zeros the caller put there; a parameter outside 1..19 selects
    // nothing and the frame is then the poll frame.
    if (port >= kFirstParam && port <= kLastParam) {
        const Selection& sel = kSelection[port];
        buffer[3] = sel.b3;
        buffer[4] = sel.b4;
        buffer[5] = sel.b5;
        buffer[kIdByte + port] = value;
    }
    frameAround(buffer, kMaxDataSize);
    printBuffer(buffer, kFrameSize);
    return kFrameSize;
}

void printBuffer(uint8_t* buffer, uint8_t len) {
    // Categories live for the whole process; look this one up once.
    static log4cpp::Category& log = cQlog::getLog("dornManager");
    // One record per byte: skip the whole dump cheaply unless frames are being traced.
    if (!log.isDebugEnabled())
        return;
    log.debug("DORNBuffer(%d): ", len);
    for (int i = 0; i < len; ++i)
        log.debug("0x%02X ", buffer[i]);
    log.debug("\n");
}
