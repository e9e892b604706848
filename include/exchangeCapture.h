// The capture of the serial exchange to exchange files (docs/capture.md), taken on a running
// daemon. The exchange's hooks cost one relaxed atomic load while no capture runs; while one runs
// they copy the record into a bounded queue under a short lock that is never held across file
// I/O, stamped under that lock, so that the queue is in time order. A frame's tx record is
// reserved there before the frame's first byte goes out, and completed once its write has ended:
// no reply can be queued before the frame it answers. A writer thread of the capture's own
// writes the records to a ring of files and ends the capture with one ERROR line when a file
// cannot be written. A full disk pauses the capture instead: its records are dropped and counted
// until the writer, trying again every little while, finds room for the ring's next file.
//
// Each capture has a generation: its start, its end and a failure of its files are about that
// capture alone, never about one started after it.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "exchangeFile.h"

namespace capture {

// True while a capture runs: the only thing the hooks look at when none does.
extern std::atomic<bool> gOn;

// The default bound of one file (borl1d.capture.maxsize), and the smallest accepted.
constexpr uint64_t kDefaultMaxSize = 16u << 20;
constexpr uint64_t kMinMaxSize = 4096;
// The default number of files (borl1d.capture.files): with the default bound, at least 72 hours
// of polling at one cycle a second (about 370 bytes a cycle, docs/configuration.md), in the
// files the ring keeps full.
constexpr unsigned kDefaultFiles = 8;
constexpr unsigned kMaxFiles = 100;
// How often a capture paused by a full disk tries again.
constexpr std::chrono::milliseconds kRetryEvery{10000};

// Queues a record; call it through the inline hooks below. `atUs`: when it happened, on the
// monotonic clock in microseconds (the time the exchange's step was given); 0: now.
void record(exchangefile::Kind kind, const uint8_t* bytes, size_t n, int param, int value,
            const char* text, uint64_t atUs = 0);

// A frame's tx record reserved in the queue; a generation of 0 holds none.
struct TxTicket {
    uint64_t seq = 0;         // the record's place in the queue
    uint32_t generation = 0;  // the capture it belongs to
};
// Reserves the tx record of the frame `bytes`, stamped `atUs` (0: now). The writer writes nothing
// past it until finishTx completes it.
TxTicket reserveTx(const uint8_t* bytes, size_t n, uint64_t atUs = 0);
// Completes the reserved record: `sent` bytes of the frame reached the line (none: no tx
// record). `outcome` is Tx when the line took the frame whole, else Abandoned or WriteFailed,
// recorded after the tx record with `sent` and, for a failure, `why`.
void finishTx(const TxTicket& ticket, size_t sent, exchangefile::Kind outcome, const char* why,
              uint64_t atUs = 0);

struct Settings {
    std::string file;                    // the newest file of the ring; the older ones FILE.1 ...
    uint64_t maxSize = kDefaultMaxSize;  // no file grows past it
    unsigned files = kDefaultFiles;      // files in the ring, FILE included
    std::string startFields;             // the start record's fields (version, port, line, serial)
    std::string openPort;                // non-empty: the port is open now (an "open" record)
    std::chrono::milliseconds retryEvery = kRetryEvery;  // a paused capture tries again
    // The writer writes what is queued this often at most (one write a poll cycle), and syncs
    // the file at least this often while a backlog lasts.
    std::chrono::milliseconds writeEvery{1000};
    // The write(2) the files go through: a test puts a full disk in its place.
    ssize_t (*fileWrite)(int fd, const void* bytes, size_t n) = ::write;
};

// Starts a capture (the file is opened by the writer thread, which logs the start at INFO or the
// failure at ERROR). False when one runs already, paused or not.
bool start(const Settings& settings);
// Ends the capture that runs, paused or not (the writer thread writes what is queued, closes the
// file and logs the end at INFO). False when none runs.
bool stop();
// At the daemon's stop: ends a running capture and waits for its files to be complete. A capture
// can be started again afterwards.
void shutdown();

}  // namespace capture

// The exchange's hooks: nothing but the atomic test while no capture runs. `atUs`: when it
// happened (monotonic µs, the time the exchange's rules were given); 0: now.
inline void captureBytes(exchangefile::Kind kind, const uint8_t* bytes, size_t n,
                         uint64_t atUs = 0) {
    if (capture::gOn.load(std::memory_order_relaxed))
        capture::record(kind, bytes, n, 0, 0, nullptr, atUs);
}
inline void captureEvent(exchangefile::Kind kind, int param = 0, int value = 0,
                         const char* text = nullptr, uint64_t atUs = 0) {
    if (capture::gOn.load(std::memory_order_relaxed))
        capture::record(kind, nullptr, 0, param, value, text, atUs);
}
// Before a frame's first write: its tx record, reserved while a capture runs.
inline capture::TxTicket captureTxBegin(const uint8_t* bytes, size_t n, uint64_t atUs = 0) {
    return capture::gOn.load(std::memory_order_relaxed) ? capture::reserveTx(bytes, n, atUs)
                                                        : capture::TxTicket{};
}
// Once the frame's write has ended; nothing when no record was reserved.
inline void captureTxEnd(const capture::TxTicket& ticket, size_t sent, exchangefile::Kind outcome,
                         const char* why = nullptr, uint64_t atUs = 0) {
    if (ticket.generation != 0)
        capture::finishTx(ticket, sent, outcome, why, atUs);
}
