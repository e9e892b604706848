// Validation of one reply frame from the controller and the copy of its data block. Pure
// apart from logging: bytes in, bytes out, nothing allocated.
#include "dornDecode.h"

#include <cstring>

#include "dornManager.h"

namespace {

constexpr int kChecksumByte = kFrameSize - 2;  // checksum of bytes 0..125
constexpr int kEndByte = kFrameSize - 1;
constexpr int kTerminator = kFrameSize - 5;  // bytes 123..125
constexpr int kStatusByte = 3;               // 2: the controller could not set a value
constexpr uint8_t kStatusSetFailed = 2;
constexpr int kDataBlockStart = 9;  // reply bytes 9..68 are the controller data block

}  // namespace

dornDecode::dornDecode(uint8_t header0, uint8_t header1, uint8_t header2)
    : cQlog("dornDecode"),
      errorStr(nullptr),
      head0(header0),
      head1(header1),
      head2(header2),
      failure(NoFailure) {}

bool dornDecode::decoder(uint8_t* respbuff, uint8_t* decodedValues) {
    if (!frameCheck(respbuff))
        return false;
    dataParser(respbuff, decodedValues);
    // The receive loop gathers the next reply into the same buffer from position 0.
    std::memset(respbuff, 0, kFrameSize);
    return true;
}

bool dornDecode::frameCheck(uint8_t* respbuff) {
    const uint8_t sum = checksum(respbuff, kChecksumByte);
    // The controller answers with "AOI" ... "OAI", the daemon's letters rearranged; an echo of
    // our own frame ("AIO" ... "OIA") fails here.
    if (respbuff[0] != head0 || respbuff[1] != head2 || respbuff[2] != head1) {
        errorStr = "Frame Error: Header mismatch";
        failure = HeaderMismatch;
        return false;
    }
    if (respbuff[kTerminator] != head2 || respbuff[kTerminator + 1] != head0 ||
        respbuff[kTerminator + 2] != head1) {
        errorStr = "Frame Error: Terminator mismatch";
        failure = TerminatorMismatch;
        return false;
    }
    if (respbuff[kChecksumByte] != sum) {
        errorStr = "Checksum fail";
        failure = ChecksumFail;
        return false;
    }
    if (respbuff[kEndByte] != closeByte) {
        errorStr = "Closing byte mismatch";
        failure = ClosingByteMismatch;
        debug("%s", errorStr);
        return false;
    }
    info("Frame valid");
    return true;
}

void dornDecode::dataParser(uint8_t* buff, uint8_t* decbuf) {
    // A refused set is only logged: the data block still shows the controller's values, and
    // the set confirmation sees from it whether the value arrived.
    if (buff[kStatusByte] == kStatusSetFailed)
        debug("COULD NOT SET VALUE!!!");
    std::memcpy(decbuf, buff + kDataBlockStart, kDataBlockSize);
}

uint8_t dornDecode::checksum(uint8_t* data, uint32_t len) {
    uint8_t sum = 0xFF;
    for (uint32_t i = 0; i < len; ++i)
        sum = static_cast<uint8_t>(sum - data[i]);
    return sum;
}
