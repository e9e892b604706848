// The client's bounded queue without a socket: order, the drop-oldest rule, a line cut short by
// a write, and what one write gathers.
#include <gtest/gtest.h>

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

}  // namespace
