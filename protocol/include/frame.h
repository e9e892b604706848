// The controller's frames: the poll and set frames the daemon sends, the check of a reply, and
// the gathering of reply bytes into frames. Pure: bytes in, bytes out, no descriptor, no log, no
// allocation. A failed check comes back as a value; the caller logs it.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kFrameSize = 128;     // every frame, in both directions
constexpr int kDataBlockSize = 60;  // the controller data block, reply bytes 9..68

namespace proto {

constexpr uint8_t kHead0 = 0x41;      // 'A'
constexpr uint8_t kHead1 = 0x49;      // 'I'
constexpr uint8_t kHead2 = 0x4F;      // 'O'
constexpr uint8_t kDornId = 0x17;     // the controller answers only frames carrying its identifier
constexpr uint8_t kCloseByte = 0xA5;  // end byte of every frame
constexpr int kDataSize = 122;        // last body byte of the poll frame
constexpr int kIdByte = 8;            // the identifier's place in an outgoing frame
constexpr int kStatusByte = 3;        // a reply's status; kStatusSetFailed: a set was refused
constexpr uint8_t kStatusSetFailed = 2;
constexpr int kDataBlockStart = 9;  // reply bytes 9..68 are the controller data block
constexpr int kFirstParam = 1;      // the parameters a set frame can select
constexpr int kLastParam = 19;

// 0xFF minus the byte sum of `len` bytes, modulo 256; 0xFF over nothing.
uint8_t checksum(const uint8_t* data, size_t len);

// The poll frame into a zeroed 128-byte buffer, its body running to `dataSize` (kept within
// 8..122 whatever it holds); returns its length, dataSize + 6.
int buildPollFrame(uint8_t* buffer, int dataSize = kDataSize);
// The set frame for parameter `param` with `value` into a zeroed 128-byte buffer; returns 128.
// A parameter outside 1..19 selects nothing: the frame is then the poll frame's bytes.
int buildSetFrame(uint8_t* buffer, uint8_t value, int param);

// The first check a reply frame fails, in the order they run.
enum class ReplyFault { None, Header, Terminator, Checksum, ClosingByte };
constexpr int kReplyFaults = 4;  // the faults after None, in that order
// The daemon's own words for a fault ("Checksum fail", ...); null for None.
const char* faultText(ReplyFault fault);
// Header, terminator, checksum, end byte: the first that fails, or None.
ReplyFault checkReply(const uint8_t* frame);
// The data block of a reply into `block` (60 bytes).
void copyDataBlock(const uint8_t* frame, uint8_t* block);

// Gathers the controller's reply bytes into a frame, one byte at a time. A frame start is
// accepted only with the controller's header, tested from the fifth byte on; the frame is
// complete when its last position is filled, whatever that byte holds, so that a frame with a
// byte lost or added on the line is reported by the check and the position never runs past the
// buffer.
struct ReplyGatherer {
    enum Result { More, Rejected, Complete };

    uint8_t respbuff[kFrameSize];  // the reply frame being gathered
    int idx = 0;                   // where the next byte goes, 0..127

    ReplyGatherer() { restart(); }
    // Ready for a new frame at position 0; no stale byte can complete it.
    void restart();
    Result push(uint8_t byte);
    // The bytes of `bytes` that can neither complete nor reject the frame (those after its
    // header passed the test, short of its last position), taken at once; returns how many.
    size_t pushMiddle(const uint8_t* bytes, size_t n);
};

}  // namespace proto
