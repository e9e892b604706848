// The capture's writer and its ring of files (docs/capture.md): what the exchange's threads queue
// for it, and what it makes of it on the capture's own thread. A file that cannot be written
// ends its capture with one ERROR line; a full disk pauses it instead, and it goes on by itself
// in the next file of its ring once there is room again.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "exchangeCapture.h"
#include "exchangeFile.h"

namespace capture {

constexpr size_t kMaxFrameBytes = 128;  // a read or write of the exchange is at most a frame

// A record, or the start or end of a capture, as queued for the writer.
struct Item {
    enum Op { Record, Start, Stop } op = Record;
    uint32_t generation = 0;     // the capture it belongs to
    bool reserved = false;       // a frame's tx record whose write has not ended: the writer waits
    uint32_t droppedBefore = 0;  // records dropped just before this one, the queue being full
    uint64_t t = 0;              // µs since the capture began; Start: its wall time
    exchangefile::Kind kind = exchangefile::Kind::Online;
    uint16_t n = 0;
    uint8_t bytes[kMaxFrameBytes];
    int param = 0;
    int value = 0;
    std::string text;
    std::unique_ptr<Settings> settings;  // Start
};

class Writer {
public:
    using Clock = std::chrono::steady_clock;

    // `ended` is called, on the writer's thread, for a capture whose files failed: it ends.
    explicit Writer(std::function<void(uint32_t generation)> ended);

    // Writes the items taken from the queue, in their order.
    void write(std::vector<Item>& batch);
    // Syncs the file written since the last sync.
    void syncFile();
    // A capture paused by a full disk tries the ring's next file once its time has come.
    void retryIfDue(Clock::time_point now);
    // Closes the open file of the capture, which ends.
    void close();

    bool writing() const { return mSession.fd >= 0; }
    bool paused() const { return mSession.paused; }
    Clock::time_point retryAt() const { return mSession.retryAt; }
    std::chrono::milliseconds writeEvery() const { return mSession.settings.writeEvery; }

private:
    // The open file and its counts.
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
        uint64_t lastT = 0;      // the time of the last record taken
        exchangefile::Writer writer;
        // A full disk: no file is open; records are dropped and counted until a try finds room.
        bool paused = false;
        bool ending = false;     // the capture is being closed: nothing pauses it any more
        bool movedDown = false;  // FILE is free: what it held is FILE.1 now, or was nothing
        uint32_t dropped = 0;    // records dropped since the pause
        Clock::time_point retryAt;
    };

    void writeRecord(const Item& item, std::string& out);
    void flush(std::string& out);
    void open(const Settings& s, uint32_t generation, uint64_t wall);
    bool openFile(uint64_t t);
    void rotate(std::string& out, uint64_t t);
    bool shiftRing();
    void fail(const char* what, int err);
    void pause(const char* what, int err);

    Session mSession;
    std::string mOut;  // the records formatted and not yet written
    std::function<void(uint32_t)> mEnded;
};

}  // namespace capture
