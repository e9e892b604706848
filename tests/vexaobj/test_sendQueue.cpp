// The client's bounded queue without a socket: order, the drop-oldest rule, a line cut short by
// a write, and what one write gathers.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "sendQueue.h"

using vexaobj::SendQueue;

namespace {

// What one write would send: the gathered bytes, concatenated.
std::string gathered(const SendQueue& q) {
    iovec iov[SendQueue::kGatherLines];
    std::string out;
    for (size_t i = 0, n = q.gather(iov); i < n; ++i)
        out.append(static_cast<const char*>(iov[i].iov_base), iov[i].iov_len);
    return out;
}

TEST(SendQueue, KeepsOrderAndCountsWrittenLinesOff) {
    SendQueue q(10);
    EXPECT_FALSE(q.push("one\n"));
    EXPECT_FALSE(q.push("two\n"));
    EXPECT_EQ(gathered(q), "one\ntwo\n");
    EXPECT_EQ(q.written(4), 1u);
    EXPECT_EQ(q.size(), 1u);
    EXPECT_EQ(gathered(q), "two\n");
    EXPECT_EQ(q.written(4), 1u);
    EXPECT_TRUE(q.empty());
}

TEST(SendQueue, DropsTheOldestBeyondTheLimitAndCountsTheDrops) {
    SendQueue q(2);
    q.push("1\n");
    q.push("2\n");
    EXPECT_TRUE(q.push("3\n"));
    EXPECT_EQ(gathered(q), "2\n3\n");
    EXPECT_EQ(q.droppedTotal(), 1u);
    EXPECT_EQ(q.unreported(), 1u);
    EXPECT_EQ(q.takeUnreported(), 1u);
    EXPECT_EQ(q.unreported(), 0u);
    EXPECT_EQ(q.droppedTotal(), 1u);
}

TEST(SendQueue, ALinePartlyWrittenGoesOutWholeAndTheNextOldestIsDropped) {
    SendQueue q(2);
    q.push("first\n");
    q.push("second\n");
    EXPECT_EQ(q.written(3), 0u);  // "fir" went
    EXPECT_EQ(gathered(q), "st\nsecond\n");
    EXPECT_TRUE(q.push("third\n"));
    EXPECT_EQ(gathered(q), "st\nthird\n");
    // A lost connection: the line cut short is sent again whole on the next one.
    q.restartLine();
    EXPECT_EQ(gathered(q), "first\nthird\n");
}

TEST(SendQueue, OneWriteGathersAtMostItsLinesAndBytes) {
    SendQueue q(1000);
    for (int i = 0; i < 100; ++i)
        q.push("x\n");
    iovec iov[SendQueue::kGatherLines];
    EXPECT_EQ(q.gather(iov), SendQueue::kGatherLines);
    SendQueue big(10);
    const std::string line(40000, 'b');
    for (int i = 0; i < 3; ++i)
        big.push(line + "\n");
    EXPECT_EQ(big.gather(iov), 2u);  // stops adding once 64 kB are gathered
}

// Which line goes when the queue is full: the oldest sample, else the oldest line, never one
// partly written. Steps: "sN" queues a sample, "oN" a status, capability or reply; "|" writes a
// byte of the first line, "<" the rest of it. The queue holds two lines.
TEST(SendQueue, WhenFullDropsTheOldestSampleElseTheOldestLineNeverOnePartlyWritten) {
    struct Case {
        const char* legend;
        const char* steps;
        const char* left;  // the lines queued at the end, a line partly written whole
        size_t dropped;
    };
    const Case cases[] = {
        {"samples only: the oldest goes", "s1 s2 s3", "s2 s3 ", 1},
        {"a status older than the samples stays", "o1 s2 s3 s4", "o1 s4 ", 2},
        {"a status newer than the samples stays", "s1 s2 o3", "s2 o3 ", 1},
        {"the new sample goes when it is the only one", "o1 o2 s3", "o1 o2 ", 1},
        {"no sample: the oldest line goes", "o1 o2 o3", "o2 o3 ", 1},
        {"a sample partly written goes out whole", "s1 o2 | s3", "s1 o2 ", 1},
        {"a status partly written too: the next oldest goes", "o1 o2 | o3", "o1 o3 ", 1},
        {"a sample written leaves no count behind", "s1 o2 | < o3 o4", "o3 o4 ", 1},
    };
    for (const Case& c : cases) {
        SendQueue q(2);
        std::istringstream steps(c.steps);
        for (std::string step; steps >> step;) {
            if (step == "|")
                q.written(1);
            else if (step == "<")
                q.written(gathered(q).find('\n') + 1);
            else
                q.push(step + "\n", step[0] == 's');
        }
        q.restartLine();
        std::string left = gathered(q);
        std::replace(left.begin(), left.end(), '\n', ' ');
        EXPECT_EQ(left, c.left) << c.legend;
        EXPECT_EQ(q.droppedTotal(), c.dropped) << c.legend;
    }
}

}  // namespace
