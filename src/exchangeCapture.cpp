// The capture's queue and its writer thread (see exchangeCapture.h). The main thread's start and
// stop are commands in the same queue, each naming its capture's generation, so that the files'
// records keep the order they were taken in and a failure ends its own capture only.
#include "exchangeCapture.h"
#include "fileSync.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

#include "cQlog.h"
#include "monotonicClock.h"

namespace capture {

std::atomic<bool> gOn{false};

namespace {

using exchangefile::Kind;

constexpr size_t kMaxQueued = 16384;  // records waiting for the writer; more are dropped
constexpr size_t kWakeAt = 256;       // queued records that wake the writer before its tick
constexpr auto kTick = std::chrono::milliseconds(1000);  // one write a poll cycle at most
constexpr size_t kMaxFrameBytes = 128;  // a read or write of the exchange is at most a frame
constexpr size_t kFlushAt = 16 * 1024;  // characters formatted before they are written
constexpr size_t kBatch = 64;           // records the writer takes from the queue at a time
// Room a cycle's records take in the long form (a frame each way, a few events): a file this
// near its bound ends before the next frame, so that no reply is cut from its frame.
constexpr uint64_t kCycleRoom = 2048;

struct Item {
    enum Op { Record, Start, Stop } op = Record;
    uint32_t generation = 0;     // the capture it belongs to
    bool reserved = false;       // a frame's tx record whose write has not ended: the writer waits
    uint32_t droppedBefore = 0;  // records dropped just before this one, the queue being full
    uint64_t t = 0;              // µs since the capture began; Start: its wall time
    Kind kind = Kind::Online;
    uint16_t n = 0;
    uint8_t bytes[kMaxFrameBytes];
    int param = 0;
    int value = 0;
    std::string text;
    std::unique_ptr<Settings> settings;  // Start
};

// The records waiting for the writer, in chunks of pages taken from the system and given back
// as soon as the writer has emptied them (one is kept for the records to come). In the heap, a
// burst that the writer took seconds to write would leave its room there, around what the
// exchange allocated meanwhile, and each deeper burst over the years would add to the daemon's
// memory; here the memory follows what is queued. The queue is a FIFO with access by position.
class ItemQueue {
public:
    ItemQueue() = default;
    ItemQueue(const ItemQueue&) = delete;
    ItemQueue& operator=(const ItemQueue&) = delete;
    ~ItemQueue() {
        while (mSize != 0)
            pop_front();
        if (mSpare != nullptr)
            munmap(mSpare, kChunkBytes);
    }

    bool empty() const { return mSize == 0; }
    size_t size() const { return mSize; }
    Item& front() { return mHead->at(mHead->begin); }
    Item& back() { return mTail->at(mTail->end - 1); }
    // Every chunk but the first is full from its start on.
    Item& operator[](size_t i) {
        Chunk* c = mHead;
        for (i += c->begin; i >= kPerChunk; i -= kPerChunk)
            c = c->next;
        return c->at(i);
    }

    // A new item at the back, or nullptr when the system has no pages to give.
    Item* emplace_back() {
        if (mTail == nullptr || mTail->end == kPerChunk) {
            Chunk* c = take();
            if (c == nullptr)
                return nullptr;
            (mTail != nullptr ? mTail->next : mHead) = c;
            mTail = c;
        }
        Item* item = new (mTail->slot(mTail->end)) Item();
        ++mTail->end;
        ++mSize;
        return item;
    }

