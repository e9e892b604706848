// The capture's generations (see exchangeCapture.h): the hooks queue records for the capture's
// thread, which hands them to the writer (captureWriter.cpp). The main thread's start and stop are
// commands in the same queue, each naming its capture's generation, so that the files' records
// keep the order they were taken in and a failure ends its own capture only.
#include "exchangeCapture.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "captureQueue.h"
#include "captureWriter.h"
#include "monotonicClock.h"

namespace capture {

std::atomic<bool> gOn{false};

namespace {

using exchangefile::Kind;

constexpr size_t kMaxQueued = 16384;  // records waiting for the writer; more are dropped
constexpr size_t kWakeAt = 256;       // queued records that wake the writer before its tick
constexpr size_t kBatch = 64;         // records the writer takes from the queue at a time

uint64_t wallUs() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

class Capture {
public:
    ~Capture() { shutdown(); }

    bool start(const Settings& s) {
        std::lock_guard<std::mutex> lock(mQueueMutex);
        if (mRunning != 0)
            return false;
        if (++mGeneration == 0)
            ++mGeneration;
        mRunning = mGeneration;
        // t = 0 on a whole millisecond of the monotonic clock, so that the capture's times, cut to
        // milliseconds, are those the exchange's rules were given.
        const uint64_t now = monotonic::nowUs();
        mT0 = now - now % 1000;
        mLastUs = mT0;
        mDropped = 0;
        Item& item = command(Item::Start);
        item.settings = std::make_unique<Settings>(s);
        item.t = wallUs() - (now - mT0);
        gOn.store(true, std::memory_order_relaxed);
        if (!mThread.joinable())
            mThread = std::thread([this] { run(); });
        return true;
    }

    bool stop() {
        std::lock_guard<std::mutex> lock(mQueueMutex);
        if (mRunning == 0)
            return false;
        endLocked();
        return true;
    }

    void shutdown() {
        {
            std::lock_guard<std::mutex> lock(mQueueMutex);
            if (mRunning != 0)
                endLocked();
            mExit = true;
            mWake.notify_one();
        }
        if (mThread.joinable())
            mThread.join();
        std::lock_guard<std::mutex> lock(mQueueMutex);
        mExit = false;
    }

    void push(Kind kind, const uint8_t* bytes, size_t n, int param, int value, const char* text,
              uint64_t atUs) {
        std::lock_guard<std::mutex> lock(mQueueMutex);
        if (mRunning == 0)
            return;  // ended between the hook's test and here
        pushLocked(kind, bytes, n, param, value, text, atUs);
    }

    TxTicket reserveTx(const uint8_t* bytes, size_t n, uint64_t atUs) {
        std::lock_guard<std::mutex> lock(mQueueMutex);
        if (mRunning == 0 || !pushLocked(Kind::Tx, bytes, n, 0, 0, nullptr, atUs))
            return TxTicket{};
        mQueue.back().reserved = true;
        return TxTicket{mFrontSeq + mQueue.size() - 1, mRunning};
    }

    void finishTx(const TxTicket& ticket, size_t sent, Kind outcome, const char* why,
                  uint64_t atUs) {
        std::lock_guard<std::mutex> lock(mQueueMutex);
        // The writer takes no reserved record: it is still in the queue.
        if (ticket.seq >= mFrontSeq && ticket.seq - mFrontSeq < mQueue.size()) {
            Item& item = mQueue[ticket.seq - mFrontSeq];
            if (item.reserved && item.generation == ticket.generation) {
                item.n = static_cast<uint16_t>(std::min<size_t>(sent, item.n));
                item.reserved = false;
            }
        }
        if (outcome != Kind::Tx && mRunning == ticket.generation)
            pushLocked(outcome, nullptr, 0, 0, static_cast<int>(sent), why, atUs);
        if (mCommands > 0)
            mWake.notify_one();  // a start or stop waited behind the reserved record
    }

private:
    // mQueueMutex held. The timestamp is the caller's (the one its step of the exchange was
    // given), else taken under the lock; never before the last, so the queue is in time order.
    // False when the queue is full: the record is dropped, and counted where it would have been.
    bool pushLocked(Kind kind, const uint8_t* bytes, size_t n, int param, int value,
                    const char* text, uint64_t atUs) {
        Item* slot = mQueue.size() < kMaxQueued ? mQueue.emplace_back() : nullptr;
        if (slot == nullptr) {
            ++mDropped;
            return false;
        }
        Item& item = *slot;
        item.generation = mRunning;
        item.droppedBefore = std::exchange(mDropped, 0);
        mLastUs = std::max(mLastUs, atUs != 0 ? atUs : monotonic::nowUs());
        item.t = mLastUs - mT0;
        item.kind = kind;
        item.n = static_cast<uint16_t>(std::min(n, kMaxFrameBytes));
        if (item.n != 0 && bytes != nullptr)
            std::memcpy(item.bytes, bytes, item.n);
        item.param = param;
        item.value = value;
        if (text != nullptr)
            item.text = text;
        if (mQueue.size() == kWakeAt)
            mWake.notify_one();
        return true;
    }

