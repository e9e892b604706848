// The gathering of reply bytes into frames, byte by byte.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "frame.h"
#include "replyFrames.h"

namespace {

using testsupport::reply;
using Frame = testsupport::Bytes;

// ---- Frame gathering ----

struct GatherCase {
    const char* legend;
    Frame bytes;
    int complete;  // frames handed over for decoding
    int rejected;  // frame starts dropped for a wrong header
    int idxAfter;  // position of the next byte
};

Frame concat(std::initializer_list<Frame> parts) {
    Frame all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

Frame ownHeader() {
    Frame f = reply();
    f[1] = 'I';
    f[2] = 'O';
    return f;
}

TEST(ReplyGatherer, GathersFramesByteByByte) {
    const Frame r = reply();
    const std::vector<GatherCase> cases = {
        {"one reply", r, 1, 0, 0},
        {"two replies back to back", concat({r, r}), 2, 0, 0},
        {"first four bytes are stored untested", Frame{'X', 'Y', 'Z', 'W'}, 0, 0, 4},
        {"wrong header rejected at the fifth byte", Frame{'A', 'I', 'O', 0, 0}, 0, 1, 0},
        {"own header: rest rejected in groups of five", ownHeader(), 0, 25, 3},
        {"stray byte shifts the reply: lost", concat({Frame{0x00}, r}), 0, 25, 4},
        {"split reply completes", Frame(r.begin(), r.begin() + 127), 0, 0, 127},
        {"reply without end byte completes at the last position",
         concat({Frame(r.begin(), r.begin() + 127), Frame{0x00}}), 1, 0, 0},
    };
    for (const auto& c : cases) {
        proto::ReplyGatherer g;
        int complete = 0, rejected = 0;
        for (uint8_t b : c.bytes) {
            switch (g.push(b)) {
                case proto::ReplyGatherer::Complete:
                    ++complete;
                    g.restart();
                    break;
                case proto::ReplyGatherer::Rejected:
                    ++rejected;
                    break;
                case proto::ReplyGatherer::More:
                    break;
            }
        }
        EXPECT_EQ(complete, c.complete) << c.legend;
        EXPECT_EQ(rejected, c.rejected) << c.legend;
        EXPECT_EQ(g.idx, c.idxAfter) << c.legend;
    }
}

TEST(ReplyGatherer, PositionNeverPassesTheLastByte) {
    proto::ReplyGatherer g;
    for (int i = 0; i < 127; ++i)
        EXPECT_EQ(g.push(i < 3 ? "AOI"[i] : 0x11), proto::ReplyGatherer::More);
    EXPECT_EQ(g.idx, 127);
    EXPECT_EQ(g.push(0x11), proto::ReplyGatherer::Complete);
    EXPECT_EQ(g.idx, 127);
}

}  // namespace
