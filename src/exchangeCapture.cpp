// The capture's queue and its writer thread (see exchangeCapture.h). The main thread's start and
// stop are commands in the same queue, so the file's records keep the order they were taken in.
#include "exchangeCapture.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

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

struct Item {
    enum Op { Record, Start, Stop } op = Record;
    uint64_t t = 0;
    Kind kind = Kind::Online;
    uint16_t n = 0;
    uint8_t bytes[kMaxFrameBytes];
    int param = 0;
    int value = 0;
    std::string text;
    std::unique_ptr<Settings> settings;  // Start
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
    Settings settings;
    uint64_t wall = 0;
    uint64_t bytes = 0;    // in the current file
    uint64_t records = 0;  // in all files of the capture
    bool rotated = false;
};

class Capture {
public:
    ~Capture() { shutdown(); }

    bool start(const Settings& s) {
        std::lock_guard<std::mutex> lock(mQueueMutex);
        if (mRunning)
            return false;
        mRunning = true;
        mT0 = monotonic::nowUs();
        Item item;
        item.op = Item::Start;
        item.settings = std::make_unique<Settings>(s);
        item.t = wallUs();
        mQueue.push_back(std::move(item));
        pushLocked(Kind::Start, nullptr, 0, 0, 0, s.startFields.c_str());
        if (!s.openPort.empty())
            pushLocked(Kind::Open, nullptr, 0, 0, 0, s.openPort.c_str());
        gOn.store(true, std::memory_order_relaxed);
        if (!mThread.joinable())
            mThread = std::thread([this] { run(); });
        mWake.notify_one();
        return true;
    }

    bool stop() {
        std::lock_guard<std::mutex> lock(mQueueMutex);
        if (!mRunning)
            return false;
        endLocked();
        return true;
    }

    void shutdown() {
        {
            std::lock_guard<std::mutex> lock(mQueueMutex);
            if (mRunning)
                endLocked();
            mExit = true;
            mWake.notify_one();
        }
        if (mThread.joinable())
            mThread.join();
    }

    void push(Kind kind, const uint8_t* bytes, size_t n, int param, int value, const char* text) {
        std::lock_guard<std::mutex> lock(mQueueMutex);
        if (!mRunning)
            return;  // ended between the hook's test and here
        pushLocked(kind, bytes, n, param, value, text);
        if (mQueue.size() == kWakeAt)
            mWake.notify_one();
    }

private:
    // mQueueMutex held. The timestamp is taken under the lock, so the queue is in time order.
    void pushLocked(Kind kind, const uint8_t* bytes, size_t n, int param, int value,
                    const char* text) {
        if (mQueue.size() >= kMaxQueued) {
            ++mDropped;
            return;
        }
        mQueue.emplace_back();
        Item& item = mQueue.back();
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
    }

    void endLocked() {
        gOn.store(false, std::memory_order_relaxed);
        mRunning = false;
        mQueue.emplace_back();
        mQueue.back().op = Item::Stop;
        mWake.notify_one();
    }

    void run() {
        std::deque<Item> batch;
        for (;;) {
            uint64_t dropped = 0;
            {
                std::unique_lock<std::mutex> lock(mQueueMutex);
                const auto ready = [this] {
                    return mExit || mQueue.size() >= kWakeAt ||
                           (!mQueue.empty() && mQueue.back().op != Item::Record);
                };
                if (mSession.fd >= 0)
                    mWake.wait_for(lock, kTick, ready);
                else
                    mWake.wait(lock, [this] { return mExit || !mQueue.empty(); });
                batch.swap(mQueue);
                dropped = mDropped;
                mDropped = 0;
                if (batch.empty() && mExit)
                    break;
            }
            // From here on nothing holds the lock: the exchange threads go on queueing.
            write(batch, dropped);
            batch.clear();
        }
        close();
    }