    // mQueueMutex held: a start or stop of the running capture, never refused for room.
    Item& command(Item::Op op) {
        Item* slot = mQueue.emplace_back();
        if (slot == nullptr)
            throw std::bad_alloc();
        Item& item = *slot;
        item.op = op;
        item.generation = mRunning;
        ++mCommands;
        mWake.notify_one();
        return item;
    }

    void endLocked() {
        gOn.store(false, std::memory_order_relaxed);
        command(Item::Stop).droppedBefore = std::exchange(mDropped, 0);
        mRunning = 0;
    }

    // The writer takes the records a few at a time, so that its own memory stays the same
    // whatever the depth of the queue, and syncs the file once the queue is written.
    void run() {
        std::vector<Item> batch;
        batch.reserve(kBatch);
        bool more = false;  // records ready beyond the last batch: taken at once
        auto synced = std::chrono::steady_clock::now();
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mQueueMutex);
                // Nothing is taken past a reserved record: its frame's write has not ended.
                const auto ready = [this] {
                    return mExit ||
                           (!mQueue.empty() && !mQueue.front().reserved &&
                            (mCommands > 0 || mQueue.size() >= kWakeAt || !mWriter.writing()));
                };
                if (!more && mWriter.writing())
                    mWake.wait_for(lock, mWriter.writeEvery(), ready);
                else if (!more && mWriter.paused())
                    mWake.wait_until(lock, mWriter.retryAt(), ready);
                else if (!more)
                    mWake.wait(lock, ready);
                while (!mQueue.empty() && !mQueue.front().reserved && batch.size() < kBatch) {
                    if (mQueue.front().op != Item::Record)
                        --mCommands;
                    batch.push_back(std::move(mQueue.front()));
                    mQueue.pop_front();
                    ++mFrontSeq;
                }
                more = !mQueue.empty() && !mQueue.front().reserved;
                if (batch.empty() && mExit)
                    break;
            }
            // From here on nothing holds the lock: the exchange threads go on queueing. A capture
            // paused by a full disk tries again first, so that the records taken go to its file
            // if there is room now.
            const auto now = std::chrono::steady_clock::now();
            mWriter.retryIfDue(now);
            mWriter.write(batch);
            batch.clear();
            // Once the queue is written, and at least once a tick while a backlog lasts.
            if (!more || now - synced >= mWriter.writeEvery()) {
                mWriter.syncFile();
                synced = now;
            }
        }
        mWriter.close();
    }

    // A failure of the files ends their capture, not one started after it; its records still
    // queued go unwritten.
    void ended(uint32_t generation) {
        std::lock_guard<std::mutex> lock(mQueueMutex);
        if (mRunning == generation) {
            gOn.store(false, std::memory_order_relaxed);
            mRunning = 0;
            mDropped = 0;
        }
    }

    std::mutex mQueueMutex;
    std::condition_variable mWake;
    ChunkQueue<Item> mQueue;   // records and commands, in the order taken
    uint64_t mFrontSeq = 0;    // the place of mQueue's front among all items ever queued
    size_t mCommands = 0;      // starts and stops in mQueue
    uint32_t mGeneration = 0;  // the last capture started
    uint32_t mRunning = 0;  // the capture that runs, as far as the exchange is concerned; 0: none
    bool mExit = false;
    uint64_t mT0 = 0;       // the monotonic time of t = 0, µs
    uint64_t mLastUs = 0;   // the monotonic time of the last record queued, µs
    uint32_t mDropped = 0;  // records dropped since the last one queued
    std::thread mThread;
    Writer mWriter{[this](uint32_t generation) { ended(generation); }};  // writer thread only
};

Capture& instance() {
    static Capture capture;
    return capture;
}

}  // namespace

void record(Kind kind, const uint8_t* bytes, size_t n, int param, int value, const char* text,
            uint64_t atUs) {
    instance().push(kind, bytes, n, param, value, text, atUs);
}

TxTicket reserveTx(const uint8_t* bytes, size_t n, uint64_t atUs) {
    return instance().reserveTx(bytes, n, atUs);
}

void finishTx(const TxTicket& ticket, size_t sent, Kind outcome, const char* why, uint64_t atUs) {
    instance().finishTx(ticket, sent, outcome, why, atUs);
}

bool start(const Settings& settings) {
    return instance().start(settings);
}

bool stop() {
    return instance().stop();
}

void shutdown() {
    instance().shutdown();
}

}  // namespace capture
