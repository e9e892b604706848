// The two frames the daemon sends to the controller, the poll frame and the set frame, and
// their checksum: the protocol's builders (frame.h) with the frame dump of the debug log.
#include <log4cpp/Category.hh>

#include "cQlog.h"
#include "dornManager.h"

const uint8_t head0 = proto::kHead0;
const uint8_t head1 = proto::kHead1;
const uint8_t head2 = proto::kHead2;
const uint8_t dornid = proto::kDornId;
const uint8_t closeByte = proto::kCloseByte;
int data_size = proto::kDataSize;  // writable, as it always was; the builder keeps the frame whole

uint8_t checksum(uint8_t* data, uint32_t len) {
    return proto::checksum(data, len);
}

uint8_t getBuffer(uint8_t* buffer) {
    const int len = proto::buildPollFrame(buffer, data_size);
    printBuffer(buffer, static_cast<uint8_t>(len));
    return static_cast<uint8_t>(len);
}

uint8_t getBuffer(uint8_t* buffer, uint8_t value, int port) {
    proto::buildSetFrame(buffer, value, port);
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