    void pop_front() {
        front().~Item();
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
    // Aligned for an item, so that the items right behind the header are aligned too (on a
    // 32-bit processor a pointer's alignment is less than a 64-bit counter's).
    struct alignas(Item) Chunk {
        Chunk* next = nullptr;
        size_t begin = 0;  // the first item not yet taken
        size_t end = 0;    // one past the last item made
        void* slot(size_t i) { return reinterpret_cast<Item*>(this + 1) + i; }
        Item& at(size_t i) { return *std::launder(static_cast<Item*>(slot(i))); }
    };
    static constexpr size_t kChunkBytes = 16 * 1024;
    static constexpr size_t kPerChunk = (kChunkBytes - sizeof(Chunk)) / sizeof(Item);
    static_assert(sizeof(Chunk) % alignof(Item) == 0);

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

uint64_t wallUs() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

log4cpp::Category& log() {
    static log4cpp::Category& category = cQlog::getLog("exchangeCapture");
    return category;
}

// The writer's side: the open file and its counts. Touched by the writer thread only.
struct Session {
    int fd = -1;
    uint32_t generation = 0;  // the capture whose files these are
    Settings settings;
    uint64_t wall = 0;       // the capture's t = 0, µs since the epoch
    bool regular = false;    // the file is a regular file: bounded and rotated
    uint64_t bytes = 0;      // written to the current file
    bool unsynced = false;   // written since the last sync
    uint64_t records = 0;    // in all files of the capture
    unsigned rotations = 0;  // files begun after the first
    std::string port;        // the port open as the records tell; empty: closed
    exchangefile::Writer writer;
};

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
        mT0 = monotonic::nowUs();
        mDropped = 0;
        Item& item = command(Item::Start);
        item.settings = std::make_unique<Settings>(s);
        item.t = wallUs();
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

    void push(Kind kind, const uint8_t* bytes, size_t n, int param, int value, const char* text) {
        std::lock_guard<std::mutex> lock(mQueueMutex);
        if (mRunning == 0)
            return;  // ended between the hook's test and here
        pushLocked(kind, bytes, n, param, value, text);
    }

    TxTicket reserveTx(const uint8_t* bytes, size_t n) {
        std::lock_guard<std::mutex> lock(mQueueMutex);
        if (mRunning == 0 || !pushLocked(Kind::Tx, bytes, n, 0, 0, nullptr))
            return TxTicket{};
        mQueue.back().reserved = true;
        return TxTicket{mFrontSeq + mQueue.size() - 1, mRunning};
    }

    void finishTx(const TxTicket& ticket, size_t sent, Kind outcome, const char* why) {
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
            pushLocked(outcome, nullptr, 0, 0, static_cast<int>(sent), why);
        if (mCommands > 0)
            mWake.notify_one();  // a start or stop waited behind the reserved record
    }

private:
    // mQueueMutex held. The timestamp is taken under the lock, so the queue is in time order.
    // False when the queue is full: the record is dropped, and counted where it would have been.
    bool pushLocked(Kind kind, const uint8_t* bytes, size_t n, int param, int value,
                    const char* text) {
        Item* slot = mQueue.size() < kMaxQueued ? mQueue.emplace_back() : nullptr;
        if (slot == nullptr) {
            ++mDropped;
            return false;
        }
        Item& item = *slot;
        item.generation = mRunning;
        item.droppedBefore = std::exchange(mDropped, 0);
        const uint64_t now = monotonic::nowUs();
        item.t = now > mT0 ? now - mT0 : 0;
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
        mOut.reserve(kFlushAt + 4096);
        bool more = false;  // records ready beyond the last batch: taken at once
        auto synced = std::chrono::steady_clock::now();
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mQueueMutex);
                // Nothing is taken past a reserved record: its frame's write has not ended.
                const auto ready = [this] {
                    return mExit ||
                           (!mQueue.empty() && !mQueue.front().reserved &&
                            (mCommands > 0 || mQueue.size() >= kWakeAt || mSession.fd < 0));
                };
                if (!more && mSession.fd >= 0)
                    mWake.wait_for(lock, kTick, ready);
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
            // From here on nothing holds the lock: the exchange threads go on queueing.
            write(batch);
            batch.clear();
            // Once the queue is written, and at least once a tick while a backlog lasts.
            const auto now = std::chrono::steady_clock::now();
            if (!more || now - synced >= kTick) {
                syncFile();
                synced = now;
            }
        }
        close();
    }

