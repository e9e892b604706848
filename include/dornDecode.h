// Validation and unpacking of one reply frame from the controller.
#pragma once

#include <cstdint>

#include "cQlog.h"
#include "frame.h"

class dornDecode : public cQlog {
public:
    // The check that failed, beside its text, for the link statistics.
    enum Failure {
        NoFailure,
        HeaderMismatch,
        TerminatorMismatch,
        ChecksumFail,
        ClosingByteMismatch
    };

    const char* errorStr;  // message of the first check that failed; null until one fails
    uint8_t head0;         // frame letters: "A", "I", "O"
    uint8_t head1;
    uint8_t head2;
    Failure failure;  // the first check that failed; NoFailure until one fails

    dornDecode(uint8_t header0, uint8_t header1, uint8_t header2);
    ~dornDecode() override = default;

    // Validates the 128-byte frame; when it is valid copies the 60-byte controller data block
    // to decodedValues and clears respbuff. An invalid frame leaves both buffers untouched.
    bool decoder(uint8_t* respbuff, uint8_t* decodedValues);
    // Header, terminator, checksum, end byte, in this order; sets errorStr on the first failure.
    bool frameCheck(uint8_t* respbuff);
    // Logs a refused set (status 2) and copies frame bytes 9..68 to decbuf[0..59].
    void dataParser(uint8_t* buff, uint8_t* decbuf);
    uint8_t checksum(uint8_t* data, uint32_t len);

    // The log lines of a checked reply, for a check made elsewhere (the exchange's rules):
    // "Frame valid" and a refused set; a wrong end byte.
    static void reportValid(uint8_t status);
    static void reportInvalid(proto::ReplyFault fault);
};
