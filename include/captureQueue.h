// The capture's queue: a FIFO with access by position, whose items live in chunks of pages taken
// from the system and given back as soon as they are emptied (one is kept for the items to
// come). In the heap, a burst that the writer took seconds to write would leave its room there,
// around what the exchange allocated meanwhile, and each deeper burst over the years would add to
// the daemon's memory; here the memory follows what is queued. Not synchronised: the capture
// holds its queue lock around every call.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <new>
#include <utility>

namespace capture {

template <class T>
class ChunkQueue {
    // Aligned for an item, so that the items right behind the header are aligned too (on a
    // 32-bit processor a pointer's alignment is less than a 64-bit counter's).
    struct alignas(T) Chunk {
        Chunk* next = nullptr;
        size_t begin = 0;  // the first item not yet taken
        size_t end = 0;    // one past the last item made
        void* slot(size_t i) { return reinterpret_cast<T*>(this + 1) + i; }
        T& at(size_t i) { return *std::launder(static_cast<T*>(slot(i))); }
    };
    static_assert(sizeof(Chunk) % alignof(T) == 0);

public:
    static constexpr size_t kChunkBytes = 16 * 1024;
    static constexpr size_t kPerChunk = (kChunkBytes - sizeof(Chunk)) / sizeof(T);

    ChunkQueue() = default;
    ChunkQueue(const ChunkQueue&) = delete;
    ChunkQueue& operator=(const ChunkQueue&) = delete;
    ~ChunkQueue() {
        while (mSize != 0)
            pop_front();
        if (mSpare != nullptr)
            munmap(mSpare, kChunkBytes);
    }

    bool empty() const { return mSize == 0; }
    size_t size() const { return mSize; }
    T& front() { return mHead->at(mHead->begin); }
    T& back() { return mTail->at(mTail->end - 1); }
    // Every chunk but the first is full from its start on.
    T& operator[](size_t i) {
        Chunk* c = mHead;
        for (i += c->begin; i >= kPerChunk; i -= kPerChunk)
            c = c->next;
        return c->at(i);
    }

    // A new item at the back, or nullptr when the system has no pages to give.
    T* emplace_back() {
        if (mTail == nullptr || mTail->end == kPerChunk) {
            Chunk* c = take();
            if (c == nullptr)
                return nullptr;
            (mTail != nullptr ? mTail->next : mHead) = c;
            mTail = c;
        }
        T* item = new (mTail->slot(mTail->end)) T();
        ++mTail->end;
        ++mSize;
        return item;
    }

    void pop_front() {
        front().~T();
        --mSize;
        if (++mHead->begin == mHead->end) {
            Chunk* emptied = mHead;
            mHead = emptied->next;
            if (mHead == nullptr)
                mTail = nullptr;
            if (mSpare == nullptr)
                mSpare = emptied;
            else
                munmap(emptied, kChunkBytes);
        }
    }

private:
    Chunk* take() {
        void* p = std::exchange(mSpare, nullptr);
        if (p == nullptr) {
            p = mmap(nullptr, kChunkBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1,
                     0);
            if (p == MAP_FAILED)
                return nullptr;
        }
        return new (p) Chunk();
    }

    Chunk* mHead = nullptr;
    Chunk* mTail = nullptr;
    void* mSpare = nullptr;  // an emptied chunk, kept
    size_t mSize = 0;
};

}  // namespace capture
