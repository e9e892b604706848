// Cuts the byte stream from the daemon into 128-byte frames. A frame starts with the daemon's
// header "AIO"; bytes before a header are garbage and are skipped. After a frame with a framing
// fault (cut short, shifted, damaged) the search for the next header starts again one byte into
// that frame, so a whole frame that follows a cut one is still found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "simFrame.h"

namespace borlsim {

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