    void write(std::deque<Item>& batch, uint64_t dropped) {
        std::string out;
        out.reserve(batch.size() * 400);  // a frame's record is about 400 characters
        if (dropped && mSession.fd >= 0) {
            out += "# " + std::to_string(dropped) +
                   " records dropped here: the capture's writer could not keep up\n";
        }
        for (Item& item : batch) {
            if (item.op != Item::Record) {
                flush(out);
                close();
                if (item.op == Item::Start)
                    open(*item.settings, item.t);
                continue;
            }
            if (mSession.fd < 0)
                continue;  // the file could not be opened or written: the records go
            const size_t before = out.size();
            exchangefile::append(out, item.t, item.kind, item.bytes, item.n, item.param, item.value,
                                 item.text);
            if (mSession.bytes + out.size() > mSession.settings.maxSize) {
                // The record goes first into the next file.
                std::string line = out.substr(before);
                out.resize(before);
                flush(out);
                rotate();
                if (mSession.fd < 0)
                    continue;
                out = std::move(line);
            }
            ++mSession.records;
        }
        flush(out);
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
        out.clear();
    }

    void open(const Settings& s, uint64_t wall) {
        mSession = Session{};
        mSession.settings = s;
        mSession.wall = wall;
        if (openFile())
            log().info("Capture of the serial exchange started: %s (rotated at %llu bytes)",
                       s.file.c_str(), static_cast<unsigned long long>(s.maxSize));
    }

    bool openFile() {
        const Settings& s = mSession.settings;
        mSession.fd =
            ::open(s.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0640);
        if (mSession.fd < 0) {
            fail("cannot open the file", errno);
            return false;
        }
        std::string head = exchangefile::header(mSession.wall) + "\n";
        if (mSession.rotated)
            head += "# continued: the records before these are in " + s.file + ".1\n";
        flush(head);
        return mSession.fd >= 0;
    }

    void rotate() {
        const std::string& file = mSession.settings.file;
        ::close(mSession.fd);
        mSession.fd = -1;
        if (rename(file.c_str(), (file + ".1").c_str()) != 0) {
            fail("cannot rotate the file", errno);
            return;
        }
        mSession.rotated = true;
        mSession.bytes = 0;
        if (openFile())
            log().info("Capture file %s reached its bound: rotated to %s.1", file.c_str(),
                       file.c_str());
    }

    void close() {
        if (mSession.fd < 0)
            return;
        if (::close(std::exchange(mSession.fd, -1)) != 0)
            return fail("closing the file failed", errno);
        log().info("Capture of the serial exchange ended: %s (%llu records)",
                   mSession.settings.file.c_str(),
                   static_cast<unsigned long long>(mSession.records));
    }

    // One ERROR line; the capture ends, the exchange goes on untouched.
    void fail(const char* what, int err) {
        log().error("Capture to %s ended: %s: %s; the exchange goes on without a capture",
                    mSession.settings.file.c_str(), what, std::strerror(err));
        if (mSession.fd >= 0)
            ::close(mSession.fd);
        mSession.fd = -1;
        std::lock_guard<std::mutex> lock(mQueueMutex);
        // Only this capture ends: a start queued behind it stays.
        const bool startQueued = std::any_of(
            mQueue.begin(), mQueue.end(), [](const Item& item) { return item.op == Item::Start; });
        if (mRunning && !startQueued) {
            gOn.store(false, std::memory_order_relaxed);
            mRunning = false;
            mQueue.clear();
        }
    }

    std::mutex mQueueMutex;
    std::condition_variable mWake;
    std::deque<Item> mQueue;  // records and commands, in the order taken
    bool mRunning = false;    // a capture runs, as far as the exchange is concerned
    bool mExit = false;
    uint64_t mT0 = 0;
    uint64_t mDropped = 0;
    std::thread mThread;
    Session mSession;  // writer thread only
};

Capture& instance() {
    static Capture capture;
    return capture;
}

}  // namespace

void record(Kind kind, const uint8_t* bytes, size_t n, int param, int value, const char* text) {
    instance().push(kind, bytes, n, param, value, text);
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