    void write(std::vector<Item>& batch) {
        std::string& out = mOut;
        for (Item& item : batch) {
            if (item.op == Item::Start) {
                flush(out);
                close();
                open(*item.settings, item.generation, item.t);
                continue;
            }
            if (mSession.fd < 0 || item.generation != mSession.generation)
                continue;  // a capture that ended or failed: its records go
            dropped(out, item.droppedBefore);
            if (item.op == Item::Stop) {
                flush(out);
                close();
            } else {
                writeRecord(item, out);
                if (out.size() >= kFlushAt)
                    flush(out);
            }
        }
        flush(out);
    }

    // The records written reach the disk before the next batch (once a second at most), so
    // that a power cut costs the last second's records only, not all that the kernel held.
    void syncFile() {
        if (!std::exchange(mSession.unsynced, false))
            return;
        if (mSession.fd >= 0 && mSession.regular && fdatasync(mSession.fd) != 0)
            fail("cannot sync the file", errno);
    }

    // The comment that stands where records were dropped.
    void dropped(std::string& out, uint32_t count) {
        if (count != 0) {
            out += "# " + std::to_string(count) +
                   " records dropped here: the capture's writer could not keep up\n";
        }
    }

    void writeRecord(const Item& item, std::string& out) {
        if (item.kind == Kind::Tx && item.n == 0)
            return;  // no byte of the frame reached the line: its outcome record says so
        const uint64_t bound = mSession.regular ? mSession.settings.maxSize : UINT64_MAX;
        // A new file begins at a frame boundary, so that no reply is cut from its frame.
        if (item.kind == Kind::Tx && mSession.bytes + out.size() + kCycleRoom > bound) {
            rotate(out, item.t);
            if (mSession.fd < 0)
                return;
        }
        const size_t before = out.size();
        mSession.writer.append(out, item.t, item.kind, item.bytes, item.n, item.param, item.value,
                               item.text);
        if (mSession.bytes + out.size() > bound) {
            // Even inside a frame, no file passes its bound: the record opens the next file.
            out.resize(before);
            rotate(out, item.t);
            if (mSession.fd < 0)
                return;
            mSession.writer.append(out, item.t, item.kind, item.bytes, item.n, item.param,
                                   item.value, item.text);
        }
        if (item.kind == Kind::Open || item.kind == Kind::Reopen)
            mSession.port = item.text;
        else if (item.kind == Kind::Lost)
            mSession.port.clear();
        ++mSession.records;
    }

    // Writes `out` to the file and empties it; a failure ends the capture.
    void flush(std::string& out) {
        size_t done = 0;
        while (mSession.fd >= 0 && done < out.size()) {
            const ssize_t n = ::write(mSession.fd, out.data() + done, out.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                fail("write failed", n < 0 ? errno : ENOSPC);
                break;
            }
            done += static_cast<size_t>(n);
        }
        mSession.bytes += done;
        mSession.unsynced = mSession.unsynced || done != 0;
        out.clear();
    }

