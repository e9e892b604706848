// Validation of one reply frame from the controller and the copy of its data block: the
// protocol's own check (frame.h) with the daemon's log lines.
#include "dornDecode.h"

#include <cstring>

#include "frame.h"

namespace {

// The category the reply check logs under, whichever object or step checked the reply.
const cQlog& checkLog() {
    static const cQlog log("dornDecode");
    return log;
}

dornDecode::Failure failureOf(proto::ReplyFault fault) {
    switch (fault) {
        case proto::ReplyFault::Header:
            return dornDecode::HeaderMismatch;
        case proto::ReplyFault::Terminator:
            return dornDecode::TerminatorMismatch;
        case proto::ReplyFault::Checksum:
            return dornDecode::ChecksumFail;
        case proto::ReplyFault::ClosingByte:
            return dornDecode::ClosingByteMismatch;
        case proto::ReplyFault::None:
            break;
    }
    return dornDecode::NoFailure;
}

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
    const proto::ReplyFault fault = proto::checkReply(respbuff);
    if (fault != proto::ReplyFault::None) {
        errorStr = proto::faultText(fault);
        failure = failureOf(fault);
        reportInvalid(fault);
        return false;
    }
    checkLog().info("Frame valid");
    return true;
}

void dornDecode::dataParser(uint8_t* buff, uint8_t* decbuf) {
    // A refused set is only logged: the data block still shows the controller's values, and
    // the set confirmation sees from it whether the value arrived.
    if (buff[proto::kStatusByte] == proto::kStatusSetFailed)
        checkLog().debug("COULD NOT SET VALUE!!!");
    proto::copyDataBlock(buff, decbuf);
}

uint8_t dornDecode::checksum(uint8_t* data, uint32_t len) {
    return proto::checksum(data, len);
}

void dornDecode::reportValid(uint8_t status) {
    checkLog().info("Frame valid");
    if (status == proto::kStatusSetFailed)
        checkLog().debug("COULD NOT SET VALUE!!!");
}

void dornDecode::reportInvalid(proto::ReplyFault fault) {
    if (fault == proto::ReplyFault::ClosingByte)
        checkLog().debug("%s", proto::faultText(fault));
}
