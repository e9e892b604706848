// The capture's queue alone: first in, first out and access by position across its chunks, every
// item aligned and destroyed once, whether taken or left in the queue at its end.
#include <gtest/gtest.h>

#include <cstdint>

#include "captureQueue.h"

namespace {

// An item that counts the live ones, aligned more strictly than the chunk's header needs.
struct alignas(16) Counted {
    static inline int live = 0;
    int value = -1;
    Counted() { ++live; }
    ~Counted() { --live; }
};

TEST(CaptureQueue, KeepsOrderAcrossChunksAndDestroysEachItemOnce) {
    using Queue = capture::ChunkQueue<Counted>;
    const int per = static_cast<int>(Queue::kPerChunk);
    struct Round {
        int push;  // items queued, then
        int pop;   // items taken
    };
    const Round rounds[] = {{1, 1}, {per, per - 1}, {per + 1, 2}, {3 * per + 5, per}, {7, 0}};
    {
        Queue q;
        int next = 0;   // the value of the next item queued
        int first = 0;  // the value of the queue's front
        for (const Round& r : rounds) {
            for (int i = 0; i < r.push; ++i)
                q.emplace_back()->value = next++;
            EXPECT_EQ(q.back().value, next - 1);
            for (int i = 0; i < next - first; ++i) {
                ASSERT_EQ(q[i].value, first + i);
                ASSERT_EQ(reinterpret_cast<uintptr_t>(&q[i]) % alignof(Counted), 0u);
            }
            for (int i = 0; i < r.pop; ++i, q.pop_front())
                ASSERT_EQ(q.front().value, first++);
            EXPECT_EQ(static_cast<int>(q.size()), next - first);
            EXPECT_EQ(Counted::live, next - first);
        }
    }
    EXPECT_EQ(Counted::live, 0) << "the items left are destroyed with the queue";
}

}  // namespace