    void open(const Settings& s, uint32_t generation, uint64_t wall) {
        mSession = Session{};
        mSession.settings = s;
        mSession.generation = generation;
        mSession.wall = wall;
        mSession.port = s.openPort;
        // A file of an earlier capture under the same name is kept: it moves down the ring.
        struct stat st;
        if (lstat(s.file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !shiftRing())
            return;
        if (openFile(0)) {
            log().info(
                "Capture of the serial exchange started: %s (a ring of %u files of %llu bytes)",
                s.file.c_str(), s.files, static_cast<unsigned long long>(s.maxSize));
        }
    }

    // A new file: the version line, the start record and the open port, so that it reads alone.
    bool openFile(uint64_t t) {
        const Settings& s = mSession.settings;
        mSession.fd =
            ::open(s.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0640);
        if (mSession.fd < 0) {
            fail("cannot open the file", errno);
            return false;
        }
        struct stat st;
        mSession.regular = fstat(mSession.fd, &st) == 0 && S_ISREG(st.st_mode);
        mSession.bytes = 0;
        mSession.writer.restart();
        std::string head = exchangefile::header(mSession.wall) + "\n";
        if (mSession.rotations != 0)
            head += "# continued: the records before these are in the ring's next older file\n";
        exchangefile::append(head, t, Kind::Start, nullptr, 0, 0, 0, s.startFields);
        if (!mSession.port.empty())
            exchangefile::append(head, t, Kind::Open, nullptr, 0, 0, 0, mSession.port);
        flush(head);
        // The new file is on the disk under its name, its head in it, before its records come.
        syncFile();
        if (mSession.fd >= 0 && mSession.regular)
            qlog::syncDir(qlog::dirOf(s.file));
        return mSession.fd >= 0;
    }

    // The file is complete on the disk before it is renamed away; a new one begins.
    void rotate(std::string& out, uint64_t t) {
        flush(out);
        if (mSession.fd < 0)
            return;
        if (fdatasync(mSession.fd) != 0)
            return fail("cannot sync the file", errno);
        ::close(std::exchange(mSession.fd, -1));
        if (!shiftRing())
            return;
        ++mSession.rotations;
        const std::string& file = mSession.settings.file;
        if (openFile(t)) {
            log().info("Capture file %s reached its bound: rotated to %s.1", file.c_str(),
                       file.c_str());
        }
    }

    // FILE.k becomes FILE.k+1 from the oldest down, the oldest (FILE.files-1) going; FILE
    // becomes FILE.1. With one file, FILE itself goes when the next begins.
    bool shiftRing() {
        const std::string& file = mSession.settings.file;
        const auto name = [&file](unsigned k) {
            return k == 0 ? file : file + "." + std::to_string(k);
        };
        for (unsigned k = mSession.settings.files - 1; k-- > 0;) {
            if (rename(name(k).c_str(), name(k + 1).c_str()) != 0 && errno != ENOENT) {
                fail("cannot rotate the file", errno);
                return false;
            }
        }
        qlog::syncDir(qlog::dirOf(file));
        return true;
    }

    void close() {
        if (mSession.fd < 0)
            return;
        if (mSession.regular && fdatasync(mSession.fd) != 0)
            return fail("cannot sync the file", errno);
        if (::close(std::exchange(mSession.fd, -1)) != 0)
            return fail("closing the file failed", errno);
        log().info("Capture of the serial exchange ended: %s (%llu records)",
                   mSession.settings.file.c_str(),
                   static_cast<unsigned long long>(mSession.records));
    }

    // One ERROR line; this capture ends, the exchange goes on untouched.
    void fail(const char* what, int err) {
        log().error("Capture to %s ended: %s: %s; the exchange goes on without a capture",
                    mSession.settings.file.c_str(), what, std::strerror(err));
        if (mSession.fd >= 0)
            ::close(std::exchange(mSession.fd, -1));
        std::lock_guard<std::mutex> lock(mQueueMutex);
        // Its records still queued go unwritten; a capture started after it goes on.
        if (mRunning == mSession.generation) {
            gOn.store(false, std::memory_order_relaxed);
            mRunning = 0;
            mDropped = 0;
        }
    }

    std::mutex mQueueMutex;
    std::condition_variable mWake;
    ItemQueue mQueue;          // records and commands, in the order taken
    uint64_t mFrontSeq = 0;    // the place of mQueue's front among all items ever queued
    size_t mCommands = 0;      // starts and stops in mQueue
    uint32_t mGeneration = 0;  // the last capture started
    uint32_t mRunning = 0;  // the capture that runs, as far as the exchange is concerned; 0: none
    bool mExit = false;
    uint64_t mT0 = 0;
    uint32_t mDropped = 0;  // records dropped since the last one queued
    std::thread mThread;
    Session mSession;  // writer thread only
    std::string mOut;  // the records formatted and not yet written; writer thread only
};

Capture& instance() {
    static Capture capture;
    return capture;
}

}  // namespace

void record(Kind kind, const uint8_t* bytes, size_t n, int param, int value, const char* text) {
    instance().push(kind, bytes, n, param, value, text);
}

TxTicket reserveTx(const uint8_t* bytes, size_t n) {
    return instance().reserveTx(bytes, n);
}

void finishTx(const TxTicket& ticket, size_t sent, Kind outcome, const char* why) {
    instance().finishTx(ticket, sent, outcome, why);
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
