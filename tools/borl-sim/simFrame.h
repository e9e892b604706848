// The controller's view of the 128-byte link frames: cutting the daemon's byte stream into frames,
// checking them and building the replies. Written apart from the daemon's own frame code so that
// the simulator checks the daemon's frames independently. Pure code: bytes in, bytes out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace borlsim {

constexpr size_t kFrameSize = 128;
constexpr size_t kBlockSize = 60;         // controller data block carried by every reply
constexpr size_t kBlockOffset = 9;        // reply byte of data block index 0
constexpr int kMaxParam = 19;             // parameters a set frame can select
constexpr char kRequestHeader[] = "AIO";  // first bytes of every daemon frame
constexpr uint8_t kControllerId = 0x17;
constexpr uint8_t kEndByte = 0xA5;
constexpr uint8_t kStatusOk = 0;
constexpr uint8_t kStatusRefused = 2;  // the controller could not set the value

using Frame = std::array<uint8_t, kFrameSize>;
using Block = std::array<uint8_t, kBlockSize>;

// 0xFF minus the low byte of the sum of `len` bytes.
uint8_t frameChecksum(const uint8_t* data, size_t len);

// Selection bytes 3, 4, 5 that pick parameter `param` in a set frame: bit param + 3 of the
// 24-bit field (byte 3 lowest), and bit 0 as well for parameter 19. False outside 1..19.
bool selectionFor(int param, uint8_t sel[3]);

enum class RequestKind { Poll, Set, Bad };

// What one daemon frame asks for. `reason` names the first check that failed for a Bad frame:
// "header", "terminator", "checksum", "end" (framing faults: the frame may be cut or shifted),
// "id", "selection", "body" (well framed, but not a frame the controller accepts).
struct Request {
    RequestKind kind = RequestKind::Bad;
    int param = 0;      // 1..19 for a set
    uint8_t value = 0;  // byte to store for a set
    const char* reason = "";
};

// Checks a 128-byte daemon frame: header "AIO", identifier 0x17 at byte 8, terminator "OIA",
// checksum at byte 126, end byte 0xA5; then selection bytes naming no parameter (poll) or exactly
// one (set), with every body byte zero except the value byte of the selected parameter.
Request parseRequest(const uint8_t* frame);

// True when the reason is a framing fault, after which the frame boundary is in doubt.
bool isFramingFault(const char* reason);

// The controller's reply: "AOI", status at byte 3, data block at bytes 9..68, "OAI", checksum,
// end byte; every other byte zero.
Frame buildReply(const Block& block, uint8_t status);

// Cuts the byte stream from the daemon into 128-byte frames. A frame starts with the daemon's
// header "AIO"; bytes before a header are garbage and are skipped. After a frame with a framing
// fault (cut short, shifted, damaged) the search for the next header starts again one byte into
// that frame, so a whole frame that follows a cut one is still found.
struct GatherEvent {
    enum class Type {
        Complete,  // a complete 128-byte candidate; `request` says what it asks for
        Garbage,   // `count` bytes outside any frame were skipped
        Short,     // `count` bytes of a frame start were dropped: the rest never came
    };
    Type type = Type::Complete;
    Frame frame{};
    Request request;
    size_t count = 0;
};

class RequestGatherer {
public:
    // Takes `n` received bytes; appends what they complete to `out`.
    void feed(const uint8_t* data, size_t n, std::vector<GatherEvent>& out);
    // The line went quiet: reports and drops whatever is held back (a partial frame or bytes
    // that might begin a header).
    void flush(std::vector<GatherEvent>& out);
    // True while bytes are held back waiting for more.
    bool holding() const { return !mBuf.empty() || mGarbage > 0; }

private:
    void skip(size_t n);
    void reportGarbage(std::vector<GatherEvent>& out);

    std::vector<uint8_t> mBuf;  // from a header candidate on
    size_t mGarbage = 0;        // skipped bytes not yet reported
    size_t mAbsorb = 0;         // bytes still to be counted as part of the last faulty frame
};

}  // namespace borlsim
